// SPDX-License-Identifier: Apache-2.0
#include "tests/fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void broken(const char* what, const char* file, int line)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, what);
    std::abort();
}

memory_file::memory_file(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC))
{
    // Without its files a harness cannot run at all; stop before fuzzing nothing.
    if (fd_ < 0) {
        std::perror("memfd_create");
        std::exit(2);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

memory_file::~memory_file()
{
    ::close(fd_);
}

void memory_file::assign(std::span<const std::uint8_t> bytes)
{
    clear(0);
    write_at(0, bytes);
}

void memory_file::clear(std::size_t size)
{
    // Truncating to nothing first drops the old contents, then the file grows as zeros.
    if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        broken("ftruncate of a memory file", __FILE__, __LINE__);
}

void memory_file::write_at(std::size_t offset, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            broken("pwrite to a memory file", __FILE__, __LINE__);
        done += static_cast<std::size_t>(n);
    }
}

} // namespace fuzz
