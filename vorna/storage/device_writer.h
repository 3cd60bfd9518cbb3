// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device writer: every write that vorna makes to a NOR or eMMC device goes
// through here, configured by a policy rather than a class per device:
//
//   NOR compare      blocks counted from each write's offset; only those whose
//                    bytes differ are rewritten (file_compare_write's work)
//   MTD              on an MTD character device: erase blocks, each one that
//                    differs erased, programmed and read back (vorna_mtd.h)
//   stream           every byte written as it comes (file_write_at's work),
//                    its write-out started at once
//                    (write_behind.h): the eMMC entries of an upgrade, and -w
//   minimize writes  the stream that first compares 64 KiB blocks and writes
//                    only the runs of blocks that differ
//
// All of them share one block-compare loop (device_writer.cpp). The writer owns
// its descriptor and makes its writes durable the way its device needs: fsync,
// or sync() for an MTD character device, which has no fsync of its own. Built on
// vorna_file.h and vorna_mtd.h, which never call back.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"
#include "vorna/storage/vorna_mtd.h"
#include "vorna/storage/write_behind.h"

#include <cstdint>
#include <memory>
#include <span>

/// How a device_writer writes and reports.
struct writer_policy {
    enum class mode { nor_compare, stream };
    mode kind = mode::nor_compare;
    /// Bytes of a compared block; 0 for a stream that compares nothing.
    off_t block_size = 0;
    /// On an MTD character device, an erase block that a failed write leaves
    /// without its old bytes is reported by the names of the regions it
    /// overlaps (vorna_mtd.h); they must outlive the writer's writes.
    std::span<const mtd_region> regions;

    /// An existing file or device rewritten only where its blocks differ; a short
    /// read counts as a difference. Every failure prints its own "vorna_file"
    /// line; the device is synced once, when finished or dropped.
    static writer_policy nor_compare(off_t block_size, std::span<const mtd_region> regions = {})
    {
        return {mode::nor_compare, block_size, regions};
    }

    /// A stream to an existing file or device, silent: the caller reports a
    /// failure in its own words (only an MTD block prints its line).
    /// `minimize_writes`: one read of the partition buys every write of an
    /// unchanged block.
    static writer_policy stream(bool minimize_writes)
    {
        return {mode::stream, minimize_writes ? k_minimize_block : 0, {}};
    }

    /// The blocks the minimize-writes policy compares.
    static constexpr off_t k_minimize_block = 0x10000;
};

class device_writer {
public:
    device_writer() = default;
    device_writer(const device_writer&) = delete;
    device_writer& operator=(const device_writer&) = delete;
    /// A NOR device is still synced (silently) after a failure; a stream is closed.
    ~device_writer();

    /// NOR: sizes `path` and takes the policy; the device is opened by the first
    /// write, after its range checks. Stream: opens the existing `path` (for
    /// reading too when comparing or on an MTD device). 0, or -1 (after printing,
    /// for NOR).
    [[nodiscard]] int open(const char* path, const writer_policy& policy);

    /// Puts `len` bytes at `offset`, which must lie inside the device. 0 only when
    /// every byte is on the device or already was; -1 (after printing, for NOR).
    [[nodiscard]] int write(off_t offset, const std::uint8_t* data, off_t len);

    /// Makes every write so far durable and keeps the device open (a stream whose
    /// next write may only follow the durable ones). 0, or -1.
    [[nodiscard]] int flush();

    /// Makes every write durable and closes the device. 0, or -1 (after
    /// printing, for NOR).
    [[nodiscard]] int finish();

private:
    int open_nor(const char* path, const writer_policy& policy);
    int write_nor(off_t offset, const std::uint8_t* data, off_t len);
    int write_nor_blocks(off_t offset, const std::uint8_t* data, off_t len);
    int write_stream(off_t offset, const std::uint8_t* data, off_t len);
    int put(off_t offset, const std::uint8_t* data, off_t len);
    /// The policy's sync of an open device, silently.
    bool sync_device();
    /// sync_device and close, silently; 0 when nothing is open.
    int sync_and_close();

    writer_policy policy_;
    const char* path_ = "";
    unique_fd fd_;
    bool is_mtd_ = false;
    mtd_geometry mtd_{};
    off_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> held_; ///< one block as the device holds it
    write_behind behind_{-1, false};       ///< stands aside until a stream's open gives it the device
};
