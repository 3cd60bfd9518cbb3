// SPDX-License-Identifier: Apache-2.0
#pragma once
// NOR flash reached as an MTD character device: bits can only be cleared by
// programming, so a block is erased (set to all ones) before new bytes go in.
// The storage calls of vorna_file hand a descriptor here once the device has
// answered MEMGETINFO; block devices and files never come here.
#include <sys/types.h>

#include <cstdint>

struct mtd_geometry {
    off_t size = 0;       ///< bytes of the whole device
    off_t erase_size = 0; ///< bytes of one erase block
};

/// True when `fd` is an MTD device (MEMGETINFO answers) with a usable erase
/// block size; `out` then holds its geometry. errno is kept.
[[nodiscard]] bool mtd_probe(int fd, mtd_geometry& out);

/// Writes `len` bytes at `offset` erase block by erase block: each block the
/// range touches is read whole; one whose bytes already match is left alone,
/// any other is erased, programmed with its old bytes around the new ones and
/// read back. The caller makes the blocks durable
/// (file_flush_fd, or the compare_writer once for all its writes). 0, or -1 after printing a "vorna_file" line.
[[nodiscard]] int mtd_compare_write(int fd, const mtd_geometry& mtd, off_t offset, const std::uint8_t* data, off_t len);
