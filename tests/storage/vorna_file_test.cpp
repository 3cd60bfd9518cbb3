// SPDX-License-Identifier: Apache-2.0
#include "tests/support/capture.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/storage/device_writer.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using test_support::file_size_limit;
using test_support::random_bytes;
using test_support::read_file;
using test_support::temp_dir;
using test_support::write_file;

constexpr off_t k_gib = off_t{1} << 30;

using test_support::printed;

/// A file of `size` bytes that is one hole, with nothing allocated.
void make_sparse(const std::string& path, off_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
}

std::vector<std::uint8_t> pread_bytes(const std::string& path, off_t offset, std::size_t n)
{
    std::vector<std::uint8_t> out(n);
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::pread(fd, out.data(), n, offset), static_cast<ssize_t>(n));
    ::close(fd);
    return out;
}

/// One NOR device_writer for one write, as an upgrade entry of one window uses it:
/// open, write, finish. 0 with *done (optional) = len; -1 after printing.
int file_compare_write(const char* path, off_t offset, const std::uint8_t* data, off_t len, off_t block_size,
                       off_t* done)
{
    // The writer's own checks, in the order an entry meets them.
    if (path == nullptr || path[0] == '\0' || data == nullptr || len <= 0) {
        device_writer invalid;
        return invalid.open(nullptr, writer_policy::nor_compare(block_size));
    }
    device_writer writer;
    if (writer.open(path, writer_policy::nor_compare(block_size)) != 0 || writer.write(offset, data, len) != 0 ||
        writer.finish() != 0)
        return -1;
    if (done != nullptr)
        *done = len;
    return 0;
}

TEST(FileSize, MissingEmptyAndSized)
{
    temp_dir dir;
    EXPECT_EQ(file_get_size(dir.file("missing").c_str()), -1);
    EXPECT_EQ(file_get_size(""), -1);
    EXPECT_EQ(file_get_size(nullptr), -1);
    write_file(dir.file("empty"), {});
    EXPECT_EQ(file_get_size(dir.file("empty").c_str()), 0);
    write_file(dir.file("f"), random_bytes(1234, 1));
    EXPECT_EQ(file_get_size(dir.file("f").c_str()), 1234);
}

TEST(FileReadAt, OffsetsInsideAtAndPastTheEnd)
{
    temp_dir dir;
    const auto data = random_bytes(100, 4);
    write_file(dir.file("f"), data);
    const std::string f = dir.file("f");
    std::uint8_t buf[32];
    off_t got = -1;

    ASSERT_EQ(file_read_at(f.c_str(), 10, buf, 32, &got), 0);
    EXPECT_EQ(got, 32);
    EXPECT_EQ(std::memcmp(buf, data.data() + 10, 32), 0);

    ASSERT_EQ(file_read_at(f.c_str(), 90, buf, 32, &got), 0);
    EXPECT_EQ(got, 10) << "a read that meets the end delivers what is there";
    EXPECT_EQ(std::memcmp(buf, data.data() + 90, 10), 0);

    ASSERT_EQ(file_read_at(f.c_str(), 100, buf, 32, &got), 0);
    EXPECT_EQ(got, 0);
    ASSERT_EQ(file_read_at(f.c_str(), 5000, buf, 32, &got), 0);
    EXPECT_EQ(got, 0);

    EXPECT_EQ(file_read_at(f.c_str(), -1, buf, 32, &got), -1) << "never read at another position";
    EXPECT_EQ(file_read_at(f.c_str(), 0, buf, 0, &got), -1);
    EXPECT_EQ(file_read_at(dir.file("missing").c_str(), 0, buf, 32, &got), -1);
}

// A write that stops part-way is a failure, never a success with a smaller count.
TEST(ShortWrites, FailAndLeaveWhatWasWritten)
{
    temp_dir dir;
    const std::string f = dir.file("f");
    off_t done = -1;
    int rc = 0;

    // The block that is cut short names its size and what the write returned;
    // the block before it stays written, the bytes beyond the limit untouched.
    auto image = random_bytes(4096, 18);
    write_file(f, image);
    const auto blocks = random_bytes(4096, 19);
    const std::string out = printed([&] {
        file_size_limit limit(1500);
        rc = file_compare_write(f.c_str(), 0, blocks.data(), 4096, 1024, &done);
    });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "[ERROR]vorna_file:299 | ERROR write(1024) return 476.\n");
    std::copy(blocks.begin(), blocks.begin() + 1500, image.begin());
    EXPECT_EQ(read_file(f), image);
}

// Offsets beyond 2 GiB - 1 land where asked and sizes are not cut to 32 bits.
TEST(FileLargeOffsets, SparseFileReachedBeyondTwoGiB)
{
    temp_dir dir;
    const std::string f = dir.file("big");
    const off_t size = 5 * k_gib;
    make_sparse(f, size);
    EXPECT_EQ(file_get_size(f.c_str()), size);

    const off_t at = 4 * k_gib + 12345;
    const auto data = random_bytes(4096, 10);
    ASSERT_EQ(file_compare_write(f.c_str(), at, data.data(), 4096, 4096, nullptr), 0);
    EXPECT_EQ(pread_bytes(f, at, 4096), data);
    EXPECT_EQ(pread_bytes(f, at - k_gib * 4, 16), std::vector<std::uint8_t>(16, 0))
        << "the low 32 bits of the offset stay untouched";

    std::vector<std::uint8_t> back(4096);
    off_t got = 0;
    ASSERT_EQ(file_read_at(f.c_str(), at, back.data(), 4096, &got), 0);
    EXPECT_EQ(got, 4096);
    EXPECT_EQ(back, data);

    const auto block = random_bytes(100000, 11);
    const off_t cw_at = 2 * k_gib - 50000; // straddles 2 GiB
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_compare_write(f.c_str(), cw_at, block.data(), 100000, 65536, &got), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, 100000);
    EXPECT_EQ(pread_bytes(f, cw_at, 100000), block);
}

TEST(FileCompareWrite, ArgumentAndRangeChecks)
{
    temp_dir dir;
    const std::string f = dir.file("dev");
    const auto image = random_bytes(1000, 12);
    write_file(f, image);
    const auto data = random_bytes(100, 13);
    off_t done = 0;
    struct {
        const char* path;
        const std::uint8_t* data;
        off_t offset;
        off_t len;
        off_t block;
        std::string out;
    } cases[] = {
        {nullptr, data.data(), 0, 100, 64, "[ERROR]vorna_file:233 | Invalid param\n"},
        {"", data.data(), 0, 100, 64, "[ERROR]vorna_file:233 | Invalid param\n"},
        {f.c_str(), nullptr, 0, 100, 64, "[ERROR]vorna_file:233 | Invalid param\n"},
        {f.c_str(), data.data(), 0, 0, 64, "[ERROR]vorna_file:233 | Invalid param\n"},
        {f.c_str(), data.data(), 0, -5, 64, "[ERROR]vorna_file:233 | Invalid param\n"},
        {f.c_str(), data.data(), 0, 100, 0, "[ERROR]vorna_file:268 | Invalid block size(0).\n"},
        {f.c_str(), data.data(), 0, 100, -64, "[ERROR]vorna_file:268 | Invalid block size(-64).\n"},
        {"/nonexistent/dev", data.data(), 0, 100, 64, "[ERROR]vorna_file:239 | Failed to get file size\n"},
        {f.c_str(), data.data(), 1000, 1, 64, "[ERROR]vorna_file:244 | Invlaid offset(1000).\n"},
        {f.c_str(), data.data(), -1, 1, 64, "[ERROR]vorna_file:244 | Invlaid offset(-1).\n"},
        {f.c_str(), data.data(), 901, 100, 64, "[ERROR]vorna_file:249 | write overflow offset=901 buf_size=100 file=1000\n"},
        // A length near the top of the range must not wrap around the check.
        {f.c_str(), data.data(), 999, INT64_MAX, 64,
         "[ERROR]vorna_file:249 | write overflow offset=999 buf_size=9223372036854775807 file=1000\n"},
    };
    for (const auto& c : cases) {
        const std::string out = printed([&] {
            EXPECT_EQ(file_compare_write(c.path, c.offset, c.data, c.len, c.block, &done), -1) << c.out;
        });
        EXPECT_EQ(out, c.out);
    }
    EXPECT_EQ(read_file(f), image) << "no failed call wrote anything";

    // A region that ends exactly at the end of the target fits.
    EXPECT_EQ(printed([&] { EXPECT_EQ(file_compare_write(f.c_str(), 900, data.data(), 100, 64, &done), 0); }), "");
    EXPECT_EQ(done, 100);
    auto expected = image;
    std::copy(data.begin(), data.end(), expected.begin() + 900);
    EXPECT_EQ(read_file(f), expected);
}

TEST(FileCompareWrite, PartialLastBlockLeavesTheRestUntouched)
{
    temp_dir dir;
    const std::string f = dir.file("dev");
    auto image = random_bytes(10000, 14);
    write_file(f, image);
    const auto data = random_bytes(2500, 15); // 2 whole blocks of 1024 and 452 bytes
    off_t done = 0;
    ASSERT_EQ(printed([&] { EXPECT_EQ(file_compare_write(f.c_str(), 3000, data.data(), 2500, 1024, &done), 0); }),
              "");
    EXPECT_EQ(done, 2500);
    std::copy(data.begin(), data.end(), image.begin() + 3000);
    EXPECT_EQ(read_file(f), image);
}

// Blocks that already hold the data are not written: on a file that is all
// hole, every rewritten block gets storage allocated, so st_blocks tells how
// much was written.
TEST(FileCompareWrite, RewritesOnlyTheBlocksThatDiffer)
{
    temp_dir dir;
    const std::string f = dir.file("dev");
    constexpr off_t k_len = 4 << 20;
    constexpr off_t k_block = 65536;
    make_sparse(f, k_len);

    std::vector<std::uint8_t> data(k_len, 0);
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old_times, 0), 0);
    off_t done = 0;
    ASSERT_EQ(printed([&] { EXPECT_EQ(file_compare_write(f.c_str(), 0, data.data(), k_len, k_block, &done), 0); }),
              "");
    EXPECT_EQ(done, k_len);
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << "identical data writes nothing";
    EXPECT_EQ(st.st_blocks, 0);

    // One byte differs in the sixth block: that block alone is written.
    data[5 * k_block + 777] = 0x5A;
    ASSERT_EQ(printed([&] { EXPECT_EQ(file_compare_write(f.c_str(), 0, data.data(), k_len, k_block, &done), 0); }),
              "");
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_GT(st.st_blocks, 0);
    EXPECT_LE(st.st_blocks * 512, 2 * k_block) << "only the block holding the changed byte was rewritten";
    EXPECT_EQ(read_file(f), data);
}

// The NOR writer of an upgrade entry: one descriptor for all its windows, so a
// window cannot land in another file that took the path meanwhile, and a
// refused window leaves the writer usable.
TEST(CompareWriter, OneDescriptorForEveryWindow)
{
    temp_dir dir;
    const std::string f = dir.file("dev");
    const std::string kept = dir.file("kept");
    write_file(f, random_bytes(10000, 20));
    ASSERT_EQ(::link(f.c_str(), kept.c_str()), 0);
    const auto data = random_bytes(10000, 21);

    device_writer writer;
    ASSERT_EQ(printed([&] { EXPECT_EQ(writer.open(f.c_str(), writer_policy::nor_compare(1024)), 0); }), "");
    ASSERT_EQ(printed([&] { EXPECT_EQ(writer.write(0, data.data(), 4000), 0); }), "");
    ASSERT_EQ(::unlink(f.c_str()), 0);
    write_file(f, std::vector<std::uint8_t>(10000, 0)); // another file at the path
    EXPECT_EQ(printed([&] { EXPECT_EQ(writer.write(9000, data.data() + 9000, 2000), -1); }),
              "[ERROR]vorna_file:249 | write overflow offset=9000 buf_size=2000 file=10000\n");
    ASSERT_EQ(printed([&] { EXPECT_EQ(writer.write(4000, data.data() + 4000, 6000), 0); }), "");
    EXPECT_EQ(printed([&] { EXPECT_EQ(writer.finish(), 0); }), "");
    EXPECT_EQ(read_file(kept), data);
    EXPECT_EQ(read_file(f), std::vector<std::uint8_t>(10000, 0));
}

} // namespace
