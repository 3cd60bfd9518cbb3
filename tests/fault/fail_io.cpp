// SPDX-License-Identifier: Apache-2.0
// Preloaded into a vorna process (LD_PRELOAD) to make storage calls fail the
// way a worn or flaky device does, which no regular file can: a read or write
// that stops at a bad spot or fails with a chosen error, a seek that fails, a
// record lock the system refuses, a call interrupted by a signal.
//
// Only calls on a set of files are touched; standard output and every other
// descriptor go straight through.
//
// Environment:
//   VORNA_FAIL_FILES      the watched files, separated by ':'; a call is matched
//                         by the device and inode of its descriptor, so any path
//                         naming the same file counts (the files must exist when
//                         the process starts)
//   VORNA_FAIL_CALL       the calls to fault, separated by ',': read, write,
//                         pread, pwrite, lseek, fcntl (fcntl: the record-lock
//                         commands only), fsync
//   VORNA_FAIL_ERRNO      the error a faulted call fails with; 0 makes a faulted
//                         read or write return 0 instead (end of the medium)
//   VORNA_FAIL_AT         a byte offset, the bad spot: a read or write starting
//                         there (at the file position, or at the offset given
//                         to pread and pwrite) is faulted, one starting before
//                         it and reaching past is cut short to end there; a seek
//                         to it (SEEK_SET) is faulted. Absent: every call is
//                         faulted.
//   VORNA_FAIL_SKIP       N: the first N calls that would be faulted go through
//   VORNA_FAIL_TRANSIENT  "1": after a faulted call the next watched call goes
//                         through untouched, as when retrying succeeds
//   VORNA_FAIL_LOG        a file to which every faulted or cut call appends
//                         "CALL INDEX POSITION RESULT\n" (INDEX: position of the
//                         file in VORNA_FAIL_FILES, counted from 0; RESULT: what
//                         the call returned)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "tests/fault/watched_files.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum call_kind : unsigned {
    k_read = 1,
    k_write = 2,
    k_lseek = 4,
    k_fcntl = 8,
    k_pread = 16,
    k_pwrite = 32,
    k_fsync = 64
};

struct shim_state {
    bool ready = false;
    fault::watched_files files;
    unsigned calls = 0;
    int error = 0;
    bool has_spot = false;
    long long spot = 0;
    long skip = 0;
    bool transient = false;
    bool last_faulted = false;
    const char* log_path = nullptr;
};

shim_state g_state;

using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using lseek_fn = off_t (*)(int, off_t, int);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);
using fcntl_fn = int (*)(int, int, ...);

/// The definitions the intercepted calls stand in front of, looked up once.
struct real_calls {
    read_fn read = fault::next_symbol<read_fn>("read");
    write_fn write = fault::next_symbol<write_fn>("write");
    lseek_fn lseek = fault::next_symbol<lseek_fn>("lseek");
    pread_fn pread = fault::next_symbol<pread_fn>("pread");
    pwrite_fn pwrite = fault::next_symbol<pwrite_fn>("pwrite");
};

const real_calls& real()
{
    static const real_calls calls;
    return calls;
}

unsigned parse_calls(const char* list)
{
    unsigned calls = 0;
    const char* start = list;
    while (*start != '\0') {
        std::size_t len = std::strcspn(start, ",");
        auto is = [&](const char* name) { return std::strlen(name) == len && std::strncmp(start, name, len) == 0; };
        if (is("read"))
            calls |= k_read;
        else if (is("write"))
            calls |= k_write;
        else if (is("lseek"))
            calls |= k_lseek;
        else if (is("fcntl"))
            calls |= k_fcntl;
        else if (is("pread"))
            calls |= k_pread;
        else if (is("pwrite"))
            calls |= k_pwrite;
        else if (is("fsync"))
            calls |= k_fsync;
        start += len;
        if (*start == ',')
            ++start;
    }
    return calls;
}

void prepare()
{
    if (g_state.ready)
        return;
    g_state.ready = true;
    int saved_errno = errno;
    if (const char* calls = std::getenv("VORNA_FAIL_CALL"))
        g_state.calls = parse_calls(calls);
    if (const char* error = std::getenv("VORNA_FAIL_ERRNO"))
        g_state.error = static_cast<int>(std::strtol(error, nullptr, 10));
    if (const char* at = std::getenv("VORNA_FAIL_AT")) {
        g_state.has_spot = true;
        g_state.spot = std::strtoll(at, nullptr, 0);
    }
    if (const char* skip = std::getenv("VORNA_FAIL_SKIP"))
        g_state.skip = std::strtol(skip, nullptr, 10);
    if (const char* transient = std::getenv("VORNA_FAIL_TRANSIENT"))
        g_state.transient = std::strcmp(transient, "1") == 0;
    g_state.log_path = std::getenv("VORNA_FAIL_LOG");
    if (const char* files = std::getenv("VORNA_FAIL_FILES"))
        g_state.files.parse(files);
    errno = saved_errno;
}

/// The position in VORNA_FAIL_FILES of the descriptor's file when calls of this
/// kind are faulted there, or -1.
int watched_index(int fd, call_kind kind)
{
    prepare();
    if ((g_state.calls & kind) == 0)
        return -1;
    return g_state.files.index_of(fd);
}

void log_call(const char* call, int index, long long position, long long result)
{
    if (g_state.log_path == nullptr)
        return;
    int saved_errno = errno;
    int fd = ::open(g_state.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::array<char, 128> line{};
        int len = std::snprintf(line.data(), line.size(), "%s %d %lld %lld\n", call, index, position, result);
        if (len > 0)
            (void)real().write(fd, line.data(), static_cast<std::size_t>(len));
        ::close(fd);
    }
    errno = saved_errno;
}

/// Whether a watched call that reached the bad spot (or any call, without one)
/// is faulted, after SKIP and TRANSIENT have had their say.
bool take_fault()
{
    if (g_state.transient && g_state.last_faulted) {
        g_state.last_faulted = false;
        return false;
    }
    if (g_state.skip > 0) {
        --g_state.skip;
        return false;
    }
    g_state.last_faulted = true;
    return true;
}

/// A watched call that is neither faulted nor cut.
void pass()
{
    g_state.last_faulted = false;
}

/// Runs a read or write on a watched descriptor that starts at `position`:
/// `real(count)` makes the call with that count.
template <typename Real> ssize_t transfer(const char* call, int index, long long position, size_t count, Real real)
{
    bool at_spot = !g_state.has_spot || position == g_state.spot;
    if (at_spot && take_fault()) {
        ssize_t result = g_state.error == 0 ? 0 : -1;
        log_call(call, index, position, result);
        if (result < 0)
            errno = g_state.error;
        return result;
    }
    if (!at_spot && !g_state.last_faulted && position >= 0 && position < g_state.spot &&
        static_cast<unsigned long long>(g_state.spot - position) < count) {
        ssize_t result = real(static_cast<size_t>(g_state.spot - position));
        log_call(call, index, position, result);
        return result;
    }
    pass();
    return real(count);
}

/// Where a read or write at the file position starts.
long long file_position(int fd)
{
    int saved_errno = errno;
    long long position = static_cast<long long>(real().lseek(fd, 0, SEEK_CUR));
    errno = saved_errno;
    return position;
}

int lock_call(int fd, int cmd, void* arg, fcntl_fn real)
{
    bool is_lock = cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
    int index = is_lock ? watched_index(fd, k_fcntl) : -1;
    if (index >= 0) {
        if (take_fault()) {
            log_call("fcntl", index, 0, -1);
            errno = g_state.error;
            return -1;
        }
        pass();
    }
    return real(fd, cmd, arg);
}

} // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t count)
{
    int index = watched_index(fd, k_read);
    if (index < 0)
        return real().read(fd, buf, count);
    return transfer("read", index, file_position(fd), count, [&](size_t n) { return real().read(fd, buf, n); });
}

ssize_t write(int fd, const void* buf, size_t count)
{
    int index = watched_index(fd, k_write);
    if (index < 0)
        return real().write(fd, buf, count);
    return transfer("write", index, file_position(fd), count, [&](size_t n) { return real().write(fd, buf, n); });
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    int index = watched_index(fd, k_pread);
    if (index < 0)
        return real().pread(fd, buf, count, offset);
    return transfer("pread", index, offset, count, [&](size_t n) { return real().pread(fd, buf, n, offset); });
}

ssize_t pread64(int fd, void* buf, size_t count, off64_t offset)
{
    return pread(fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    int index = watched_index(fd, k_pwrite);
    if (index < 0)
        return real().pwrite(fd, buf, count, offset);
    return transfer("pwrite", index, offset, count, [&](size_t n) { return real().pwrite(fd, buf, n, offset); });
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset)
{
    return pwrite(fd, buf, count, offset);
}

off_t lseek(int fd, off_t offset, int whence) noexcept
{
    int index = watched_index(fd, k_lseek);
    if (index >= 0 && whence == SEEK_SET && (!g_state.has_spot || offset == g_state.spot)) {
        if (take_fault()) {
            log_call("lseek", index, static_cast<long long>(offset), -1);
            errno = g_state.error;
            return -1;
        }
    }
    if (index >= 0)
        pass();
    return real().lseek(fd, offset, whence);
}

int fsync(int fd)
{
    static const auto real_fsync = fault::next_symbol<int (*)(int)>("fsync");
    int index = watched_index(fd, k_fsync);
    if (index >= 0) {
        if (take_fault()) {
            log_call("fsync", index, 0, -1);
            errno = g_state.error;
            return -1;
        }
        pass();
    }
    return real_fsync(fd);
}

off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
    return lseek(fd, offset, whence);
}

// fcntl's third argument is an int or a pointer depending on the command; read
// as a pointer it is handed on unchanged on the ABIs the product runs on.
int fcntl(int fd, int cmd, ...)
{
    static fcntl_fn real = fault::next_symbol<fcntl_fn>("fcntl");
    std::va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return lock_call(fd, cmd, arg, real);
}

int fcntl64(int fd, int cmd, ...)
{
    static fcntl_fn real = fault::next_symbol<fcntl_fn>("fcntl64");
    std::va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return lock_call(fd, cmd, arg, real != nullptr ? real : fault::next_symbol<fcntl_fn>("fcntl"));
}

} // extern "C"
