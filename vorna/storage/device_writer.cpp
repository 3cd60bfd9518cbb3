// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/device_writer.h"

#include "vorna/storage/vorna_file.h"
#include "vorna/storage/vorna_file_lines.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr const char* k_module = "vorna_file";

long long ll(off_t v)
{
    return static_cast<long long>(v);
}

/// How a write is cut into blocks for comparing.
struct block_grid {
    off_t size; ///< bytes of one block
    /// 0: blocks counted from each write's offset and cut at its end; else the
    /// device's size, and blocks aligned to its start and read whole up to its
    /// end (erase blocks, which are rewritten whole).
    off_t device_size;
};

/// One block of a compared write, as the device held it.
struct held_block {
    off_t start; ///< where the block starts on the device
    off_t whole; ///< bytes of the block that were read
    off_t from;  ///< the write covers [from, to) of the device in this block
    off_t to;
};

/// The one "compare a block, write it if it differs" loop of every policy.
/// Reads each block that the write of `len` bytes at `offset` touches with
/// `read(start, held, whole)` (the bytes read, or -1 after its report), compares
/// the part that the new bytes cover and hands the block to `take(block, same)`,
/// which writes it when it differs. A short read cannot prove the block matches,
/// so it counts as a difference. 0, or -1 when `read` or `take` failed.
template <typename Read, typename Take>
int compare_blocks(const block_grid& grid, off_t offset, const std::uint8_t* data, off_t len, std::uint8_t* held,
                   Read read, Take take)
{
    const off_t end = offset + len;
    const bool aligned = grid.device_size > 0;
    for (off_t start = aligned ? offset / grid.size * grid.size : offset; start < end; start += grid.size) {
        const off_t from = std::max(start, offset);
        const off_t to = std::min(start + grid.size, end);
        const off_t whole = aligned ? std::min(grid.size, grid.device_size - start) : to - start;
        const off_t got = read(start, held, whole);
        if (got < 0)
            return -1;
        const auto n = static_cast<std::size_t>(to - from);
        const bool same = got >= to - start && std::memcmp(held + (from - start), data + (from - offset), n) == 0;
        if (take(held_block{start, whole, from, to}, same) != 0)
            return -1;
    }
    return 0;
}

/// The MTD policy (formerly mtd_compare_write): erase blocks read whole, and
/// each whose bytes differ erased, programmed with its old bytes around the new
/// ones and read back (vorna_mtd.h). The caller makes the blocks durable.
/// 0, or -1 after printing.
int mtd_write(int fd, const mtd_geometry& mtd, off_t offset, const std::uint8_t* data, off_t len,
              std::span<const mtd_region> regions)
{
    const off_t es = mtd.erase_size;
    if (es <= 0 || es > k_mtd_max_erase_size) {
        log_error(k_module, k_line_mtd_erase_size, "MTD erase size %lld is not supported.\n", ll(es));
        return -1;
    }
    // The block's bytes as they were, the bytes it is to hold, and a read back.
    auto old = make_buffer(static_cast<std::size_t>(es));
    auto block = make_buffer(static_cast<std::size_t>(es));
    auto back = make_buffer(static_cast<std::size_t>(es));
    if (!old || !block || !back) {
        log_error(k_module, k_line_mtd_malloc, "Failed to malloc for erase block buf\n");
        return -1;
    }
    auto read = [fd](off_t start, std::uint8_t* held, off_t whole) -> off_t {
        if (pread_fully(fd, start, held, whole) == whole)
            return whole;
        log_error(k_module, k_line_mtd_read, "ERROR read MTD block 0x%llx failed.\n", ll(start));
        return -1;
    };
    // An erase clears the whole block, so the bytes around the new ones are
    // programmed back with them.
    auto rewrite = [&](const held_block& h, bool same) {
        if (same)
            return 0;
        const auto from = static_cast<std::size_t>(h.from - h.start);
        const auto to = static_cast<std::size_t>(h.to - h.start);
        std::memcpy(block.get(), old.get(), static_cast<std::size_t>(h.whole));
        std::memcpy(block.get() + from, data + (h.from - offset), to - from);
        const mtd_block b{fd, h.start, es, h.whole, old.get(), back.get(), from, to};
        return mtd_rewrite_block(b, block.get(), regions);
    };
    return compare_blocks(block_grid{es, mtd.size}, offset, data, len, old.get(), read, rewrite);
}

} // namespace

device_writer::~device_writer()
{
    if (policy_.kind == writer_policy::mode::nor_compare)
        (void)sync_and_close();
}

int device_writer::open(const char* path, const writer_policy& policy)
{
    if (policy.kind == writer_policy::mode::nor_compare)
        return open_nor(path, policy);
    policy_ = policy;
    if (policy.block_size > 0) {
        held_ = make_buffer(static_cast<std::size_t>(policy.block_size));
        if (!held_)
            return -1;
    }
    // An MTD character device is read too: its erase blocks are rewritten whole.
    fd_ = file_open(path, policy.block_size > 0 ? O_RDWR : O_WRONLY);
    is_mtd_ = fd_ && mtd_probe(fd_.get(), mtd_);
    if (is_mtd_ && policy.block_size <= 0)
        fd_ = file_open(path, O_RDWR);
    if (!fd_)
        return -1;
    // The device's pages stay cached: a check that reads them back soon finds them.
    behind_ = write_behind(fd_.get(), false);
    return 0;
}

int device_writer::write(off_t offset, const std::uint8_t* data, off_t len)
{
    if (policy_.kind == writer_policy::mode::nor_compare)
        return write_nor(offset, data, len);
    return write_stream(offset, data, len);
}

int device_writer::flush()
{
    return fd_ && sync_device() ? 0 : -1;
}

int device_writer::finish()
{
    const int rc = sync_and_close();
    if (rc != 0 && policy_.kind == writer_policy::mode::nor_compare)
        log_error(k_module, k_line_flush, "ERROR fsync('%s') failed.\n", path_);
    return rc;
}

bool device_writer::sync_device()
{
    // An MTD character device has no fsync of its own.
    if (is_mtd_) {
        ::sync();
        return true;
    }
    // fsync also empties a device's own write cache. Another character device
    // cannot be synced and says so with EINVAL: the NOR policy's writes reach it
    // when they return.
    return ::fsync(fd_.get()) == 0 || (policy_.kind == writer_policy::mode::nor_compare && errno == EINVAL);
}

int device_writer::sync_and_close()
{
    if (!fd_)
        return 0;
    const bool synced = sync_device();
    const bool closed = fd_.reset() == 0;
    return synced && closed ? 0 : -1;
}

// --- the NOR policy -------------------------------------------------------------

int device_writer::open_nor(const char* path, const writer_policy& policy)
{
    if (path == nullptr || path[0] == '\0') {
        log_error(k_module, k_line_invalid_param, "Invalid param\n");
        return -1;
    }
    if (policy.block_size <= 0) {
        log_error(k_module, k_line_block_size, "Invalid block size(%lld).\n", ll(policy.block_size));
        return -1;
    }
    size_ = file_get_size(path);
    if (size_ < 0) {
        log_error(k_module, k_line_get_size, "Failed to get file size\n");
        return -1;
    }
    // The range checks of the first write come before the open, as they always have.
    path_ = path;
    policy_ = policy;
    return 0;
}

int device_writer::write_nor(off_t offset, const std::uint8_t* data, off_t len)
{
    if (data == nullptr || len <= 0 || policy_.block_size <= 0) {
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
    // Erase blocks, not the policy's blocks, are what an MTD device can rewrite.
    if (is_mtd_)
        return mtd_write(fd_.get(), mtd_, offset, data, len, policy_.regions);
    return write_nor_blocks(offset, data, len);
}

int device_writer::write_nor_blocks(off_t offset, const std::uint8_t* data, off_t len)
{
    if (!held_)
        held_ = make_buffer(static_cast<std::size_t>(policy_.block_size));
    if (!held_) {
        log_error(k_module, k_line_malloc, "Failed to malloc for block buf\n");
        return -1;
    }
    const int fd = fd_.get();
    auto read = [fd](off_t start, std::uint8_t* held, off_t n) -> off_t {
        if (!file_seek_to(fd, start)) {
            log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", ll(start));
            return -1;
        }
        const off_t got = read_fully(fd, held, n);
        if (got < 0)
            log_error(k_module, k_line_read, "ERROR read(%lld) return %lld.\n", ll(start), ll(got));
        return got;
    };
    auto rewrite = [fd, offset, data](const held_block& h, bool same) {
        if (same)
            return 0;
        if (!file_seek_to(fd, h.from)) {
            log_error(k_module, k_line_seek, "ERROR lseek(%lld) failed.\n", ll(h.from));
            return -1;
        }
        const off_t n = h.to - h.from;
        const off_t put = write_fully(fd, data + (h.from - offset), n);
        if (put != n) {
            log_error(k_module, k_line_write, "ERROR write(%lld) return %lld.\n", ll(n), ll(put));
            return -1;
        }
        return 0;
    };
    return compare_blocks(block_grid{policy_.block_size, 0}, offset, data, len, held_.get(), read, rewrite);
}

// --- the stream policies ----------------------------------------------------------

int device_writer::put(off_t offset, const std::uint8_t* data, off_t len)
{
    const bool inside = !is_mtd_ || (len <= mtd_.size && offset <= mtd_.size - len);
    if (!inside || (is_mtd_ ? mtd_write(fd_.get(), mtd_, offset, data, len, {})
                            : file_write_fd_at(fd_.get(), offset, data, len)) != 0)
        return -1;
    // A failed write-out found here is not reported again by fsync: it fails the write.
    return behind_.wrote(offset, len);
}

int device_writer::write_stream(off_t offset, const std::uint8_t* data, off_t len)
{
    if (!fd_ || data == nullptr || offset < 0 || len <= 0)
        return -1;
    if (!held_)
        return put(offset, data, len);
    const int fd = fd_.get();
    auto read = [fd](off_t start, std::uint8_t* held, off_t n) { return pread_fully(fd, start, held, n); };
    // Runs of differing blocks go out as one write each.
    off_t run = -1;
    auto take = [&](const held_block& h, bool same) {
        if (!same && run < 0)
            run = h.from;
        if (!same || run < 0)
            return 0;
        const off_t from = std::exchange(run, -1);
        return put(from, data + (from - offset), h.from - from);
    };
    const block_grid grid{policy_.block_size, 0};
    if (compare_blocks(grid, offset, data, len, held_.get(), read, take) != 0)
        return -1;
    return run < 0 ? 0 : put(run, data + (run - offset), offset + len - run);
}
