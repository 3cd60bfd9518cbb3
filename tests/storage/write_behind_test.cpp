// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/write_behind.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using test_support::random_bytes;
using test_support::read_file;
using test_support::temp_dir;

constexpr off_t k_piece = 256 << 10;
constexpr off_t k_window = 1 << 20;
constexpr off_t k_start = 1 << 20; // the writes start here, as -w's do at a partition's base

/// How many of the pages of [offset, offset + len) of `fd` are in the page cache.
std::size_t resident_pages(int fd, off_t offset, off_t len)
{
    void* map = ::mmap(nullptr, static_cast<std::size_t>(len), PROT_READ, MAP_SHARED, fd, offset);
    if (map == MAP_FAILED)
        return 0;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in_core((static_cast<std::size_t>(len) + page - 1) / page);
    std::size_t count = 0;
    if (::mincore(map, static_cast<std::size_t>(len), in_core.data()) == 0)
        for (unsigned char c : in_core)
            count += c & 1;
    ::munmap(map, static_cast<std::size_t>(len));
    return count;
}

/// Writes `data` at k_start in pieces of k_piece (the last one shorter), each
/// handed to a write_behind; false when one wrote() fails.
bool write_in_pieces(int fd, write_behind& behind, const std::vector<std::uint8_t>& data)
{
    for (off_t done = 0; done < static_cast<off_t>(data.size());) {
        const off_t n = std::min<off_t>(k_piece, static_cast<off_t>(data.size()) - done);
        if (::pwrite(fd, data.data() + done, static_cast<std::size_t>(n), k_start + done) != n ||
            behind.wrote(k_start + done, n) != 0)
            return false;
        done += n;
    }
    return true;
}

// The bytes are what was written, whether or not the pages leave the cache; a
// copy that drops them keeps no more than its window cached, one that does not
// keeps them all (a device's pages, which were cached before the copy).
TEST(WriteBehind, WritesOutAsItGoesAndDropsOnlyWhenAsked)
{
    temp_dir dir;
    struct statfs fs {};
    ASSERT_EQ(::statfs(dir.path().c_str(), &fs), 0);
    const bool in_memory = fs.f_type == TMPFS_MAGIC; // nothing to write out, nothing to drop
    const std::vector<std::uint8_t> data = random_bytes(static_cast<std::size_t>(5 * k_window + 12345), 7);
    const off_t len = static_cast<off_t>(data.size());
    for (bool drop : {true, false}) {
        SCOPED_TRACE(drop ? "dropped" : "kept");
        const std::string path = dir.file(drop ? "dropped.bin" : "kept.bin");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        write_behind behind(fd, drop, k_window);
        EXPECT_TRUE(write_in_pieces(fd, behind, data));
        EXPECT_EQ(::fsync(fd), 0);
        if (!in_memory) {
            // The range before the last window was waited for and, when asked, dropped
            // (looked at before the bytes are read back, which caches them again).
            const off_t early = len - k_window - k_piece;
            const std::size_t cached = resident_pages(fd, k_start, early & ~off_t{0xFFFF});
            if (drop)
                EXPECT_EQ(cached, 0u);
            else
                EXPECT_GT(cached, 0u);
        }
        const std::vector<std::uint8_t> got = read_file(path);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(k_start + len));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + k_start));
        ::close(fd);
    }
}

} // namespace
