// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/device_writer.h"

#include "tests/support/capture.h"
#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using test_support::printed;
using test_support::read_file;
using test_support::temp_dir;

constexpr off_t k_block = writer_policy::k_minimize_block;

/// Bytes the file at `path` has storage for: a hole has none, so on a file
/// that began as one hole this is what was written.
off_t allocated(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<off_t>(st.st_blocks) * 512;
}

// Every policy goes through the one block-compare loop: the comparing ones
// write only the blocks that differ (a run of two, and one alone), the plain
// eMMC stream writes everything, and each lands the same bytes.
TEST(DeviceWriter, ComparingPoliciesWriteOnlyTheBlocksThatDiffer)
{
    struct {
        const char* name;
        writer_policy policy;
        off_t written;
    } cases[] = {
        {"nor compare", writer_policy::nor_compare(k_block), 3 * k_block},
        {"minimize writes", writer_policy::stream(true), 3 * k_block},
        {"stream", writer_policy::stream(false), 16 * k_block},
    };
    constexpr off_t k_at = 4 * k_block; // blocks are counted from here
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        const std::string dev = dir.file("dev");
        {
            const int fd = ::open(dev.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::ftruncate(fd, k_at + 17 * k_block), 0);
            ::close(fd);
        }
        std::vector<std::uint8_t> data(16 * k_block, 0);
        data[2 * k_block + 5] = 0xA5;
        data[10 * k_block - 1] = 0x5A;
        data[10 * k_block] = 0x01;
        device_writer writer;
        const std::string out = printed([&] {
            ASSERT_EQ(writer.open(dev.c_str(), c.policy), 0);
            // Two writes, as an entry's windows come, the second starting mid-way.
            ASSERT_EQ(writer.write(k_at, data.data(), 7 * k_block), 0);
            ASSERT_EQ(writer.write(k_at + 7 * k_block, data.data() + 7 * k_block, 9 * k_block), 0);
            ASSERT_EQ(writer.finish(), 0);
        });
        EXPECT_EQ(out, "");
        EXPECT_EQ(allocated(dev), c.written);
        std::vector<std::uint8_t> expected(k_at + 17 * k_block, 0);
        std::copy(data.begin(), data.end(), expected.begin() + k_at);
        EXPECT_EQ(read_file(dev), expected);
    }
}

// The stream policies are silent: their caller prints its own line.
TEST(DeviceWriter, StreamFailuresPrintNothing)
{
    temp_dir dir;
    const std::uint8_t byte = 1;
    for (bool minimize : {false, true}) {
        device_writer writer;
        EXPECT_EQ(printed([&] {
                      EXPECT_EQ(writer.open(dir.file("missing").c_str(), writer_policy::stream(minimize)), -1);
                      EXPECT_EQ(writer.write(0, &byte, 1), -1);
                  }),
                  "");
    }
}

} // namespace
