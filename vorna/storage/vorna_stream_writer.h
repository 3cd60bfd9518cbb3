// SPDX-License-Identifier: Apache-2.0
#pragma once
// The eMMC writer of an upgrade: one device, opened once for every write of an
// entry and made durable once, when finished (fsync, which also empties the
// device's own write cache). Each write goes to the device as it is made
// (write_behind.h: the write-out started, what lies a window back waited for),
// so that the device writes while the next bytes are read and checked, the
// dirty pages stay few, and the one fsync has little left to wait for.
//
// Asked to spare the device, it first reads what the device holds, block by
// block (64 KiB counted from each write's offset), and writes only the blocks
// that differ: one read of the partition buys every write of an unchanged block.
// A block that cannot be read whole counts as different.
//
// It prints nothing: the caller reports a failure in its own words.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"
#include "vorna/storage/write_behind.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class stream_writer {
public:
    static constexpr off_t k_compare_block = 0x10000;

    stream_writer() = default;
    stream_writer(const stream_writer&) = delete;
    stream_writer& operator=(const stream_writer&) = delete;

    /// Opens the existing file or device `path` (for reading too when
    /// `spare_unchanged`). 0, or -1.
    [[nodiscard]] int open(const char* path, bool spare_unchanged);

    /// Puts `len` bytes at `offset`. 0 only when every byte is on the device or
    /// already was.
    [[nodiscard]] int write(off_t offset, const std::uint8_t* data, off_t len);

    /// Makes every write durable and closes the device. 0, or -1.
    [[nodiscard]] int finish();

    /// The bytes written so far (the blocks spared not counted).
    [[nodiscard]] std::uint64_t written() const { return written_; }

private:
    int put(off_t offset, const std::uint8_t* data, off_t len);

    unique_fd fd_;
    write_behind behind_{-1, false};       ///< stands aside until open() gives it the device
    std::unique_ptr<std::uint8_t[]> held_; ///< one block as the device holds it, when sparing
    std::uint64_t written_ = 0;
};
