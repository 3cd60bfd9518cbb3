// SPDX-License-Identifier: Apache-2.0
// Preloaded into vorna (LD_PRELOAD) to give a regular file the semantics of NOR
// flash behind an MTD character device: it answers MEMGETINFO, MEMERASE sets an
// erase block to all ones, and programming (write, pwrite) can only clear bits,
// so the file ends holding the AND of what it held and what was written. Every
// erase is logged; on a real MTD device (inside the kernel rig) the library only
// logs the erases and passes the calls through.
//
// Environment:
//   VORNA_MTD_FILES      the file that plays the MTD device (first of a ':' list)
//   VORNA_MTD_ERASESIZE  its erase block size (default 65536)
//   VORNA_MTD_LOG        file that gets one "erase START LENGTH" line per erase
//   VORNA_MTD_FAIL_ERASE N >= 1: the N-th erase fails with EIO
//   VORNA_MTD_WEAK       OFFSET: a worn cell; programming leaves that byte as it was
//   VORNA_MTD_FAIL_PROGRAM N >= 1: the first program after the N-th erase fails
//                        with EIO, having programmed nothing
//   VORNA_MTD_FAIL_TORN  1: that failed program first programs its first half
//   VORNA_MTD_FAIL_STUCK 1: after that failure every program fails (a block that
//                        went bad), so that nothing can be put back
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/fault/watched_files.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);

struct shim_state {
    bool ready = false;
    fault::watched_files nor;
    unsigned erase_size = 65536;
    long fail_erase = 0;
    long erases = 0;
    long long weak = -1;
    long fail_program = 0;
    bool torn = false;
    bool stuck = false;
    bool program_fails = false; ///< the next program is the one that fails
    bool failed = false;        ///< a program has failed
};

shim_state g_state;

void prepare()
{
    if (g_state.ready)
        return;
    g_state.ready = true;
    const int saved_errno = errno;
    if (const char* list = std::getenv("VORNA_MTD_FILES"))
        g_state.nor.parse(list);
    if (const char* n = std::getenv("VORNA_MTD_ERASESIZE"))
        g_state.erase_size = static_cast<unsigned>(std::strtoul(n, nullptr, 0));
    if (const char* n = std::getenv("VORNA_MTD_FAIL_ERASE"))
        g_state.fail_erase = std::strtol(n, nullptr, 10);
    if (const char* n = std::getenv("VORNA_MTD_WEAK"); n != nullptr && *n != '\0')
        g_state.weak = std::strtoll(n, nullptr, 0);
    if (const char* n = std::getenv("VORNA_MTD_FAIL_PROGRAM"))
        g_state.fail_program = std::strtol(n, nullptr, 10);
    if (const char* n = std::getenv("VORNA_MTD_FAIL_TORN"))
        g_state.torn = std::strcmp(n, "1") == 0;
    if (const char* n = std::getenv("VORNA_MTD_FAIL_STUCK"))
        g_state.stuck = std::strcmp(n, "1") == 0;
    errno = saved_errno;
}

bool emulated(int fd)
{
    prepare();
    return g_state.nor.index_of(fd) == 0;
}

void log_erase(std::uint32_t start, std::uint32_t length)
{
    const char* path = std::getenv("VORNA_MTD_LOG");
    if (path == nullptr || *path == '\0')
        return;
    const int saved_errno = errno;
    if (FILE* f = std::fopen(path, "ae")) {
        std::fprintf(f, "erase 0x%x 0x%x\n", start, length);
        std::fclose(f);
    }
    errno = saved_errno;
}

pwrite_fn real_pwrite()
{
    static pwrite_fn fn = fault::next_symbol<pwrite_fn>("pwrite");
    return fn;
}

/// Programs `count` bytes at `offset` of the emulated file: each byte becomes
/// the AND of the old and the new one.
ssize_t program_cells(int fd, const void* buf, size_t count, off_t offset)
{
    std::vector<unsigned char> cells(count, 0xFF);
    if (::pread(fd, cells.data(), count, offset) < 0)
        return -1;
    const auto* in = static_cast<const unsigned char*>(buf);
    for (size_t i = 0; i < count; ++i) {
        if (static_cast<long long>(offset) + static_cast<long long>(i) != g_state.weak)
            cells[i] &= in[i];
    }
    return real_pwrite()(fd, cells.data(), count, offset);
}

/// A program, or the failure that VORNA_MTD_FAIL_PROGRAM asks for.
ssize_t program(int fd, const void* buf, size_t count, off_t offset)
{
    const bool fails = g_state.program_fails || (g_state.failed && g_state.stuck);
    if (!fails)
        return program_cells(fd, buf, count, offset);
    if (g_state.program_fails && g_state.torn && program_cells(fd, buf, count / 2, offset) < 0)
        return -1;
    g_state.program_fails = false;
    g_state.failed = true;
    errno = EIO;
    return -1;
}

int erase(int fd, const erase_info_user& e)
{
    ++g_state.erases;
    struct stat st {};
    if (g_state.fail_erase == g_state.erases || ::fstat(fd, &st) != 0) {
        errno = EIO;
        return -1;
    }
    if (e.start % g_state.erase_size != 0 || e.length % g_state.erase_size != 0 ||
        std::uint64_t{e.start} + e.length > static_cast<std::uint64_t>(st.st_size)) {
        errno = EINVAL;
        return -1;
    }
    std::vector<unsigned char> ones(e.length, 0xFF);
    if (real_pwrite()(fd, ones.data(), ones.size(), e.start) != static_cast<ssize_t>(e.length))
        return -1;
    log_erase(e.start, e.length);
    if (g_state.erases == g_state.fail_program)
        g_state.program_fails = true;
    return 0;
}

int control(int fd, unsigned long request, void* arg)
{
    static ioctl_fn real = fault::next_symbol<ioctl_fn>("ioctl");
    if (!emulated(fd)) {
        const int rc = real(fd, request, arg);
        if (rc == 0 && request == MEMERASE) {
            const auto* e = static_cast<const erase_info_user*>(arg);
            log_erase(e->start, e->length);
        }
        return rc;
    }
    if (request == MEMGETINFO) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return -1;
        auto* info = static_cast<mtd_info_user*>(arg);
        *info = {};
        info->type = MTD_NORFLASH;
        info->flags = MTD_CAP_NORFLASH;
        info->size = static_cast<std::uint32_t>(st.st_size);
        info->erasesize = g_state.erase_size;
        info->writesize = 1;
        return 0;
    }
    if (request == MEMERASE)
        return erase(fd, *static_cast<const erase_info_user*>(arg));
    errno = ENOTTY;
    return -1;
}

} // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return control(fd, request, arg);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    static write_fn real = fault::next_symbol<write_fn>("write");
    if (!emulated(fd))
        return real(fd, buf, count);
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    const ssize_t n = at < 0 ? -1 : program(fd, buf, count, at);
    if (n > 0)
        ::lseek(fd, at + n, SEEK_SET);
    return n;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    return emulated(fd) ? program(fd, buf, count, offset) : real_pwrite()(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset)
{
    static pwrite_fn real = fault::next_symbol<pwrite_fn>("pwrite64");
    return emulated(fd) ? program(fd, buf, count, offset) : real(fd, buf, count, offset);
}

} // extern "C"
