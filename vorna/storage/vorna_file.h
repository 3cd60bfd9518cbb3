#pragma once
// Every read and write of a file or block device goes through these six calls.
// Each opens the path, transfers, makes writes durable and closes again; no
// descriptor outlives a call. Offsets and sizes are 64-bit (off_t), so storage
// beyond 2 GiB is reached at the right place. Transfers are complete: reads
// repeat until the count or end of file, writes until every byte is written.
#include <sys/types.h>

#include "vorna/storage/unique_fd.h"

#include <cstdint>

/// Size of the file or device (found by seeking to its end), or -1.
[[nodiscard]] off_t file_get_size(const char* path);

/// Reads the file from its start, at most `buf_size` bytes. 0 on success with
/// *count (optional) = bytes read; -1 for a missing path or buffer, buf_size <= 0,
/// or an open/read failure. Prints nothing.
[[nodiscard]] int file_read(const char* path, std::uint8_t* buf, off_t buf_size, off_t* count);

/// Reads up to `count` bytes at `offset`. 0 on success with *done (optional) =
/// bytes read, fewer than asked at end of file; -1 on a bad argument, a failed
/// open, seek or read. Prints nothing.
[[nodiscard]] int file_read_at(const char* path, off_t offset, std::uint8_t* buf, off_t count, off_t* done);

/// Creates or truncates the file (mode 0666 before the umask) and writes `count`
/// bytes synchronously. 0 only when every byte was written; *done (optional) =
/// bytes written. -1 otherwise. Prints nothing.
[[nodiscard]] int file_write(const char* path, const std::uint8_t* data, off_t count, off_t* done);

/// Writes `count` bytes at `offset` of an existing file or device, synchronously;
/// never creates or truncates. 0 only when every byte was written; *done = count.
[[nodiscard]] int file_write_at(const char* path, off_t offset, const std::uint8_t* data, off_t count,
                                off_t* done);

/// Writes `len` bytes at `offset` of an existing file or device block by block
/// (blocks counted from `offset`), rewriting only the blocks whose current bytes
/// differ; a short read counts as a difference. Ends with sync(). 0 on success
/// with *done = len; -1 after printing its own "vorna_file" message.
[[nodiscard]] int file_compare_write(const char* path, off_t offset, const std::uint8_t* data, off_t len,
                                     off_t block_size, off_t* done);

// Streaming copies keep one descriptor for the whole transfer instead.

/// Opens `path` (never creating it), retrying on EINTR; invalid on failure.
[[nodiscard]] unique_fd file_open(const char* path, int flags);

/// Reads up to `count` bytes at `offset` of `fd`, repeating short reads until
/// end of file. The bytes read (fewer at end of file), or -1.
[[nodiscard]] off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count);

/// Writes all `count` bytes at `offset` of `fd`, or where it stands when
/// `offset` is negative (pipes cannot seek). 0 only when every byte was written.
[[nodiscard]] int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count);

/// Replaces the output `path` whole with `count` bytes, or leaves it as it was
/// (see staged_output.h; devices and FIFOs are written in place). 0, or -1 for
/// a count of 0 or less or any failure. Prints nothing.
[[nodiscard]] int file_replace(const char* path, const std::uint8_t* data, off_t count);
