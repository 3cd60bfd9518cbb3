// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_file.h"

#include "vorna/storage/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool path_given(const char* path)
{
    return path != nullptr && path[0] != '\0';
}

/// The read loop of both forms; `offset` < 0 reads at the file position.
off_t read_loop(int fd, off_t offset, std::uint8_t* buf, off_t count)
{
    off_t done = 0;
    while (done < count) {
        const auto left = static_cast<size_t>(count - done);
        ssize_t n = offset < 0 ? ::read(fd, buf + done, left) : ::pread(fd, buf + done, left, offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

/// The write loop of both forms; `offset` < 0 writes at the file position.
off_t write_loop(int fd, off_t offset, const std::uint8_t* data, off_t count)
{
    off_t done = 0;
    while (done < count) {
        const auto left = static_cast<size_t>(count - done);
        ssize_t n = offset < 0 ? ::write(fd, data + done, left) : ::pwrite(fd, data + done, left, offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? done : -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

whole_file failed()
{
    return {whole_read::failed, errno, 0};
}

} // namespace

// --- descriptors --------------------------------------------------------------

unique_fd open_path(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return unique_fd(fd);
}

unique_fd file_open(const char* path, int flags)
{
    if (!path_given(path))
        return unique_fd();
    return open_path(path, flags & ~O_CREAT);
}

off_t read_fully(int fd, std::uint8_t* buf, off_t count)
{
    return read_loop(fd, -1, buf, count);
}

off_t pread_fully(int fd, off_t offset, std::uint8_t* buf, off_t count)
{
    return read_loop(fd, offset, buf, count);
}

off_t write_fully(int fd, const std::uint8_t* data, off_t count)
{
    return write_loop(fd, -1, data, count);
}

off_t pwrite_fully(int fd, off_t offset, const std::uint8_t* data, off_t count)
{
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return write_loop(fd, offset, data, count);
}

bool file_seek_to(int fd, off_t offset)
{
    // lseek reports failure as -1, which would equal an offset of -1.
    return offset >= 0 && ::lseek(fd, offset, SEEK_SET) == offset;
}

off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count)
{
    if (buf == nullptr || count < 0 || !file_seek_to(fd, offset))
        return -1;
    return read_fully(fd, buf, count);
}

int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count)
{
    if (data == nullptr || count < 0 || (offset >= 0 && !file_seek_to(fd, offset)))
        return -1;
    return write_fully(fd, data, count) == count ? 0 : -1;
}

// --- paths --------------------------------------------------------------------

off_t file_get_size(const char* path)
{
    if (!path_given(path))
        return -1;
    unique_fd fd = open_path(path, O_RDONLY);
    if (!fd)
        return -1;
    return ::lseek(fd.get(), 0, SEEK_END);
}

int file_read_at(const char* path, off_t offset, std::uint8_t* buf, off_t count, off_t* done)
{
    if (!path_given(path) || buf == nullptr || count <= 0)
        return -1;
    unique_fd fd = open_path(path, O_RDONLY);
    if (!fd)
        return -1;
    if (!file_seek_to(fd.get(), offset))
        return -1;
    off_t got = read_fully(fd.get(), buf, count);
    if (got < 0)
        return -1;
    if (done != nullptr)
        *done = got;
    return 0;
}

whole_file read_whole_file(const char* path, off_t max_len, bool regular_only, std::vector<std::uint8_t>& out)
{
    out.clear();
    const unique_fd fd = open_path(path, O_RDONLY);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return failed();
    if (regular_only && !S_ISREG(st.st_mode))
        return {whole_read::not_regular, 0, 0};
    // A device knows its size only through a seek to its end.
    off_t size = st.st_size;
    if (!S_ISREG(st.st_mode)) {
        size = ::lseek(fd.get(), 0, SEEK_END);
        if (size < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0)
            return failed();
    }
    if (size > max_len)
        return {whole_read::too_large, 0, size};
    out.assign(static_cast<std::size_t>(size), 0);
    const off_t got = read_fully(fd.get(), out.data(), size);
    if (got < 0)
        return failed();
    if (got != size)
        return {whole_read::changed, 0, size};
    return {whole_read::ok, 0, size};
}

int file_replace(const char* path, const std::uint8_t* data, off_t count)
{
    if (!path_given(path) || data == nullptr || count <= 0)
        return -1;
    output_file out;
    if (out.open(path) != 0)
        return -1;
    if (file_write_fd_at(out.fd(), -1, data, count) != 0)
        return -1;
    return out.commit();
}
