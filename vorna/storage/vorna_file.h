// SPDX-License-Identifier: Apache-2.0
#pragma once
// vorna's storage: every descriptor-level read and write of a file or a device,
// for vorna and the host tool alike. The calls retry what a signal interrupted,
// carry on after short transfers, use 64-bit offsets (storage beyond 2 GiB is
// reached at the right place) and print nothing, except the NOR writer, which
// prints its own "vorna_file" lines. Outputs that are replaced whole live in
// staged_output.h, which cfgcrypt shares.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"
#include "vorna/storage/vorna_mtd.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// --- descriptors --------------------------------------------------------------

/// open(2) with O_CLOEXEC added, repeated while a signal interrupts it.
[[nodiscard]] unique_fd open_path(const char* path, int flags, mode_t mode = 0);

/// Opens `path` (never creating it); invalid for a missing path or on failure.
[[nodiscard]] unique_fd file_open(const char* path, int flags);

/// Reads until `count` bytes or end of file; the bytes read, or -1 on an error.
[[nodiscard]] off_t read_fully(int fd, std::uint8_t* buf, off_t count);

/// The same at `offset` with pread(2); the file position does not move.
[[nodiscard]] off_t pread_fully(int fd, off_t offset, std::uint8_t* buf, off_t count);

/// Writes until every byte is written; the bytes written, or -1 on an error
/// before any progress was possible.
[[nodiscard]] off_t write_fully(int fd, const std::uint8_t* data, off_t count);

/// The same at `offset` with pwrite(2); the file position does not move.
[[nodiscard]] off_t pwrite_fully(int fd, off_t offset, const std::uint8_t* data, off_t count);

/// Reads up to `count` bytes at `offset` of `fd`, repeating short reads until
/// end of file. The bytes read (fewer at end of file), or -1.
[[nodiscard]] off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count);

/// Writes all `count` bytes at `offset` of `fd`, or where it stands when
/// `offset` is negative (pipes cannot seek). 0 only when every byte was written.
/// On an MTD character device (opened with file_open_writable) the erase blocks
/// are rewritten (vorna_mtd.h), which prints its own line when one fails; the
/// caller makes them durable with file_flush_fd.
[[nodiscard]] int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count);

/// Opens an existing file or device for writing; an MTD character device for
/// reading too, since its erase blocks are read and rewritten whole. Invalid on failure.
[[nodiscard]] unique_fd file_open_writable(const char* path);

/// Makes what was written to `fd` durable: fsync, or sync() for an MTD
/// character device, which has no fsync of its own. 0 or -1.
[[nodiscard]] int file_flush_fd(int fd);

// --- paths --------------------------------------------------------------------

/// Size of the file or device (found by seeking to its end), or -1.
[[nodiscard]] off_t file_get_size(const char* path);

/// Reads up to `count` bytes at `offset`. 0 on success with *done (optional) =
/// bytes read, fewer than asked at end of file; -1 on a bad argument, a failed
/// open, seek or read.
[[nodiscard]] int file_read_at(const char* path, off_t offset, std::uint8_t* buf, off_t count, off_t* done);

enum class whole_read {
    ok,
    failed,      ///< open, stat, seek or read failed; `error` holds errno
    not_regular, ///< only regular files were asked for
    too_large,   ///< `size` is above the limit
    changed,     ///< the file ended before the size it had when opened
};

struct whole_file {
    whole_read status = whole_read::failed;
    int error = 0;
    off_t size = 0; ///< when it was opened: a regular file's length, else where a seek to the end lands
};

/// Reads the whole file at `path`, of at most `max_len` bytes, into `out`.
[[nodiscard]] whole_file read_whole_file(const char* path, off_t max_len, bool regular_only,
                                         std::vector<std::uint8_t>& out);

/// Replaces the output `path` whole with `count` bytes, or leaves it as it was
/// (see staged_output.h; devices and FIFOs are written in place). 0, or -1 for
/// a count of 0 or less or any failure.
[[nodiscard]] int file_replace(const char* path, const std::uint8_t* data, off_t count);

// --- the NOR writer -------------------------------------------------------------

/// An existing file or device written block by block (blocks counted from each
/// write's offset), rewriting only the blocks whose current bytes differ; a short
/// read counts as a difference; on an MTD character device the blocks are its
/// erase blocks, erased before programming (vorna_mtd.h). It owns one descriptor
/// for all its writes and makes them durable once, when finished (or when it goes
/// out of scope after a failure): fsync, which also empties a device's own write
/// cache, or for an MTD character device, which has no fsync, sync(). Every
/// failure prints its own "vorna_file" line.
class compare_writer {
public:
    compare_writer() = default;
    compare_writer(const compare_writer&) = delete;
    compare_writer& operator=(const compare_writer&) = delete;
    ~compare_writer() { (void)flush(); }

    /// Sizes `path`, opens it for reading and writing and takes a block buffer.
    /// On an MTD character device, an erase block that a failed write leaves
    /// without its old bytes is reported by the names of the `regions` it
    /// overlaps (vorna_mtd.h); they must outlive the writer's writes.
    /// 0, or -1 after printing.
    [[nodiscard]] int open(const char* path, off_t block_size, std::span<const mtd_region> regions = {});

    /// Writes `len` bytes at `offset`, which must lie inside the device. 0, or -1
    /// after printing.
    [[nodiscard]] int write(off_t offset, const std::uint8_t* data, off_t len);

    /// Makes what was written durable and closes the device. 0, or -1 after printing.
    [[nodiscard]] int finish();

private:
    /// fsync and close, silently; 0 when nothing is open.
    int flush();

    const char* path_ = "";
    unique_fd fd_;
    bool is_mtd_ = false;
    mtd_geometry mtd_{};
    off_t size_ = 0;
    off_t block_size_ = 0;
    std::span<const mtd_region> regions_;
    std::unique_ptr<std::uint8_t[]> block_;
};
