// SPDX-License-Identifier: Apache-2.0
#pragma once
// NOR flash reached as an MTD character device: bits can only be cleared by
// programming, so a block is erased (set to all ones) before new bytes go in.
// The storage calls of vorna_file hand a descriptor here once the device has
// answered MEMGETINFO; block devices and files never come here.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <span>

struct mtd_geometry {
    off_t size = 0;       ///< bytes of the whole device
    off_t erase_size = 0; ///< bytes of one erase block
};

/// A named stretch of the device (a partition of its layout). An erase block
/// that could not be given back its bytes is reported by the names of the
/// stretches it overlaps, so that the user knows what to check.
struct mtd_region {
    std::array<char, 32> name{}; ///< NUL-terminated unless all 32 bytes are used
    std::uint64_t base = 0;
    std::uint64_t size = 0;
};

/// True when `fd` is an MTD device (MEMGETINFO answers) with a usable erase
/// block size; `out` then holds its geometry. errno is kept.
[[nodiscard]] bool mtd_probe(int fd, mtd_geometry& out);

/// Writes `len` bytes at `offset` erase block by erase block: each block the
/// range touches is read whole; one whose bytes already match is left alone,
/// any other is erased, programmed with its old bytes around the new ones and
/// read back. The caller makes the blocks durable
/// (file_flush_fd, or the compare_writer once for all its writes). 0, or -1 after printing a "vorna_file" line.
///
/// An erase block shared with other partitions must not lose their bytes when
/// the write fails: when an erase, the program or the read back fails, and the
/// bytes around the new ones are no longer what they were, the block's old
/// bytes are programmed back (after another erase when programming alone
/// cannot give them) and read back. When that fails too, the line names the
/// `regions` the block overlaps (or the block's range when none does).
[[nodiscard]] int mtd_compare_write(int fd, const mtd_geometry& mtd, off_t offset, const std::uint8_t* data, off_t len,
                                    std::span<const mtd_region> regions = {});
