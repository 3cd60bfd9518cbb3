// SPDX-License-Identifier: Apache-2.0
#pragma once
// NOR flash reached as an MTD character device: bits can only be cleared by
// programming, so a block is erased (set to all ones) before new bytes go in.
// This file knows how to rewrite one erase block and give it back its old bytes
// when that fails; which blocks need it is decided by the device writer's
// block-compare loop (device_writer.h). It builds on the descriptor calls of
// vorna_file.h only.
#include <sys/types.h>

#include <array>
#include <cstddef>
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

/// Real NOR erase blocks are 4 KiB to 256 KiB; larger ones are refused rather
/// than buffered.
constexpr off_t k_mtd_max_erase_size = off_t{16} << 20;

/// True when `fd` is an MTD device (MEMGETINFO answers) with a usable erase
/// block size; `out` then holds its geometry. errno is kept.
[[nodiscard]] bool mtd_probe(int fd, mtd_geometry& out);

/// One erase block being rewritten: where it lies, its bytes before the write
/// and the part of it that the write covers.
struct mtd_block {
    int fd;
    off_t start;
    off_t erase_size;
    off_t whole;             ///< bytes of the block on the device
    const std::uint8_t* old; ///< its bytes before the write
    std::uint8_t* back;      ///< room for reading it back
    std::size_t from;        ///< the write covers [from, to) of the block
    std::size_t to;
};

/// Erases the block, programs its `whole` new `bytes` and reads them back.
/// The caller makes the block durable. 0, or -1 after printing a "vorna_file" line.
///
/// An erase block shared with other partitions must not lose their bytes when
/// the write fails: when the erase, the program or the read back fails, and the
/// bytes around the new ones are no longer what they were, the block's old
/// bytes are programmed back (after another erase when programming alone
/// cannot give them) and read back. When that fails too, the line names the
/// `regions` the block overlaps (or the block's range when none does).
[[nodiscard]] int mtd_rewrite_block(const mtd_block& b, const std::uint8_t* bytes, std::span<const mtd_region> regions);
