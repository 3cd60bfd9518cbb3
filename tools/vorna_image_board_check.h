// SPDX-License-Identifier: Apache-2.0
#pragma once
// pack --board: an image's entries against the partition table of the board it is for.
#include "vorna/firmware/vorna_firmware.h"

#include <span>
#include <string>

/// One image entry as the upgrade will write it, content_size filled in.
struct board_check_entry {
    firmware_ptn_entry entry;
    bool moves; ///< its base may differ from the board's
};

/// Loads `table_path` (a partition table document, validated as vorna does) and
/// checks each entry the upgrade writes (those before the first of size 0): its
/// name is a partition of the layout its type writes to, its contents fit that
/// partition, and its base is the board's unless it moves (then its contents
/// must end within the device). 0, or 1 after printing the first mismatch.
int check_against_board(const char* command, const std::string& table_path, std::span<const board_check_entry> entries);
