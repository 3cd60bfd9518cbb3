// SPDX-License-Identifier: Apache-2.0
// Makes one pwrite and then one pread of COUNT bytes at OFFSET of FILE, and
// prints what each returned ("pwrite RESULT ERRNO"), so that a test can see what
// a preloaded fault library does to the positional calls.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 2;
    const off_t offset = std::strtoll(argv[2], nullptr, 0);
    const auto count = static_cast<std::size_t>(std::strtoul(argv[3], nullptr, 0));
    std::vector<unsigned char> buf(count, 0x5A);

    errno = 0;
    ssize_t n = ::pwrite(fd, buf.data(), count, offset);
    std::printf("pwrite %zd %d\n", n, n < 0 ? errno : 0);
    errno = 0;
    n = ::pread(fd, buf.data(), count, offset);
    std::printf("pread %zd %d\n", n, n < 0 ? errno : 0);
    return ::close(fd) == 0 ? 0 : 2;
}
