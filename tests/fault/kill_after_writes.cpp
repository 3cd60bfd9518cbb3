// SPDX-License-Identifier: Apache-2.0
// Preloaded into a vorna process (LD_PRELOAD) to end it in the middle of its
// work, the way a power cut or a killed shell would, at a chosen write.
//
// It watches the write-family calls (write, pwrite, writev, pwritev and their
// 64-bit twins) made on a set of files, the device files of a simulated board,
// and leaves every other descriptor (standard output, the lock file) alone.
//
// Environment:
//   VORNA_FAULT_FILES    the watched files, separated by ':'; a write is matched
//                        by the device and inode of its descriptor, so any path
//                        naming the same file counts
//   VORNA_FAULT_KILL_AT  N >= 1: the process sends itself SIGKILL at the N-th
//                        watched write, before that write reaches the file;
//                        absent or 0: never
//   VORNA_FAULT_KILL_AFTER_SYNC  N >= 1: the process sends itself SIGKILL as
//                        soon as the N-th fsync or fdatasync of a watched file
//                        has returned: what follows the device's last sync (the
//                        state vorna keeps beside it) is cut off; absent or 0: never
//   VORNA_FAULT_TEAR     "1": the N-th write first puts the first half of its
//                        bytes on the file, so that a block is left half old,
//                        half new
//   VORNA_FAULT_LOG      a file to which every watched write that reached its
//                        file appends "INDEX OFFSET COUNT\n" (INDEX: position of
//                        the file in VORNA_FAULT_FILES, counted from 0; COUNT:
//                        bytes the call wrote)
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "tests/fault/watched_files.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct shim_state {
    bool ready = false;
    fault::watched_files files;
    long kill_at = 0;
    long kill_after_sync = 0;
    long syncs = 0;
    bool tear = false;
    const char* log_path = nullptr;
    long seen = 0;
};

shim_state g_state;

using write_fn = ssize_t (*)(int, const void*, size_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);
using writev_fn = ssize_t (*)(int, const iovec*, int);
using pwritev_fn = ssize_t (*)(int, const iovec*, int, off_t);
using sync_fn = int (*)(int);

write_fn real_write()
{
    static write_fn fn = fault::next_symbol<write_fn>("write");
    return fn;
}

// The watched files are resolved at the first write, after the process is set
// up, so that the paths may name files the caller creates just before.
void prepare()
{
    if (g_state.ready)
        return;
    g_state.ready = true;
    int saved_errno = errno;
    if (const char* at = std::getenv("VORNA_FAULT_KILL_AT"))
        g_state.kill_at = std::strtol(at, nullptr, 10);
    if (const char* after = std::getenv("VORNA_FAULT_KILL_AFTER_SYNC"))
        g_state.kill_after_sync = std::strtol(after, nullptr, 10);
    if (const char* tear = std::getenv("VORNA_FAULT_TEAR"))
        g_state.tear = std::strcmp(tear, "1") == 0;
    g_state.log_path = std::getenv("VORNA_FAULT_LOG");
    if (const char* list = std::getenv("VORNA_FAULT_FILES"))
        g_state.files.parse(list);
    errno = saved_errno;
}

/// The position of the descriptor's file in VORNA_FAULT_FILES, or -1.
int watched_index(int fd)
{
    prepare();
    return g_state.files.index_of(fd);
}

void log_write(int index, long long offset, ssize_t count)
{
    if (g_state.log_path == nullptr || count < 0)
        return;
    int saved_errno = errno;
    int fd = ::open(g_state.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::array<char, 96> line{};
        int len = std::snprintf(line.data(), line.size(), "%d %lld %lld\n", index, offset,
                                static_cast<long long>(count));
        if (len > 0)
            (void)real_write()(fd, line.data(), static_cast<std::size_t>(len));
        ::close(fd);
    }
    errno = saved_errno;
}

[[noreturn]] void die()
{
    ::kill(::getpid(), SIGKILL);
    // SIGKILL cannot be caught; this is only for the compiler.
    ::_exit(137);
}

/// Counts a watched write; true when this is the one to die at.
bool is_fatal()
{
    ++g_state.seen;
    return g_state.kill_at > 0 && g_state.seen == g_state.kill_at;
}

long long current_offset(int fd)
{
    int saved_errno = errno;
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    errno = saved_errno;
    return static_cast<long long>(pos);
}

/// Runs one write-family call: `full()` makes it, `half()` puts only its first
/// half on the file. Unwatched descriptors go straight through.
template <typename Full, typename Half>
ssize_t intercept(int fd, bool positional, off_t offset, Full full, Half half)
{
    int index = watched_index(fd);
    if (index < 0)
        return full();
    long long at = positional ? static_cast<long long>(offset) : current_offset(fd);
    if (is_fatal()) {
        if (g_state.tear)
            log_write(index, at, half());
        die();
    }
    ssize_t n = full();
    log_write(index, at, n);
    return n;
}

/// Bytes of a vectored write's first half that its first buffer holds: enough
/// to leave the target torn.
std::size_t first_half(const iovec* iov, int count)
{
    std::size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    return count > 0 && total / 2 > iov[0].iov_len ? iov[0].iov_len : total / 2;
}

/// Runs a sync of `fd`; dies after it when it is the watched one to die after.
int after_sync(int fd, sync_fn real)
{
    const int rc = real(fd);
    if (watched_index(fd) >= 0 && g_state.kill_after_sync > 0 && ++g_state.syncs == g_state.kill_after_sync)
        die();
    return rc;
}

} // namespace

extern "C" {

int fsync(int fd)
{
    static sync_fn real = fault::next_symbol<sync_fn>("fsync");
    return after_sync(fd, real);
}

int fdatasync(int fd)
{
    static sync_fn real = fault::next_symbol<sync_fn>("fdatasync");
    return after_sync(fd, real);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    return intercept(
        fd, false, 0, [&] { return real_write()(fd, buf, count); },
        [&] { return real_write()(fd, buf, count / 2); });
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    static pwrite_fn real = fault::next_symbol<pwrite_fn>("pwrite");
    return intercept(
        fd, true, offset, [&] { return real(fd, buf, count, offset); },
        [&] { return real(fd, buf, count / 2, offset); });
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset)
{
    static pwrite_fn real = fault::next_symbol<pwrite_fn>("pwrite64");
    return intercept(
        fd, true, offset, [&] { return real(fd, buf, count, offset); },
        [&] { return real(fd, buf, count / 2, offset); });
}

ssize_t writev(int fd, const iovec* iov, int iovcnt)
{
    static writev_fn real = fault::next_symbol<writev_fn>("writev");
    return intercept(
        fd, false, 0, [&] { return real(fd, iov, iovcnt); },
        [&] { return iovcnt > 0 ? real_write()(fd, iov[0].iov_base, first_half(iov, iovcnt)) : ssize_t{0}; });
}

ssize_t pwritev(int fd, const iovec* iov, int iovcnt, off_t offset)
{
    static pwritev_fn real = fault::next_symbol<pwritev_fn>("pwritev");
    static pwrite_fn real_pwrite = fault::next_symbol<pwrite_fn>("pwrite");
    return intercept(
        fd, true, offset, [&] { return real(fd, iov, iovcnt, offset); },
        [&] { return iovcnt > 0 ? real_pwrite(fd, iov[0].iov_base, first_half(iov, iovcnt), offset) : ssize_t{0}; });
}

ssize_t pwritev64(int fd, const iovec* iov, int iovcnt, off_t offset)
{
    static pwritev_fn real = fault::next_symbol<pwritev_fn>("pwritev64");
    static pwrite_fn real_pwrite = fault::next_symbol<pwrite_fn>("pwrite");
    return intercept(
        fd, true, offset, [&] { return real(fd, iov, iovcnt, offset); },
        [&] { return iovcnt > 0 ? real_pwrite(fd, iov[0].iov_base, first_half(iov, iovcnt), offset) : ssize_t{0}; });
}

} // extern "C"
