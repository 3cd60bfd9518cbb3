// SPDX-License-Identifier: Apache-2.0
// vorna -r and vorna -w, run as the real program on device files in a temporary folder.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

using bytes = std::vector<std::uint8_t>;
using test_support::file_size_limit;
using test_support::random_bytes;
using test_support::read_file;
using test_support::run_cli;
using test_support::write_file;

constexpr std::size_t k_nor_size = 0x40000;
constexpr std::size_t k_emmc_size = 0x40000;

bytes header_bytes(std::uint32_t first, std::uint32_t magic, std::uint32_t len, std::uint32_t last)
{
    bytes out;
    for (std::uint32_t w : {first, magic, len, last})
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(w >> shift));
    return out;
}

bytes slice(const bytes& b, std::size_t at, std::size_t n)
{
    return bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

void put(const std::string& path, std::uint64_t at, const bytes& data)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at)), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

std::string format_hex(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}

mode_t test_support_umask()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::string err(int line, const std::string& text)
{
    return test_support::error_line("vorna_ptn", line, text);
}

/// A NOR device file holding the table at 0x10000, and an eMMC device file, both
/// full of random bytes elsewhere.
class CliPtnReadWrite : public testing::Test {
protected:
    CliPtnReadWrite()
    {
        std::string table = R"({
  "partition-layout-nor": {
    "disk-size": "0x40000", "device": ")" + nor_ + R"(",
    "partitions": [
      {"name": "boot", "base": "0x0", "size": "0x10000", "write_to_flash": true, "write_to_up": true, "encap_type": "raw"},
      {"name": "ptn-table", "base": "0x10000", "size": "0x8000", "write_to_flash": false, "write_to_up": false, "encap_type": "raw"},
      {"name": "device-info", "base": "0x18000", "size": "0x1000", "write_to_flash": false, "write_to_up": false, "encap_type": "header"},
      {"name": "config", "base": "0x19000", "size": "0x1000", "write_to_flash": true, "write_to_up": false, "encap_type": "json-header-v1"},
      {"name": "Data-H", "base": "0x1A000", "size": "0x400", "write_to_flash": true, "write_to_up": false, "encap_type": "Header"},
      {"name": "shared", "base": "0x1B000", "size": "0x1000", "write_to_flash": true, "write_to_up": false, "encap_type": "raw"},
      {"name": "kernel", "base": "0x20000", "size": "0x10000", "write_to_flash": true, "write_to_up": true, "encap_type": "raw"},
      {"name": "tiny", "base": "0x30000", "size": "0x8", "write_to_flash": true, "write_to_up": true, "encap_type": "header"},
      {"name": "tail", "base": "0x3F000", "size": "0x1000", "write_to_flash": true, "write_to_up": true, "encap_type": "raw"}
    ]
  },
  "partition-layout-emmc": {
    "disk-size": "0x100000", "device": ")" + emmc_ + R"(",
    "partitions": [
      {"name": "shared", "base": "0x0", "size": "0x1000", "write_to_flash": true, "write_to_up": true, "encap_type": "raw"},
      {"name": "rootfs", "base": "0x1000", "size": "0x10000", "write_to_flash": true, "write_to_up": true, "encap_type": "header"},
      {"name": "userdata", "base": "0x11000", "size": "0x1000", "write_to_flash": true, "write_to_up": true, "encap_type": "raw"}
    ]
  }
})";
        bytes nor = random_bytes(k_nor_size, 1);
        std::fill(nor.begin() + 0x10000, nor.begin() + 0x18000, std::uint8_t{0xFF});
        std::copy(table.begin(), table.end(), nor.begin() + 0x10000);
        write_file(nor_, nor);
        write_file(emmc_, random_bytes(k_emmc_size, 2));
    }

    test_support::cli_result read(const std::string& name, const std::string& out)
    {
        return run_cli({VORNA_BIN, "-r", "-d", nor_, "-b", "0x10000", "-n", name, "-o", out});
    }

    test_support::cli_result write(const std::string& name, const std::string& in)
    {
        return run_cli({VORNA_BIN, "-w", "-d", nor_, "-b", "0x10000", "-n", name, "-i", in});
    }

    std::string input(const bytes& content)
    {
        std::string path = dir_.file("in-" + std::to_string(inputs_++) + ".bin");
        write_file(path, content);
        return path;
    }

    test_support::temp_dir dir_;
    std::string nor_ = dir_.file("nor.bin");
    std::string emmc_ = dir_.file("emmc.bin");
    std::string out_ = dir_.file("out.bin");
    int inputs_ = 0;
};

TEST_F(CliPtnReadWrite, RawReadCopiesTheWholePartition)
{
    auto r = read("kernel", out_);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    bytes got = read_file(out_);
    EXPECT_EQ(got.size(), 65536u);
    EXPECT_EQ(got, slice(read_file(nor_), 0x20000, 0x10000));
}

TEST_F(CliPtnReadWrite, RawReadPastTheEndOfTheDeviceGivesZeros)
{
    bytes nor = read_file(nor_);
    nor.resize(0x3F800);
    write_file(nor_, nor);
    auto r = read("tail", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    bytes expected = slice(nor, 0x3F000, 0x800);
    expected.resize(0x1000, 0);
    EXPECT_EQ(read_file(out_), expected);
}

TEST_F(CliPtnReadWrite, HeaderReadGivesExactlyTheAnnouncedContent)
{
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 300, 9));
    auto r = read("config", out_);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(out_), slice(read_file(nor_), 0x19010, 300));
}

TEST_F(CliPtnReadWrite, OnlyTheLowerCaseWordMeansAHeader)
{
    // "Header" with a capital is a raw partition: its first bytes are copied too.
    put(nor_, 0x1A000, header_bytes(7, 0xAA55D98F, 30, 9));
    auto r = read("Data-H", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), slice(read_file(nor_), 0x1A000, 0x400));
}

TEST_F(CliPtnReadWrite, HeaderReadOfNoContentFailsToWrite)
{
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 0, 9));
    auto r = read("config", out_);
    EXPECT_EQ(r.out, err(576, "write file " + out_ + " failed.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(std::filesystem::exists(out_));
}

TEST_F(CliPtnReadWrite, ErasedFlashIsNotAValidPartition)
{
    put(nor_, 0x19000, bytes(0x1000, 0xFF));
    auto r = read("config", out_);
    EXPECT_EQ(r.out, "[ERROR]vorna_ptn_header:94 | Magic unmatch.magic [0xFFFFFFFF -- 0xAA55D98F]\n" +
                         err(570, "partition [0x00019000] is not a valid partition.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(std::filesystem::exists(out_));
}

TEST_F(CliPtnReadWrite, AHeaderPartitionTooSmallForItsHeaderIsNotValid)
{
    auto r = read("tiny", out_);
    EXPECT_EQ(r.out, err(570, "partition [0x00030000] is not a valid partition.\n"));
    EXPECT_EQ(r.status, 255);
    r = write("tiny", input({1}));
    EXPECT_EQ(r.out, err(642, "file size [1] should no bigger then 0.\n"));
    EXPECT_EQ(r.status, 255);
}

TEST_F(CliPtnReadWrite, ContentLongerThanThePartitionIsRefused)
{
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 0x1000 - 16 + 1, 9));
    auto r = read("config", out_);
    EXPECT_EQ(r.out, err(572, "partition [0x00019000] content length 4081 exceeds 4080.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(std::filesystem::exists(out_));

    // All of the room is fine.
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 0x1000 - 16, 9));
    r = read("config", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), slice(read_file(nor_), 0x19010, 0x1000 - 16));
}

TEST_F(CliPtnReadWrite, UnknownNamesAndBrokenTablesAreReported)
{
    auto r = read("Kernel", out_);
    EXPECT_EQ(r.out, err(545, "PTN[Kernel] not found.\n"));
    EXPECT_EQ(r.status, 255);
    r = write("kernel0", input({1, 2, 3}));
    EXPECT_EQ(r.out, err(629, "PTN[kernel0] not found.\n"));
    EXPECT_EQ(r.status, 255);

    std::string missing = dir_.file("no-such-device");
    r = run_cli({VORNA_BIN, "-r", "-d", missing, "-b", "0x10000", "-n", "kernel", "-o", out_});
    EXPECT_EQ(r.out, err(415, "failed to read ptn_table content.\n") + err(534, "Failed to build ptn_table of flash\n"));
    EXPECT_EQ(r.status, 255);
    r = run_cli({VORNA_BIN, "-w", "-d", missing, "-b", "0x10000", "-n", "kernel", "-i", input({1})});
    EXPECT_EQ(r.out, err(415, "failed to read ptn_table content.\n") + err(618, "Failed to build ptn_table of flash\n"));
    EXPECT_EQ(r.status, 255);
}

TEST_F(CliPtnReadWrite, UnwritableOutputIsReported)
{
    std::string nowhere = dir_.file("no-such-folder/out.bin");
    auto r = read("kernel", nowhere);
    EXPECT_EQ(r.out, err(585, "write file " + nowhere + " failed.\n"));
    EXPECT_EQ(r.status, 255);
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 10, 9));
    r = read("config", nowhere);
    EXPECT_EQ(r.out, err(576, "write file " + nowhere + " failed.\n"));
    EXPECT_EQ(r.status, 255);
}

TEST_F(CliPtnReadWrite, WriteLimitIsTheRoomOfThePartition)
{
    const bytes before = read_file(nor_);
    // Behind a header: size - 16.
    auto r = write("config", input(random_bytes(0x1000 - 16 + 1, 3)));
    EXPECT_EQ(r.out, err(642, "file size [4081] should no bigger then 4080.\n"));
    EXPECT_EQ(r.status, 255);
    // Raw: the whole size.
    r = write("kernel", input(random_bytes(0x10000 + 1, 4)));
    EXPECT_EQ(r.out, err(642, "file size [65537] should no bigger then 65536.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(nor_), before);

    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 5, 9));
    bytes full = random_bytes(0x1000 - 16, 5);
    r = write("config", input(full));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slice(read_file(nor_), 0x19000, 0x1000), [&] {
        bytes b = header_bytes(7, 0xAA55D98F, 0x1000 - 16, 9);
        b.insert(b.end(), full.begin(), full.end());
        return b;
    }());

    bytes whole = random_bytes(0x10000, 6);
    r = write("kernel", input(whole));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(slice(read_file(nor_), 0x20000, 0x10000), whole);
}

TEST_F(CliPtnReadWrite, WriteNeedsAnInputWithBytes)
{
    auto r = write("kernel", input({}));
    EXPECT_EQ(r.out, err(658, "failed to read ptn_table content.\n"));
    EXPECT_EQ(r.status, 255);
    std::string missing = dir_.file("no-such-input");
    r = write("kernel", missing);
    EXPECT_EQ(r.out, err(636, "file [" + missing + "] not found.\n"));
    EXPECT_EQ(r.status, 255);
}

TEST_F(CliPtnReadWrite, HeaderWriteKeepsTheOtherWordsAndRoundTrips)
{
    put(nor_, 0x19000, header_bytes(0xDEADBEEF, 0xAA55D98F, 0x0FFFFFFF, 0x01020304));
    const bytes before = read_file(nor_);
    bytes content = random_bytes(1000, 7);
    auto r = write("config", input(content));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    bytes after = read_file(nor_);
    EXPECT_EQ(slice(after, 0x19000, 16), header_bytes(0xDEADBEEF, 0xAA55D98F, 1000, 0x01020304));
    EXPECT_EQ(slice(after, 0x19010, 1000), content);
    // Nothing else moved: the partition's tail and every other byte are as before.
    for (std::size_t i : {std::size_t{0}, std::size_t{0x19000 + 16 + 1000}}) {
        std::size_t end = i == 0 ? 0x19000 : after.size();
        EXPECT_EQ(slice(after, i, end - i), slice(before, i, end - i));
    }

    r = read("config", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), content);
}

TEST_F(CliPtnReadWrite, RawWriteLeavesTheRestOfThePartition)
{
    const bytes before = read_file(nor_);
    bytes content = random_bytes(100, 8);
    auto r = write("boot", input(content));
    EXPECT_EQ(r.status, 0) << r.out;
    bytes expected = before;
    std::copy(content.begin(), content.end(), expected.begin());
    EXPECT_EQ(read_file(nor_), expected);
}

TEST_F(CliPtnReadWrite, EmmcOnlyNamesUseTheEmmcDevice)
{
    const bytes nor_before = read_file(nor_);
    bytes content = random_bytes(500, 9);
    put(emmc_, 0x1000, header_bytes(1, 0xAA55D98F, 0, 2));
    auto r = write("rootfs", input(content));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(slice(read_file(emmc_), 0x1000, 16), header_bytes(1, 0xAA55D98F, 500, 2));
    EXPECT_EQ(slice(read_file(emmc_), 0x1010, 500), content);
    r = read("rootfs", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), content);

    r = read("userdata", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), slice(read_file(emmc_), 0x11000, 0x1000));
    EXPECT_EQ(read_file(nor_), nor_before);
}

TEST_F(CliPtnReadWrite, ANameInBothLayoutsResolvesToNor)
{
    const bytes emmc_before = read_file(emmc_);
    bytes content = random_bytes(0x1000, 10);
    auto r = write("shared", input(content));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(slice(read_file(nor_), 0x1B000, 0x1000), content);
    EXPECT_EQ(read_file(emmc_), emmc_before);
    r = read("shared", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out_), content);
}

TEST_F(CliPtnReadWrite, HeaderWriteWithoutACurrentHeaderWritesNothing)
{
    // The eMMC device ends 8 bytes into the partition: its header cannot be read.
    bytes emmc = read_file(emmc_);
    emmc.resize(0x1008);
    write_file(emmc_, emmc);
    auto r = write("rootfs", input(random_bytes(64, 11)));
    EXPECT_EQ(r.out, err(666, "failed to read header of ptn rootfs.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(emmc_), emmc);

    std::filesystem::remove(emmc_);
    r = write("rootfs", input(random_bytes(64, 12)));
    EXPECT_EQ(r.out, err(666, "failed to read header of ptn rootfs.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(std::filesystem::exists(emmc_));
}

TEST_F(CliPtnReadWrite, RawWriteToAMissingDeviceFails)
{
    std::filesystem::remove(emmc_);
    auto r = write("userdata", input({1, 2}));
    EXPECT_EQ(r.out, err(692, "write ptn userdata failed.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(std::filesystem::exists(emmc_));
}

TEST_F(CliPtnReadWrite, HeaderWriteRepairsAForeignMagic)
{
    // Erased flash and a magic stored little-endian: both get the right magic,
    // their first and last words stay, and the partition reads back.
    struct start {
        bytes header;
        std::uint32_t first, last;
        const char* magic_text;
    } starts[] = {
        {bytes(16, 0xFF), 0xFFFFFFFF, 0xFFFFFFFF, "0xFFFFFFFF"},
        {header_bytes(0x0A0B0C0D, 0x8FD955AA, 12, 0x10203040), 0x0A0B0C0D, 0x10203040, "0x8FD955AA"},
    };
    for (const start& s : starts) {
        SCOPED_TRACE(s.magic_text);
        put(nor_, 0x18000, s.header);
        bytes content = random_bytes(200, 13);
        auto r = write("device-info", input(content));
        EXPECT_EQ(r.out, std::string("[INFO]vorna_ptn:669 | PTN[device-info] magic [") + s.magic_text +
                             "] replaced by 0xAA55D98F.\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(slice(read_file(nor_), 0x18000, 16), header_bytes(s.first, 0xAA55D98F, 200, s.last));
        r = read("device-info", out_);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(out_), content);
    }
}

// -w first writes a header that no reader accepts, then the content: a device
// that fills up on the way leaves a partition that -r refuses, never the old
// content under a valid new header.
TEST_F(CliPtnReadWrite, HeaderWriteStoppedByAFullDevice)
{
    put(nor_, 0x19000, header_bytes(7, 0xAA55D98F, 5, 9));
    const bytes before = read_file(nor_);
    const std::string in = input(random_bytes(100, 14));

    test_support::cli_result r;
    {
        file_size_limit limit(0x19000 + 8);
        r = write("config", in);
    }
    EXPECT_EQ(r.out, err(674, "write ptn config failed.\n"));
    EXPECT_EQ(r.status, 255);
    bytes expected = before;
    const bytes header = header_bytes(7, 0, 100, 9);
    std::copy(header.begin(), header.begin() + 8, expected.begin() + 0x19000);
    EXPECT_EQ(read_file(nor_), expected);

    write_file(nor_, before);
    {
        file_size_limit limit(0x19000 + 16);
        r = write("config", in);
    }
    EXPECT_EQ(r.out, err(682, "write ptn config failed.\n"));
    EXPECT_EQ(r.status, 255);
    expected = before;
    std::copy(header.begin(), header.end(), expected.begin() + 0x19000);
    EXPECT_EQ(read_file(nor_), expected);
    EXPECT_EQ(read("config", out_).status, 255);
}

// -r replaces its output whole or leaves it as it was; a link at the output is
// replaced, not followed; devices and pipes are written in place; the device
// itself is never an output.
TEST_F(CliPtnReadWrite, OutputIsReplacedWholeOrLeftAsItWas)
{
    auto no_temp_files = [&] {
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            EXPECT_EQ(e.path().filename().string().rfind(".vorna-", 0), std::string::npos) << e.path();
    };
    test_support::write_text(out_, "previous");
    test_support::cli_result r;
    {
        file_size_limit limit(40000); // the disk fills up on the way
        r = read("kernel", out_);
    }
    EXPECT_EQ(r.out, err(585, "write file " + out_ + " failed.\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(test_support::read_text(out_), "previous");
    no_temp_files();

    const std::string target = dir_.file("target");
    test_support::write_text(target, "keep me");
    std::filesystem::remove(out_);
    ASSERT_EQ(::symlink(target.c_str(), out_.c_str()), 0);
    r = read("kernel", out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(std::filesystem::is_symlink(out_));
    EXPECT_EQ(read_file(out_), slice(read_file(nor_), 0x20000, 0x10000));
    EXPECT_EQ(test_support::read_text(target), "keep me");
    struct stat st {};
    ASSERT_EQ(::stat(out_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~test_support_umask());

    EXPECT_EQ(read("kernel", "/dev/null").status, 0);

    const bytes nor = read_file(nor_);
    r = read("kernel", nor_);
    EXPECT_EQ(r.out, err(701, "output " + nor_ + " is the device " + nor_ + ".\n"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(nor_), nor);
    no_temp_files();
}

/// A device file holding a table at 0x10000 whose one partition "big" (of
/// `encap` type) spans [0x100000, 0x100000 + size).
std::string big_board(const test_support::temp_dir& dir, std::uint64_t size, const std::string& encap,
                      const std::string& name = "big")
{
    const std::string dev = dir.file("big.bin");
    const std::string layout = R"("disk-size": "0x)" + format_hex(0x100000 + size) + R"(", "device": ")" + dev + "\"";
    const std::string table = R"({"partition-layout-nor": {)" + layout + R"(, "partitions": [{"name": ")" + name + R"(", )" +
                              R"("base": "0x100000", "size": "0x)" + format_hex(size) +
                              R"(", "write_to_flash": true, "write_to_up": true, "encap_type": ")" + encap +
                              R"("}]}, "partition-layout-emmc": {"disk-size": "0", "device": "", "partitions": []}})";
    bytes start(0x100000, 0xFF);
    std::copy(table.begin(), table.end(), start.begin() + 0x10000);
    write_file(dev, start);
    std::filesystem::resize_file(dev, 0x100000 + size);
    return dev;
}

// Killed at any write of a -w into a header partition, the partition either
// still holds what it held, or holds the new content, or is refused by -r.
TEST(CliPtnWriteKilled, NeverOldContentUnderTheNewHeader)
{
    test_support::temp_dir dir;
    const std::string dev = big_board(dir, 0x400000, "header");
    const bytes old_content = random_bytes(0x300000, 20);
    const bytes content = random_bytes(0x280000, 21); // three 1 MiB chunks
    {
        bytes partition = header_bytes(1, 0xAA55D98F, static_cast<std::uint32_t>(old_content.size()), 2);
        partition.insert(partition.end(), old_content.begin(), old_content.end());
        put(dev, 0x100000, partition);
    }
    const bytes before = read_file(dev);
    const std::string in = dir.file("in.bin");
    write_file(in, content);
    const std::string out = dir.file("out.bin");
    auto vorna = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {VORNA_BIN, "-d", dev, "-b", "0x10000", "-n", "big"});
        return run_cli(args);
    };

    int refused = 0;
    for (const char* tear : {"0", "1"}) {
        for (int at = 1; at <= 6; ++at) {
            write_file(dev, before);
            test_support::cli_result w;
            {
                test_support::scoped_preload shim(VORNA_FAULT_SHIM);
                test_support::scoped_env files("VORNA_FAULT_FILES", dev);
                test_support::scoped_env kill_at("VORNA_FAULT_KILL_AT", std::to_string(at));
                test_support::scoped_env torn("VORNA_FAULT_TEAR", tear);
                w = vorna({"-w", "-i", in});
            }
            std::filesystem::remove(out);
            test_support::cli_result r = vorna({"-r", "-o", out});
            const std::string what = std::string("tear ") + tear + " at " + std::to_string(at);
            if (r.status != 0) {
                ++refused;
                EXPECT_FALSE(std::filesystem::exists(out)) << what;
            } else if (read_file(out) != content) {
                EXPECT_EQ(read_file(dev), before) << what << ": old content under a new header";
            }
            // Five writes: a header no reader takes, three chunks, the final header.
            EXPECT_EQ(w.status, at <= 5 ? 137 : 0) << what << w.out;
        }
    }
    // Refused after writes 2 to 5 whole, and after writes 1 to 4 torn; half a
    // final header already completes the new one.
    EXPECT_EQ(refused, 8);
}

// Peak memory does not grow with the partition: a 4 GiB partition goes in and
// out with vorna's address space limited to 64 MiB, byte for byte.
TEST(CliPtnBigCopies, FourGibibytesUnderAMemoryLimit)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves far more address space than the limit";
#else
    if (test_support::emulated({VORNA_BIN}).size() > 1)
        GTEST_SKIP() << "the emulator reserves far more address space than the limit";
    test_support::temp_dir dir;
    constexpr std::uint64_t k_size = 0xFFFFF000;
    const std::string dev = big_board(dir, k_size, "raw");
    // Sparse input: zeros with marks at the start, across 2 GiB, and at the end.
    const std::string in = dir.file("in.bin");
    write_file(in, {});
    std::filesystem::resize_file(in, k_size);
    const std::uint64_t marks[] = {0, 0x7FFFF800, k_size - 0x800};
    for (std::size_t i = 0; i < std::size(marks); ++i)
        put(in, marks[i], random_bytes(0x800, 30 + static_cast<std::uint32_t>(i)));
    auto limited = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {
            "/usr/bin/prlimit", "--as=67108864", "--", VORNA_BIN, "-d", dev, "-b", "0x10000", "-n", "big"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_cli(argv);
    };
    test_support::cli_result w = limited({"-w", "-i", in});
    ASSERT_EQ(w.status, 0) << w.out << w.err;

    // Out through a FIFO, compared as it comes, so that the test holds no copy either.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    test_support::cli_result r;
    std::thread reader_run([&] { r = limited({"-r", "-o", fifo}); });
    int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> got(1 << 20);
    std::vector<std::uint8_t> want(1 << 20);
    const int in_fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint64_t total = 0;
    bool same = in_fd >= 0;
    for (;;) {
        ssize_t n = ::read(fd, got.data(), got.size());
        if (n <= 0)
            break;
        same = same && ::pread(in_fd, want.data(), static_cast<std::size_t>(n), static_cast<off_t>(total)) == n &&
               std::equal(got.begin(), got.begin() + n, want.begin());
        total += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    ::close(in_fd);
    reader_run.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(total, k_size);
    EXPECT_TRUE(same);
#endif
}

// A copy taken again, over an output that is already there (larger, with a mode
// of its own): many chunks and write-out windows, not a whole number of either.
TEST(CliPtnBigCopies, ACopyTakenAgainReplacesTheOutputWhole)
{
    test_support::temp_dir dir;
    constexpr std::size_t k_size = 0x1401000;
    const std::string dev = big_board(dir, k_size, "raw");
    put(dev, 0x100000, random_bytes(k_size, 40));
    const std::string out = dir.file("out.bin");
    write_file(out, random_bytes(30 << 20, 41));
    ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
    test_support::cli_result r = run_cli({VORNA_BIN, "-r", "-d", dev, "-b", "0x10000", "-n", "big", "-o", out});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(out), slice(read_file(dev), 0x100000, k_size));
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".vorna-", 0), std::string::npos) << e.path();
}

// Memory does not follow what the device says either: a 3 GiB "device-info"
// partition whose header announces 3 GiB of identity is refused by the check
// before anything is allocated, with the address space limited to 64 MiB.
TEST(CliPtnBigCopies, AHugeIdentityIsRefusedBeforeAnyAllocation)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves far more address space than the limit";
#else
    if (test_support::emulated({VORNA_BIN}).size() > 1)
        GTEST_SKIP() << "the emulator reserves far more address space than the limit";
    test_support::temp_dir dir;
    constexpr std::uint32_t k_size = 0xC0000000;
    const std::string dev = big_board(dir, k_size, "header", "device-info");
    put(dev, 0x100000, header_bytes(0, 0xAA55D98F, k_size - 16, 0));
    auto r = run_cli({"/usr/bin/prlimit", "--as=67108864", "--", VORNA_BIN, "-c", "-d", dev, "-b", "0x10000", "-f",
                      dir.file("no-image.bin")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[ERROR]vorna_ptn_device_info:212 | partition [0x00100000] content length 3221225456 exceeds "
                     "1048576.\n"
                     "[ERROR]vorna_firmware:410 | Faield to build device info of flash\n");
#endif
}

// --progress: machine-readable lines on stderr as the chunks go; stdout unchanged.
TEST(CliPtnProgress, MachineLinesForEachChunk)
{
    test_support::temp_dir dir;
    const std::string dev = big_board(dir, 0x400000, "raw");
    const std::string in = dir.file("in.bin");
    write_file(in, random_bytes(0x280000, 40));
    auto r = run_cli({VORNA_BIN, "-w", "--progress", "-d", dev, "-b", "0x10000", "-n", "big", "-i", in});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "progress big 0 2621440\nprogress big 1048576 2621440\nprogress big 2097152 2621440\n"
                     "progress big 2621440 2621440\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
