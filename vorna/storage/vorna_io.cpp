#include "vorna/storage/vorna_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

unique_fd open_path(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return unique_fd(fd);
}

namespace {

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
