// SPDX-License-Identifier: Apache-2.0
// Preloaded into a vorna process (LD_PRELOAD) to play the attacker who can write
// the image file while an upgrade runs: once, at a chosen moment, it rewrites
// bytes of the image in place or cuts the image short, from inside the process,
// so that the change lands exactly between two steps of vorna.
//
// Environment:
//   VORNA_TAMPER_IMAGE    the image file
//   VORNA_TAMPER_DEVICES  ':'-separated device files; the change is made when
//                         one of them is first opened for writing
//   VORNA_TAMPER_READ     N >= 1: make the change at the N-th pread of the
//                         image instead (before that read is served)
//   VORNA_TAMPER_REWRITE  "OFFSET:LEN": overwrite LEN bytes at OFFSET with 0x5A
//   VORNA_TAMPER_TRUNCATE LEN: cut the image to LEN bytes
//   VORNA_TAMPER_SERVE    "OFFSET:HEX": the first read of the image (pread or
//                         read) that spans OFFSET .. OFFSET + the bytes of HEX
//                         returns these bytes there; the file itself is left
//                         alone, so that every later read gets its own bytes
//                         (what a writer that puts them back in time does)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "tests/fault/watched_files.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using open_fn = int (*)(const char*, int, ...);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);
using read_fn = ssize_t (*)(int, void*, size_t);

struct shim_state {
    bool ready = false;
    bool done = false;
    fault::watched_files devices;
    fault::watched_files image;
    long read_at = 0;
    long reads = 0;
    bool serve = false; ///< VORNA_TAMPER_SERVE given and not yet served
    long long serve_at = 0;
    std::vector<unsigned char> served;
};

shim_state g_state;

open_fn real_open()
{
    static open_fn fn = fault::next_symbol<open_fn>("open");
    return fn;
}

void prepare()
{
    if (g_state.ready)
        return;
    g_state.ready = true;
    int saved_errno = errno;
    if (const char* list = std::getenv("VORNA_TAMPER_DEVICES"))
        g_state.devices.parse(list);
    if (const char* image = std::getenv("VORNA_TAMPER_IMAGE"))
        g_state.image.parse(image);
    if (const char* n = std::getenv("VORNA_TAMPER_READ"))
        g_state.read_at = std::strtol(n, nullptr, 10);
    if (const char* serve = std::getenv("VORNA_TAMPER_SERVE"); serve != nullptr && *serve != '\0') {
        char* hex = nullptr;
        g_state.serve_at = std::strtoll(serve, &hex, 0);
        for (++hex; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
            const char byte[3] = {hex[0], hex[1], '\0'};
            g_state.served.push_back(static_cast<unsigned char>(std::strtoul(byte, nullptr, 16)));
        }
        g_state.serve = !g_state.served.empty();
    }
    errno = saved_errno;
}

/// Puts the bytes to serve into what a read of the image at `offset` returned.
ssize_t serving(int fd, void* buf, off_t offset, ssize_t got)
{
    const long long len = static_cast<long long>(g_state.served.size());
    if (!g_state.serve || got < 0 || offset < 0 || g_state.serve_at < offset || g_state.serve_at + len > offset + got ||
        g_state.image.index_of(fd) != 0)
        return got;
    g_state.serve = false;
    std::memcpy(static_cast<char*>(buf) + (g_state.serve_at - offset), g_state.served.data(), g_state.served.size());
    return got;
}

void tamper()
{
    if (g_state.done)
        return;
    g_state.done = true;
    int saved_errno = errno;
    const char* image = std::getenv("VORNA_TAMPER_IMAGE");
    const char* rewrite = std::getenv("VORNA_TAMPER_REWRITE");
    if (rewrite != nullptr && *rewrite != '\0') {
        char* rest = nullptr;
        long long offset = std::strtoll(rewrite, &rest, 0);
        long long len = std::strtoll(rest + 1, nullptr, 0);
        int fd = real_open()(image, O_WRONLY | O_CLOEXEC);
        std::vector<char> bytes(static_cast<std::size_t>(len), 0x5A);
        if (fd < 0 || ::pwrite(fd, bytes.data(), bytes.size(), offset) != len)
            ::_exit(99);
        ::close(fd);
    }
    const char* cut = std::getenv("VORNA_TAMPER_TRUNCATE");
    if (cut != nullptr && *cut != '\0') {
        if (::truncate(image, std::strtoll(cut, nullptr, 0)) != 0)
            ::_exit(99);
    }
    errno = saved_errno;
}

int opened(int fd, int flags)
{
    prepare();
    if (fd >= 0 && (flags & O_ACCMODE) != O_RDONLY && g_state.read_at == 0 && g_state.devices.index_of(fd) >= 0)
        tamper();
    return fd;
}

ssize_t reading(int fd, void* buf, size_t count, off_t offset, pread_fn real)
{
    prepare();
    if (g_state.read_at > 0 && g_state.image.index_of(fd) == 0 && ++g_state.reads == g_state.read_at)
        tamper();
    return serving(fd, buf, offset, real(fd, buf, count, offset));
}

/// Opens through `real`, taking the mode from `ap` when the flags say there is one.
int open_through(open_fn real, const char* path, int flags, va_list ap)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = va_arg(ap, mode_t);
    return opened(real(path, flags, mode), flags);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = open_through(real_open(), path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    static open_fn fn = fault::next_symbol<open_fn>("open64");
    va_list ap;
    va_start(ap, flags);
    int fd = open_through(fn, path, flags, ap);
    va_end(ap);
    return fd;
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    static pread_fn fn = fault::next_symbol<pread_fn>("pread");
    return reading(fd, buf, count, offset, fn);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset)
{
    static pread_fn fn = fault::next_symbol<pread_fn>("pread64");
    return reading(fd, buf, count, offset, fn);
}

ssize_t read(int fd, void* buf, size_t count)
{
    static read_fn fn = fault::next_symbol<read_fn>("read");
    prepare();
    const int saved_errno = errno;
    const off_t offset = g_state.serve ? ::lseek(fd, 0, SEEK_CUR) : -1;
    errno = saved_errno;
    return serving(fd, buf, offset, fn(fd, buf, count));
}

} // extern "C"
