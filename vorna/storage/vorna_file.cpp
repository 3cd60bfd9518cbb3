#include "vorna/storage/vorna_file.h"

#include "vorna/storage/staged_output.h"
#include "vorna/storage/unique_fd.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/storage/vorna_io.h"
#include "vorna/support/vorna_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_file";

enum line : int {
    k_line_invalid_param = 233,
    k_line_get_size = 239,
    k_line_invalid_offset = 244,
    k_line_write_overflow = 249,
    k_line_open = 256,
    k_line_malloc = 262,
    k_line_block_size = 268, // block size of 0 or less
    k_line_seek = 274,       // a seek that did not land where asked
    k_line_read = 280,
    k_line_write = 299,
};

bool path_given(const char* path)
{
    return path != nullptr && path[0] != '\0';
}

bool seek_to(int fd, off_t offset)
{
    // lseek reports failure as -1, which would equal an offset of -1.
    return offset >= 0 && ::lseek(fd, offset, SEEK_SET) == offset;
}

/// Closes a descriptor that was written to; a failed close can lose the data.
bool close_written(unique_fd& fd)
{
    return fd.reset() == 0;
}

} // namespace

off_t file_get_size(const char* path)
{
    if (!path_given(path))
        return -1;
    unique_fd fd = open_path(path, O_RDONLY);
    if (!fd)
        return -1;
    return ::lseek(fd.get(), 0, SEEK_END);
}

int file_read(const char* path, std::uint8_t* buf, off_t buf_size, off_t* count)
{
    if (!path_given(path) || buf == nullptr || buf_size <= 0)
        return -1;
    unique_fd fd = open_path(path, O_RDONLY);
    if (!fd)
        return -1;
    // The size only bounds the read; a device that cannot tell it is read up to
    // the buffer's size, never beyond.
    off_t size = ::lseek(fd.get(), 0, SEEK_END);
    off_t want = (size >= 0 && size < buf_size) ? size : buf_size;
    if (!seek_to(fd.get(), 0))
        return -1;
    off_t got = read_fully(fd.get(), buf, want);
    if (got < 0)
        return -1;
    if (count != nullptr)
        *count = got;
    return 0;
}

int file_read_at(const char* path, off_t offset, std::uint8_t* buf, off_t count, off_t* done)
{
    if (!path_given(path) || buf == nullptr || count <= 0)
        return -1;
    unique_fd fd = open_path(path, O_RDONLY);
    if (!fd)
        return -1;
    if (!seek_to(fd.get(), offset))
        return -1;
    off_t got = read_fully(fd.get(), buf, count);
    if (got < 0)
        return -1;
    if (done != nullptr)
        *done = got;
    return 0;
}

int file_write(const char* path, const std::uint8_t* data, off_t count, off_t* done)
{
    if (!path_given(path) || data == nullptr || count <= 0)
        return -1;
    unique_fd fd = open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0666);
    if (!fd)
        return -1;
    off_t put = write_fully(fd.get(), data, count);
    bool synced = ::fsync(fd.get()) == 0;
    bool closed = close_written(fd);
    if (done != nullptr)
        *done = put < 0 ? 0 : put;
    return (put == count && synced && closed) ? 0 : -1;
}

int file_write_at(const char* path, off_t offset, const std::uint8_t* data, off_t count, off_t* done)
{
    if (!path_given(path) || data == nullptr || count <= 0)
        return -1;
    unique_fd fd = open_path(path, O_WRONLY | O_SYNC);
    if (!fd)
        return -1;
    if (!seek_to(fd.get(), offset))
        return -1;
    off_t put = write_fully(fd.get(), data, count);
    bool synced = ::fsync(fd.get()) == 0;
    bool closed = close_written(fd);
    if (put != count || !synced || !closed)
        return -1;
    if (done != nullptr)
        *done = count;
    return 0;
}

int file_compare_write(const char* path, off_t offset, const std::uint8_t* data, off_t len, off_t block_size,
                       off_t* done_out)
{
    if (!path_given(path) || data == nullptr || len <= 0) {
        log_error(k_module, k_line_invalid_param, "Invalid param\n");
        return -1;
    }
    if (block_size <= 0) {
        log_error(k_module, k_line_block_size, "Invalid block size(%lld).\n", static_cast<long long>(block_size));
        return -1;
    }
    off_t size = file_get_size(path);
    if (size < 0) {
        log_error(k_module, k_line_get_size, "Failed to get file size\n");
        return -1;
    }
    if (offset < 0 || offset >= size) {
        log_error(k_module, k_line_invalid_offset, "Invlaid offset(%lld).\n", static_cast<long long>(offset));
        return -1;
    }
    // offset < size here, so size - offset cannot overflow.
    if (len > size - offset) {
        log_error(k_module, k_line_write_overflow, "write overflow offset=%lld buf_size=%lld file=%lld\n",
                  static_cast<long long>(offset), static_cast<long long>(len), static_cast<long long>(size));
        return -1;
    }
    unique_fd fd = open_path(path, O_RDWR);
    if (!fd) {
        log_error(k_module, k_line_open, "Failed to open '%s'\n", path);
        return -1;
    }
    // Whatever happens from here, what was written is flushed before returning.
    struct sync_on_exit {
        ~sync_on_exit() { ::sync(); }
    } flush;

    auto block = make_buffer(static_cast<std::size_t>(block_size));
    if (!block) {
        log_error(k_module, k_line_malloc, "Failed to malloc for block buf\n");
        return -1;
    }
    off_t done = 0;
    while (done < len) {
        off_t position = offset + done;
        off_t n = (len - done < block_size) ? len - done : block_size;
        if (!seek_to(fd.get(), position)) {
            log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", static_cast<long long>(position));
            return -1;
        }
        off_t got = read_fully(fd.get(), block.get(), n);
        if (got < 0) {
            log_error(k_module, k_line_read, "ERROR read(%lld) return %lld.\n", static_cast<long long>(position),
                      static_cast<long long>(got));
            return -1;
        }
        // A short read cannot prove the block matches, so it is rewritten.
        bool same = got == n && std::memcmp(block.get(), data + done, static_cast<std::size_t>(n)) == 0;
        if (!same) {
            if (!seek_to(fd.get(), position)) {
                log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", static_cast<long long>(position));
                return -1;
            }
            off_t put = write_fully(fd.get(), data + done, n);
            if (put != n) {
                log_error(k_module, k_line_write, "ERROR write(%lld) return %lld.\n", static_cast<long long>(n),
                          static_cast<long long>(put));
                return -1;
            }
        }
        done += n;
    }
    if (done_out != nullptr)
        *done_out = done;
    return 0;
}

unique_fd file_open(const char* path, int flags)
{
    if (!path_given(path))
        return unique_fd();
    return open_path(path, flags & ~O_CREAT);
}

off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count)
{
    if (buf == nullptr || count < 0 || !seek_to(fd, offset))
        return -1;
    return read_fully(fd, buf, count);
}

int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count)
{
    if (data == nullptr || count < 0 || (offset >= 0 && !seek_to(fd, offset)))
        return -1;
    return write_fully(fd, data, count) == count ? 0 : -1;
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
