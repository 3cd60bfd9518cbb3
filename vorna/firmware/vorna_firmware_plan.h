// SPDX-License-Identifier: Apache-2.0
#pragma once
// What an upgrade writes where, decided before the first write, and the writing
// of one entry: the same for an image file and for a stream. The board (its
// partition table and identity) is loaded first; the image's support list must
// name the board and every walked entry must pass the upgrade's rule
// (firmware_entry_check) on it; only then is anything written, entry by entry
// in table order, each through one device writer made durable at its end.
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/identity/vorna_ptn_device_info.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/storage/device_writer.h"
#include "vorna/support/vorna_progress.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

/// The board an image is checked against and written to.
struct firmware_board {
    std::unique_ptr<ptn_table> table;
    std::unique_ptr<device_info> identity;
};

/// Loads the board's partition table at `base` of `device` and its identity. 0,
/// or -1 after printing (lines 399, 410).
[[nodiscard]] int firmware_board_load(const char* device, std::uint32_t base, firmware_board& out);

/// What an upgrade writes: each walked entry with its device partition, in table order.
struct upgrade_plan {
    std::span<const firmware_ptn_entry> entries;
    std::array<const ptn_entry*, k_firmware_ptn_max> ptns{};
};

/// Decides an image (its verified header and table, its documents read from
/// `image`, whose size() is the image's length) against the board: the support
/// list must name the board, and every walked entry must pass the upgrade's
/// rule, so that a refused image writes nothing and a check that passes
/// promises the walk. 0 with `plan`; -1 or -5 after printing.
[[nodiscard]] int firmware_decide(const firmware_board& board, const firmware_ptn_table& table,
                                  const firmware_header& header, firmware_source& image, upgrade_plan& plan);

/// Prints what comes before entry `index` of the plan is written: its stage,
/// a moved partition, its "update" line.
void firmware_announce_entry(const upgrade_plan& plan, std::size_t index);

/// The writer of one entry's contents, counted from the entry's first byte.
class firmware_entry_writer {
public:
    firmware_entry_writer(const firmware_ptn_entry& entry, const ptn_table& device_table);
    /// Opens the device the entry's type writes to. 0, or -1 after printing.
    [[nodiscard]] int open(bool minimize_writes);
    /// Writes `bytes`, which stand `done` bytes into the contents. 0, or -1 after printing.
    [[nodiscard]] int write(std::uint64_t done, std::span<const std::uint8_t> bytes);
    /// Makes the entry durable and closes the device. 0, or -1 after printing.
    [[nodiscard]] int finish();

private:
    int emmc_failed() const;

    const firmware_ptn_entry& entry_;
    const ptn_table& device_table_;
    std::array<char, 33> name_{};
    std::array<mtd_region, k_ptn_max> regions_{};
    std::size_t region_count_ = 0;
    device_writer writer_;
    std::optional<progress> shown_; ///< on standard error only
};
