// SPDX-License-Identifier: Apache-2.0
// NOR flash behind an MTD character device, played by a regular file under a
// preloaded library: an erase sets a block to ones and programming can only
// clear bits. Written with plain writes, such flash ends holding the AND of old
// and new bytes; vorna must erase each differing erase block before it
// programs it, leave the matching ones alone, and name a failed erase or a
// block that reads back wrong.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace firmware_cli;
using test_support::random_bytes;
using test_support::scoped_env;
using test_support::scoped_preload;
using test_support::temp_dir;

constexpr std::uint32_t k_erase = 0x10000;

/// The erases that the library logged in `log`, as "START LENGTH" in hexadecimal.
std::vector<std::string> logged_erases(const std::string& log)
{
    std::vector<std::string> out;
    std::error_code ec;
    if (!std::filesystem::exists(log, ec))
        return out;
    std::istringstream in(test_support::read_text(log));
    std::string word, start, length;
    while (in >> word >> start >> length)
        out.push_back(start + " " + length);
    return out;
}

class MtdNor : public testing::Test {
protected:
    // The boot loader's old contents: four erase blocks of random bytes.
    const bytes old_boot = random_bytes(0x40000, 21);
    board b{board_plan{.nor = {{"bootloader", 0x0, 0x40000}, {"radio", 0x50000, 0x40000}},
                       .emmc = {{"kernel", 0x100000, 0x100000}},
                       .contents = {{"bootloader", old_boot}}}};
    temp_dir work;
    std::string log = work.file("erases.log");

    /// Runs vorna with the NOR file made an MTD device.
    test_support::cli_result run(const std::vector<std::string>& args, const std::string& fail_erase = "",
                                 const std::string& weak = "")
    {
        scoped_preload preload(VORNA_MTD_NOR_LIB);
        scoped_env files("VORNA_MTD_FILES", b.nor);
        scoped_env log_env("VORNA_MTD_LOG", log);
        scoped_env fail("VORNA_MTD_FAIL_ERASE", fail_erase);
        scoped_env weak_env("VORNA_MTD_WEAK", weak);
        std::filesystem::remove(log);
        if (args[0] == "-u")
            return run_locked({VORNA_BIN, "-u", "-b", "0x10000", "-d", b.table, "-f", args[1]});
        return vorna(args);
    }

    /// The erases of the last run, as "START LENGTH" in hexadecimal.
    std::vector<std::string> erases() const { return logged_erases(log); }
};

TEST_F(MtdNor, AnUpgradeErasesOnlyTheBlocksThatDifferAndLeavesTheImageOnTheFlash)
{
    // New contents: blocks 0 and 2 as they are, block 1 changed, block 3 half
    // the old bytes and half new ones (the tail of the partition stays as it was).
    bytes boot = old_boot;
    boot.resize(0x38000);
    const bytes fresh = random_bytes(0x20000, 22);
    std::copy(fresh.begin(), fresh.begin() + k_erase, boot.begin() + k_erase);
    std::copy(fresh.begin() + k_erase, fresh.begin() + k_erase + 0x8000, boot.begin() + 3 * k_erase);
    const image_part part{"bootloader", 0x0, 0x40000, "\"nor\"", boot};
    image_plan plan;
    plan.parts = {part};
    const std::string image = pack(work, plan);

    auto r = run({"-u", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, k_upgradable, update_line(part)}));
    EXPECT_EQ(slice(b.nor, 0, boot.size()), boot);
    EXPECT_EQ(slice(b.nor, boot.size(), 0x8000), bytes(old_boot.begin() + 0x38000, old_boot.end()));
    EXPECT_EQ(erases(), (std::vector<std::string>{"0x10000 0x10000", "0x30000 0x10000"}));

    // A second run finds every erase block in place and erases nothing.
    r = run({"-u", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(erases().empty());
    EXPECT_EQ(slice(b.nor, 0, boot.size()), boot);
}

TEST_F(MtdNor, WriteAndReadOfAPartitionGoThroughErasedBlocks)
{
    // A raw write shorter than the partition, starting on old bytes, over two
    // erase blocks; the rest of the partition keeps its bytes.
    const bytes in = random_bytes(0x14000, 23);
    test_support::write_file(work.file("in.bin"), in);
    auto r = run({"-w", "-b", "0x10000", "-d", b.table, "-n", "radio", "-i", work.file("in.bin")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(erases(), (std::vector<std::string>{"0x50000 0x10000", "0x60000 0x10000"}));
    EXPECT_EQ(slice(b.nor, 0x50000, in.size()), in);
    EXPECT_EQ(slice(b.nor, 0x64000, 0xC000), bytes(0xC000, 0xFF));

    r = run({"-r", "-b", "0x10000", "-d", b.table, "-n", "radio", "-o", work.file("out.bin")});
    EXPECT_EQ(r.status, 0) << r.out;
    bytes expected = in;
    expected.resize(0x40000, 0xFF);
    EXPECT_EQ(test_support::read_file(work.file("out.bin")), expected);
    EXPECT_TRUE(erases().empty());
}

TEST_F(MtdNor, AFailedEraseAndABlockThatReadsBackWrongFailTheEntry)
{
    bytes boot = random_bytes(0x20000, 24);
    const image_part part{"bootloader", 0x0, 0x40000, "\"nor\"", boot};
    image_plan plan;
    plan.parts = {part};
    const std::string image = pack(work, plan);

    auto r = run({"-u", image}, "2");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, k_upgradable, update_line(part),
                                                       "[ERROR]vorna_file:326 | ERROR erase MTD block 0x10000 "
                                                       "failed: Input/output error.",
                                                       k_upgrade_failed}));
    EXPECT_EQ(slice(b.nor, 0, k_erase), bytes(boot.begin(), boot.begin() + k_erase));

    // A worn cell stays erased whatever is programmed: the block reads back different.
    const std::string cell = "0x18123";
    boot[0x18123] = 0x00;
    image_part worn = part;
    worn.contents = boot;
    plan.parts = {worn};
    const std::string image2 = pack(work, plan, "worn.bin");
    r = run({"-u", image2}, "", cell);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, k_upgradable, update_line(worn),
                                                       "[ERROR]vorna_file:330 | ERROR MTD block 0x10000 reads "
                                                       "back different.",
                                                       k_upgrade_failed}));
}

// 128 KiB erase blocks, one of them shared by "device-info" (the device's
// identity, which every upgrade reads first) and the partition being written.
// When programming that block fails after its erase, vorna puts the block's old
// bytes back, so that the identity survives and the same upgrade can be run
// again; when even that fails, the line names the partitions that may have lost
// bytes.
TEST(MtdNorSharedBlock, AFailedProgramGivesTheBlockItsOldBytesBack)
{
    struct fault_case {
        const char* what;
        std::uint32_t device_info_base;
        board_ptn written;
        std::uint32_t contents_size;
        const char* torn;   ///< the failed program first programs its first half
        const char* stuck;  ///< every program after it fails too
        std::size_t erases; ///< of the shared block, the only one erased
        const char* lost;   ///< the partitions the last line names; null when the block came back
    };
    // The failed program writes nothing (put back without another erase), or
    // first its half of new bytes (erased again first), or every later program
    // fails too (nothing can be put back).
    const fault_case cases[] = {
        {"nothing programmed", 0x20000, {"kernel", 0x30000, 0x20000}, 0x18000, "", "", 1, nullptr},
        {"half programmed", 0x30000, {"kernel", 0x20000, 0x10000}, 0x10000, "1", "", 2, nullptr},
        {"stuck", 0x20000, {"kernel", 0x30000, 0x20000}, 0x18000, "", "1", 1, "device-info, kernel"},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.what);
        board b{board_plan{.nor = {c.written},
                           .device_info_base = c.device_info_base,
                           .contents = {{c.written.name, random_bytes(c.written.size, 31)}}}};
        temp_dir work;
        const std::string log = work.file("erases.log");
        const image_part part{c.written.name, c.written.base, c.written.size, "\"nor\"",
                              random_bytes(c.contents_size, 32)};
        image_plan plan;
        plan.parts = {part};
        const std::string image = pack(work, plan);
        const bytes before = whole(b.nor);
        auto upgrade = [&](const char* fail_program, const char* torn, const char* stuck) {
            scoped_preload preload(VORNA_MTD_NOR_LIB);
            scoped_env files("VORNA_MTD_FILES", b.nor);
            scoped_env size("VORNA_MTD_ERASESIZE", "0x20000");
            scoped_env log_env("VORNA_MTD_LOG", log);
            scoped_env fail("VORNA_MTD_FAIL_PROGRAM", fail_program);
            scoped_env torn_env("VORNA_MTD_FAIL_TORN", torn);
            scoped_env stuck_env("VORNA_MTD_FAIL_STUCK", stuck);
            std::filesystem::remove(log);
            return run_mode("-u", b, image);
        };

        auto r = upgrade("1", c.torn, c.stuck);
        EXPECT_EQ(r.status, 255);
        std::vector<std::string> lines{k_pass, k_upgradable, update_line(part),
                                       "[ERROR]vorna_file:328 | ERROR program MTD block 0x20000 failed."};
        if (c.lost != nullptr)
            lines.push_back(format("[ERROR]vorna_file:332 | ERROR restore MTD block 0x20000 failed, bytes may be "
                                   "lost in: %s.",
                                   c.lost));
        lines.push_back(k_upgrade_failed);
        EXPECT_EQ(after_lock(r), lines);
        EXPECT_EQ(logged_erases(log), std::vector<std::string>(c.erases, "0x20000 0x20000"));
        if (c.lost != nullptr)
            continue;
        EXPECT_TRUE(whole(b.nor) == before) << "the NOR device does not hold its old bytes";

        // The identity is still there, so the same upgrade, run again, succeeds.
        r = upgrade("", "", "");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, k_upgradable, update_line(part)}));
        EXPECT_EQ(slice(b.nor, part.base, part.contents.size()), part.contents);
        EXPECT_EQ(slice(b.nor, c.device_info_base, 0x10000),
                  bytes(before.begin() + c.device_info_base, before.begin() + c.device_info_base + 0x10000));
    }
}

} // namespace
