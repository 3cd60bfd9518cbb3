// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_mtd.h"

#include "vorna/storage/vorna_file_lines.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_file";

// Real NOR erase blocks are 4 KiB to 256 KiB; larger ones are refused rather
// than buffered.
constexpr off_t k_max_erase_size = off_t{16} << 20;

long long ll(off_t v)
{
    return static_cast<long long>(v);
}

} // namespace

bool mtd_probe(int fd, mtd_geometry& out)
{
    const int saved_errno = errno;
    mtd_info_user info{};
    const bool answered = ::ioctl(fd, MEMGETINFO, &info) == 0;
    errno = saved_errno;
    if (!answered)
        return false;
    out.size = static_cast<off_t>(info.size);
    out.erase_size = static_cast<off_t>(info.erasesize);
    return true;
}

int mtd_compare_write(int fd, const mtd_geometry& mtd, off_t offset, const std::uint8_t* data, off_t len)
{
    const off_t es = mtd.erase_size;
    if (es <= 0 || es > k_max_erase_size) {
        log_error(k_module, k_line_mtd_erase_size, "MTD erase size %lld is not supported.\n", ll(es));
        return -1;
    }
    auto block = make_buffer(static_cast<std::size_t>(es));
    auto back = make_buffer(static_cast<std::size_t>(es));
    if (!block || !back) {
        log_error(k_module, k_line_mtd_malloc, "Failed to malloc for erase block buf\n");
        return -1;
    }
    const off_t end = offset + len;
    for (off_t start = offset / es * es; start < end; start += es) {
        // The part of this erase block that the new bytes cover.
        const off_t from = start > offset ? start : offset;
        const off_t to = start + es < end ? start + es : end;
        const auto n = static_cast<std::size_t>(to - from);
        // The block is kept whole: an erase clears it all, so the bytes around
        // the new ones must be programmed back.
        const off_t whole = start + es <= mtd.size ? es : mtd.size - start;
        if (pread_fully(fd, start, block.get(), whole) != whole) {
            log_error(k_module, k_line_mtd_read, "ERROR read MTD block 0x%llx failed.\n", ll(start));
            return -1;
        }
        std::uint8_t* in_block = block.get() + (from - start);
        const std::uint8_t* wanted = data + (from - offset);
        if (std::memcmp(in_block, wanted, n) == 0)
            continue;
        std::memcpy(in_block, wanted, n);
        erase_info_user erase{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(es)};
        if (::ioctl(fd, MEMERASE, &erase) != 0) {
            log_error(k_module, k_line_mtd_erase, "ERROR erase MTD block 0x%llx failed: %s.\n", ll(start),
                      std::strerror(errno));
            return -1;
        }
        if (pwrite_fully(fd, start, block.get(), whole) != whole) {
            log_error(k_module, k_line_mtd_program, "ERROR program MTD block 0x%llx failed.\n", ll(start));
            return -1;
        }
        if (pread_fully(fd, start, back.get(), whole) != whole ||
            std::memcmp(back.get(), block.get(), static_cast<std::size_t>(whole)) != 0) {
            log_error(k_module, k_line_mtd_verify, "ERROR MTD block 0x%llx reads back different.\n", ll(start));
            return -1;
        }
    }
    return 0;
}
