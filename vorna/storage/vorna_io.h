#pragma once
// The small I/O steps that vorna and the host tool share. They retry calls that a
// signal interrupted, carry on after short transfers, and print nothing: each
// caller keeps its own messages.
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "vorna/storage/unique_fd.h"

/// open(2) with O_CLOEXEC added, repeated while a signal interrupts it.
[[nodiscard]] unique_fd open_path(const char* path, int flags, mode_t mode = 0);

/// Reads until `count` bytes or end of file; the bytes read, or -1 on an error.
[[nodiscard]] off_t read_fully(int fd, std::uint8_t* buf, off_t count);

/// The same at `offset` with pread(2); the file position does not move.
[[nodiscard]] off_t pread_fully(int fd, off_t offset, std::uint8_t* buf, off_t count);

/// Writes until every byte is written; the bytes written, or -1 on an error
/// before any progress was possible.
[[nodiscard]] off_t write_fully(int fd, const std::uint8_t* data, off_t count);

/// The same at `offset` with pwrite(2); the file position does not move.
[[nodiscard]] off_t pwrite_fully(int fd, off_t offset, const std::uint8_t* data, off_t count);

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
