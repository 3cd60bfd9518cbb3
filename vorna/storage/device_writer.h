// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device writer: every write that vorna makes to a NOR or eMMC device goes
// through here, configured by a policy rather than a class per device:
//
//   NOR compare      blocks counted from each write's offset; only those whose
//                    bytes differ are rewritten (the described file_compare_write)
//   MTD              the NOR compare on an MTD character device: erase blocks,
//                    each erased, programmed and read back (vorna_mtd.h)
//   eMMC stream      every byte written as it comes, its write-out started at
//                    once (write_behind.h) (the described file_write_at)
//   minimize writes  the eMMC stream that first compares 64 KiB blocks and
//                    writes only the runs of blocks that differ
//
// All four share one block-compare loop (device_writer.cpp). The writer owns
// its descriptor and makes its writes durable once, when finished, the way its
// device needs: fsync, or sync() for an MTD character device, which has no
// fsync of its own. Built on vorna_file.h and vorna_mtd.h, which never call back.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"
#include "vorna/storage/vorna_mtd.h"
#include "vorna/storage/write_behind.h"

#include <cstdint>
#include <memory>
#include <span>

/// How a device_writer writes and reports.
struct writer_policy {
    enum class device { nor, emmc };
    device kind = device::nor;
    /// Bytes of a compared block; 0 for an eMMC stream that compares nothing.
    off_t block_size = 0;
    /// On an MTD character device, an erase block that a failed write leaves
    /// without its old bytes is reported by the names of the regions it
    /// overlaps (vorna_mtd.h); they must outlive the writer's writes.
    std::span<const mtd_region> regions;

    /// An existing file or device rewritten only where its blocks differ; a short
    /// read counts as a difference. Every failure prints its own "vorna_file" line.
    static writer_policy nor_compare(off_t block_size, std::span<const mtd_region> regions = {});

    /// The eMMC writer of an upgrade, silent: the caller reports a failure in its
    /// own words. `minimize_writes`: one read of the partition buys every write
    /// of an unchanged block.
    static writer_policy emmc_stream(bool minimize_writes);
};

class device_writer {
public:
    /// The blocks the minimize-writes policy compares.
    static constexpr off_t k_emmc_compare_block = 0x10000;

    device_writer() = default;
    device_writer(const device_writer&) = delete;
    device_writer& operator=(const device_writer&) = delete;
    /// A NOR device is still synced (silently) after a failure; an eMMC one is closed.
    ~device_writer();

    /// NOR: sizes `path` and takes the policy; the device is opened by the first
    /// write, after its range checks. eMMC: opens the existing `path` (for reading
    /// too when comparing). 0, or -1 (after printing, for NOR).
    [[nodiscard]] int open(const char* path, const writer_policy& policy);

    /// Puts `len` bytes at `offset`, which must lie inside the device. 0 only when
    /// every byte is on the device or already was; -1 (after printing, for NOR).
    [[nodiscard]] int write(off_t offset, const std::uint8_t* data, off_t len);

    /// Makes every write durable and closes the device. 0, or -1 (after
    /// printing, for NOR).
    [[nodiscard]] int finish();

private:
    int open_nor(const char* path, const writer_policy& policy);
    int write_nor(off_t offset, const std::uint8_t* data, off_t len);
    int write_nor_blocks(off_t offset, const std::uint8_t* data, off_t len);
    int write_emmc(off_t offset, const std::uint8_t* data, off_t len);
    int put(off_t offset, const std::uint8_t* data, off_t len);
    /// The policy's sync and close, silently; 0 when nothing is open.
    int sync_and_close();

    writer_policy policy_;
    const char* path_ = "";
    unique_fd fd_;
    bool is_mtd_ = false;
    mtd_geometry mtd_{};
    off_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> held_; ///< one block as the device holds it
    write_behind behind_{-1, false};       ///< stands aside until an eMMC open gives it the device
};

// --- one write at a time, on a descriptor the caller owns (vorna -w) -----------

/// Writes all `count` bytes at `offset` of `fd`, or where it stands when
/// `offset` is negative (pipes cannot seek). 0 only when every byte was written.
/// On an MTD character device (opened with file_open_writable) the erase blocks
/// are rewritten through the writer's block-compare loop, which prints its own
/// line when one fails; the caller makes them durable with file_flush_fd.
[[nodiscard]] int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count);

/// Opens an existing file or device for writing; an MTD character device for
/// reading too, since its erase blocks are read and rewritten whole. Invalid on failure.
[[nodiscard]] unique_fd file_open_writable(const char* path);

/// Makes what was written to `fd` durable: fsync, or sync() for an MTD
/// character device, which has no fsync of its own. 0 or -1.
[[nodiscard]] int file_flush_fd(int fd);
