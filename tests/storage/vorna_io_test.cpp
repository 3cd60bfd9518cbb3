// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/test_support.h"

namespace {

namespace ts = test_support;

TEST(ReadWholeFile, SizesLimitsAndKindsOfFile)
{
    ts::temp_dir dir;
    const std::string file = dir.file("f");
    const auto data = ts::random_bytes(5000, 4);
    ts::write_file(file, data);

    std::vector<std::uint8_t> out{1, 2, 3};
    whole_file got = read_whole_file(file.c_str(), 5000, true, out);
    EXPECT_EQ(got.status, whole_read::ok);
    EXPECT_EQ(got.size, 5000);
    EXPECT_EQ(out, data);

    got = read_whole_file(file.c_str(), 4999, true, out);
    EXPECT_EQ(got.status, whole_read::too_large);
    EXPECT_EQ(got.size, 5000);
    EXPECT_TRUE(out.empty());

    ts::write_file(file, {});
    got = read_whole_file(file.c_str(), 0, true, out);
    EXPECT_EQ(got.status, whole_read::ok);
    EXPECT_TRUE(out.empty());

    got = read_whole_file(dir.file("missing").c_str(), 10, true, out);
    EXPECT_EQ(got.status, whole_read::failed);
    EXPECT_EQ(got.error, ENOENT);

    // A device is sized by a seek to its end, unless only regular files will do.
    EXPECT_EQ(read_whole_file("/dev/null", 10, true, out).status, whole_read::not_regular);
    got = read_whole_file("/dev/null", 10, false, out);
    EXPECT_EQ(got.status, whole_read::ok);
    EXPECT_EQ(got.size, 0);
}

TEST(PwriteFully, WritesAtTheOffsetAndLeavesThePosition)
{
    ts::temp_dir dir;
    const std::string file = dir.file("f");
    ts::write_file(file, std::vector<std::uint8_t>(100, 0xA5));
    const unique_fd fd = open_path(file.c_str(), O_RDWR);
    ASSERT_TRUE(fd);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);

    const std::uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(pwrite_fully(fd.get(), 98, data, 3), 3);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);
    EXPECT_EQ(pwrite_fully(fd.get(), -1, data, 3), -1);
    EXPECT_EQ(write_fully(fd.get(), data, 2), 2);

    auto want = std::vector<std::uint8_t>(100, 0xA5);
    want[0] = 1;
    want[1] = 2;
    want[98] = 1;
    want[99] = 2;
    want.push_back(3);
    EXPECT_EQ(ts::read_file(file), want);
}

} // namespace
