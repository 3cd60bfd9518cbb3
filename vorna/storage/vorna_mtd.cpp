// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_mtd.h"

#include "vorna/storage/vorna_file_lines.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_file";

long long ll(off_t v)
{
    return static_cast<long long>(v);
}

bool erase_block(int fd, off_t start, off_t es)
{
    erase_info_user erase{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(es)};
    return ::ioctl(fd, MEMERASE, &erase) == 0;
}

/// Programs the block's old bytes back and reads them back; true when the
/// block holds them again. Programming can only clear bits, so the block is
/// erased first unless every bit the old bytes need set still is.
bool put_back(const mtd_block& b, bool read)
{
    const auto whole = static_cast<std::size_t>(b.whole);
    bool erase = !read;
    for (std::size_t i = 0; i < whole && !erase; ++i)
        erase = (b.old[i] & ~b.back[i]) != 0;
    if (erase && !erase_block(b.fd, b.start, b.erase_size))
        return false;
    return pwrite_fully(b.fd, b.start, b.old, b.whole) == b.whole &&
           pread_fully(b.fd, b.start, b.back, b.whole) == b.whole && std::memcmp(b.back, b.old, whole) == 0;
}

/// The names of the `regions` that overlap the block, or its range when none
/// does, for the line that says what may be lost.
void lost_names(const mtd_block& b, std::span<const mtd_region> regions, std::array<char, 2048>& out)
{
    const auto start = static_cast<std::uint64_t>(b.start);
    const std::uint64_t end = start + static_cast<std::uint64_t>(b.whole);
    std::size_t used = 0;
    out[0] = '\0';
    for (const mtd_region& r : regions) {
        const bool overlaps = r.size > 0 && r.base < end && (r.base >= start || start - r.base < r.size);
        if (!overlaps || used >= out.size())
            continue;
        const int len = static_cast<int>(::strnlen(r.name.data(), r.name.size()));
        const int n =
            std::snprintf(out.data() + used, out.size() - used, "%s%.*s", used == 0 ? "" : ", ", len, r.name.data());
        used = n < 0 ? out.size() : used + static_cast<std::size_t>(n);
    }
    if (used == 0)
        std::snprintf(out.data(), out.size(), "0x%llx..0x%llx", static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(end - 1));
}

/// After an erase, program or read back of the block failed (and its line was
/// printed): when the bytes around the write are not what they were, puts the
/// old block back, and names what may be lost when that fails too. Always -1.
int give_back(const mtd_block& b, std::span<const mtd_region> regions)
{
    const auto whole = static_cast<std::size_t>(b.whole);
    const bool read = pread_fully(b.fd, b.start, b.back, b.whole) == b.whole;
    if (read && std::memcmp(b.back, b.old, b.from) == 0 && std::memcmp(b.back + b.to, b.old + b.to, whole - b.to) == 0)
        return -1; // only the bytes being replaced are off; a rerun writes them
    if (put_back(b, read))
        return -1;
    std::array<char, 2048> names{};
    lost_names(b, regions, names);
    log_error(k_module, k_line_mtd_restore, "ERROR restore MTD block 0x%llx failed, bytes may be lost in: %s.\n",
              ll(b.start), names.data());
    return -1;
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

int mtd_rewrite_block(const mtd_block& b, const std::uint8_t* bytes, std::span<const mtd_region> regions)
{
    if (!erase_block(b.fd, b.start, b.erase_size)) {
        log_error(k_module, k_line_mtd_erase, "ERROR erase MTD block 0x%llx failed: %s.\n", ll(b.start),
                  std::strerror(errno));
        return give_back(b, regions);
    }
    if (pwrite_fully(b.fd, b.start, bytes, b.whole) != b.whole) {
        log_error(k_module, k_line_mtd_program, "ERROR program MTD block 0x%llx failed.\n", ll(b.start));
        return give_back(b, regions);
    }
    if (pread_fully(b.fd, b.start, b.back, b.whole) != b.whole ||
        std::memcmp(b.back, bytes, static_cast<std::size_t>(b.whole)) != 0) {
        log_error(k_module, k_line_mtd_verify, "ERROR MTD block 0x%llx reads back different.\n", ll(b.start));
        return give_back(b, regions);
    }
    return 0;
}
