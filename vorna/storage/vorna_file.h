// SPDX-License-Identifier: Apache-2.0
#pragma once
// vorna's storage primitives: every descriptor-level read and write of a file or
// a device, for vorna and the host tool alike. The calls retry what a signal
// interrupted, carry on after short transfers, use 64-bit offsets (storage
// beyond 2 GiB is reached at the right place) and print nothing. They know no
// kind of device: writes to a device that compare, erase or sync its own way
// (the work of file_compare_write and file_write_at) live above them, in
// device_writer.h. Outputs that are replaced whole live in staged_output.h.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"

#include <cstdint>
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

/// Moves the file position of `fd` to `offset`; false for a negative offset or
/// a seek that did not land there.
[[nodiscard]] bool file_seek_to(int fd, off_t offset);

/// Reads up to `count` bytes at `offset` of `fd`, repeating short reads until
/// end of file. The bytes read (fewer at end of file), or -1.
[[nodiscard]] off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count);

/// Writes all `count` bytes at `offset` of `fd`, or where it stands when
/// `offset` is negative (pipes cannot seek). 0 only when every byte was written.
/// An MTD character device is written through device_writer.h instead.
[[nodiscard]] int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count);

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
