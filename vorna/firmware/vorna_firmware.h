// SPDX-License-Identifier: Apache-2.0
#pragma once
// The firmware operations of vorna: check a device against an image, upgrade it
// from the image, export the image's "firmware-info" document. Each one opens
// the image, verifies it (vorna_firmware_verify.h), decides a plan of what is
// written where before any write, and applies it (vorna_firmware_operations.cpp).
// The image's layout and rules are in vorna_firmware_format.h.
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/firmware/vorna_firmware_source.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include <cstdint>
#include <memory>

/// An image opened and checked, with its header (as the verification pass read
/// it) and its table.
struct firmware_image {
    firmware_file file;
    firmware_chunk_digests digests;
    std::unique_ptr<firmware_header> header;
    std::unique_ptr<firmware_ptn_table> table;
    firmware_dual_digests whole{}; ///< the pass's digests, which the signatures were judged by
};

/// Opens the image, verifies it (magic, length, then the signatures over one
/// pass that also records the chunk digests `reads` needs) and decodes its table
/// into `out`. Every later read of `out.file` (the table's included) is held to
/// those digests. 0; -1 when the image cannot be opened or read or its table not
/// decoded; `header_failure` when the header record cannot be built; -2 or -4
/// from the check. Every failure is printed.
[[nodiscard]] int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure,
                                      firmware_image& out,
                                      firmware_later_reads reads = firmware_later_reads::every_chunk);

/// `vorna -c`. 0, -1, -2, -4, -5 or -6 (below the floor, vorna_security_floor.h).
[[nodiscard]] int firmware_check(const char* image_path, const char* device, std::uint32_t base);
/// `vorna -u` (the caller holds the lock). `minimize_writes`: an eMMC entry is
/// compared with the device and only the blocks that differ are written (NOR
/// entries always are). 0, -1, -2, -4, -5 or -6; a completed upgrade raises the
/// floor to the image's security_version.
[[nodiscard]] int firmware_upgrade(const char* image_path, const char* device, std::uint32_t base,
                                   bool minimize_writes = false);
/// `image_path` "-" (standard input) or a FIFO is read as a stream:
/// firmware_stream_check_and_upgrade.
[[nodiscard]] int firmware_check_and_upgrade(const char* image_path, const char* device, std::uint32_t base,
                                             int upgrade, bool minimize_writes = false);
/// `vorna -c` (upgrade 0) and `vorna -u` from a stream, in one forward pass that
/// writes only blocks verified against the image's signed chunk index
/// (vorna_firmware_stream.cpp). 0, -1, -2, -4, -5 or -6.
[[nodiscard]] int firmware_stream_check_and_upgrade(const char* stream_path, const char* device, std::uint32_t base,
                                                    int upgrade, bool minimize_writes = false);

/// `vorna -v`: writes the "firmware-info" document of the image to `out_path`.
/// 0, -1, -2 or -4.
[[nodiscard]] int firmware_info_export(const char* image_path, const char* out_path);
