// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_file.h"

#include "vorna/storage/vorna_file_lines.h"
#include "vorna/storage/staged_output.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_file";

bool path_given(const char* path)
{
    return path != nullptr && path[0] != '\0';
}

bool seek_to(int fd, off_t offset)
{
    // lseek reports failure as -1, which would equal an offset of -1.
    return offset >= 0 && ::lseek(fd, offset, SEEK_SET) == offset;
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

long long ll(off_t v)
{
    return static_cast<long long>(v);
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

off_t file_read_fd_at(int fd, off_t offset, std::uint8_t* buf, off_t count)
{
    if (buf == nullptr || count < 0 || !seek_to(fd, offset))
        return -1;
    return read_fully(fd, buf, count);
}

int file_write_fd_at(int fd, off_t offset, const std::uint8_t* data, off_t count)
{
    if (data == nullptr || count < 0)
        return -1;
    mtd_geometry mtd;
    if (offset >= 0 && count > 0 && mtd_probe(fd, mtd)) {
        if (count > mtd.size || offset > mtd.size - count)
            return -1;
        return mtd_compare_write(fd, mtd, offset, data, count);
    }
    if (offset >= 0 && !seek_to(fd, offset))
        return -1;
    return write_fully(fd, data, count) == count ? 0 : -1;
}

unique_fd file_open_writable(const char* path)
{
    unique_fd fd = file_open(path, O_WRONLY);
    mtd_geometry mtd;
    if (fd && mtd_probe(fd.get(), mtd))
        fd = file_open(path, O_RDWR);
    return fd;
}

int file_flush_fd(int fd)
{
    mtd_geometry mtd;
    if (mtd_probe(fd, mtd)) {
        ::sync();
        return 0;
    }
    return ::fsync(fd) == 0 ? 0 : -1;
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
    if (!seek_to(fd.get(), offset))
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

// --- the NOR writer -------------------------------------------------------------

int compare_writer::open(const char* path, off_t block_size, std::span<const mtd_region> regions)
{
    if (!path_given(path)) {
        log_error(k_module, k_line_invalid_param, "Invalid param\n");
        return -1;
    }
    if (block_size <= 0) {
        log_error(k_module, k_line_block_size, "Invalid block size(%lld).\n", ll(block_size));
        return -1;
    }
    size_ = file_get_size(path);
    if (size_ < 0) {
        log_error(k_module, k_line_get_size, "Failed to get file size\n");
        return -1;
    }
    // The range checks of the first write come before the open, as they always have.
    path_ = path;
    block_size_ = block_size;
    regions_ = regions;
    return 0;
}

int compare_writer::write(off_t offset, const std::uint8_t* data, off_t len)
{
    if (data == nullptr || len <= 0 || block_size_ <= 0) {
        log_error(k_module, k_line_invalid_param, "Invalid param\n");
        return -1;
    }
    if (offset < 0 || offset >= size_) {
        log_error(k_module, k_line_invalid_offset, "Invlaid offset(%lld).\n", ll(offset));
        return -1;
    }
    // offset < size here, so size - offset cannot overflow.
    if (len > size_ - offset) {
        log_error(k_module, k_line_write_overflow, "write overflow offset=%lld buf_size=%lld file=%lld\n", ll(offset),
                  ll(len), ll(size_));
        return -1;
    }
    if (!fd_) {
        fd_ = open_path(path_, O_RDWR);
        if (!fd_) {
            log_error(k_module, k_line_open, "Failed to open '%s'\n", path_);
            return -1;
        }
        is_mtd_ = mtd_probe(fd_.get(), mtd_);
    }
    // Erase blocks, not `block_size`, are what an MTD device can rewrite.
    if (is_mtd_)
        return mtd_compare_write(fd_.get(), mtd_, offset, data, len, regions_);
    if (!block_)
        block_ = make_buffer(static_cast<std::size_t>(block_size_));
    if (!block_) {
        log_error(k_module, k_line_malloc, "Failed to malloc for block buf\n");
        return -1;
    }
    for (off_t done = 0; done < len;) {
        const off_t position = offset + done;
        const off_t n = (len - done < block_size_) ? len - done : block_size_;
        if (!seek_to(fd_.get(), position)) {
            log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", ll(position));
            return -1;
        }
        const off_t got = read_fully(fd_.get(), block_.get(), n);
        if (got < 0) {
            log_error(k_module, k_line_read, "ERROR read(%lld) return %lld.\n", ll(position), ll(got));
            return -1;
        }
        // A short read cannot prove the block matches, so it is rewritten.
        const bool same = got == n && std::memcmp(block_.get(), data + done, static_cast<std::size_t>(n)) == 0;
        if (!same) {
            if (!seek_to(fd_.get(), position)) {
                log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", ll(position));
                return -1;
            }
            const off_t put = write_fully(fd_.get(), data + done, n);
            if (put != n) {
                log_error(k_module, k_line_write, "ERROR write(%lld) return %lld.\n", ll(n), ll(put));
                return -1;
            }
        }
        done += n;
    }
    return 0;
}

int compare_writer::flush()
{
    if (!fd_)
        return 0;
    if (is_mtd_)
        ::sync();
    // Another character device cannot be synced and says so with EINVAL: its
    // writes reach the device when they return.
    const bool synced = is_mtd_ || ::fsync(fd_.get()) == 0 || errno == EINVAL;
    const bool closed = fd_.reset() == 0;
    return synced && closed ? 0 : -1;
}

int compare_writer::finish()
{
    if (flush() == 0)
        return 0;
    log_error(k_module, k_line_flush, "ERROR fsync('%s') failed.\n", path_);
    return -1;
}
