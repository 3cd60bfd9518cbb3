// SPDX-License-Identifier: Apache-2.0
// vorna -u --minimize-writes: an eMMC entry is compared with what the device
// holds and only the blocks that differ are written. A preloaded library logs
// every write that reaches the eMMC device file, which is how the test sees them.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <sstream>

namespace {

using namespace firmware_cli;
using test_support::random_bytes;
using test_support::scoped_env;
using test_support::scoped_preload;
using test_support::temp_dir;

constexpr std::uint32_t k_block = 0x10000;
constexpr std::uint32_t k_blocks = 200;
constexpr std::uint32_t k_rootfs_base = 0x100000;

struct logged_write {
    std::int64_t offset;
    std::int64_t count;
    bool operator==(const logged_write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const logged_write& w)
{
    return os << "{0x" << std::hex << w.offset << " +0x" << w.count << std::dec << "}";
}

TEST(MinimizeWrites, OnlyTheEmmcBlocksThatDifferAreWrittenAndTheDeviceEndsEqualToTheImage)
{
    // 200 blocks, the last one short; the device already holds all of it but
    // one byte of block 17 and the last two bytes of the short last block: 1 %.
    image_part rootfs{"rootfs", k_rootfs_base, k_blocks * k_block, "\"emmc\"",
                      random_bytes(k_blocks * k_block - 0x123, 71)};
    bytes held = rootfs.contents;
    held[17 * k_block + 4321] ^= 0x40;
    held[held.size() - 2] ^= 0x01;
    held[held.size() - 1] ^= 0x80;
    board b(board_plan{.emmc = {{"rootfs", k_rootfs_base, k_blocks * k_block}},
                       .emmc_size = k_rootfs_base + k_blocks * k_block + k_block,
                       .contents = {{"rootfs", held}}});
    temp_dir work;
    image_plan plan;
    plan.parts = {rootfs};
    const std::string image = pack(work, plan);
    const bytes emmc_before = whole(b.emmc);
    const std::string log = work.file("writes.log");

    auto upgrade = [&](bool minimize) {
        std::filesystem::remove(log);
        scoped_preload preload(VORNA_FAULT_SHIM);
        scoped_env files("VORNA_FAULT_FILES", b.emmc);
        scoped_env logged("VORNA_FAULT_LOG", log);
        std::vector<std::string> argv = {VORNA_BIN, "-u", "-b", "0x10000", "-d", b.table, "-f", image};
        if (minimize)
            argv.insert(argv.begin() + 1, "--minimize-writes");
        auto r = run_locked(argv);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, k_upgradable, update_line(rootfs)}));
        std::vector<logged_write> writes;
        std::error_code ec;
        if (!std::filesystem::exists(log, ec))
            return writes; // no write reached the device
        std::istringstream in(test_support::read_text(log));
        int index = 0;
        logged_write w{};
        while (in >> index >> w.offset >> w.count)
            writes.push_back(w);
        return writes;
    };
    auto expect_image_on_device = [&] {
        bytes want = emmc_before;
        std::copy(rootfs.contents.begin(), rootfs.contents.end(), want.begin() + k_rootfs_base);
        EXPECT_TRUE(whole(b.emmc) == want) << "the device differs from the image";
    };

    const std::vector<logged_write> writes = upgrade(true);
    const std::int64_t last = std::int64_t{k_blocks - 1} * k_block;
    EXPECT_EQ(writes, (std::vector<logged_write>{{k_rootfs_base + 17 * k_block, k_block},
                                                 {k_rootfs_base + last, std::int64_t(rootfs.contents.size()) - last}}));
    const std::int64_t written = std::accumulate(writes.begin(), writes.end(), std::int64_t{0},
                                                 [](std::int64_t sum, const logged_write& w) { return sum + w.count; });
    EXPECT_LE(written * 50, std::int64_t(rootfs.contents.size())) << "more than 2 % of the entry written";
    expect_image_on_device();

    // Again: nothing differs, nothing is written.
    EXPECT_EQ(upgrade(true), std::vector<logged_write>{});
    expect_image_on_device();

    // Without the option the whole entry is written, as always.
    const std::vector<logged_write> plain = upgrade(false);
    const std::int64_t plain_bytes =
        std::accumulate(plain.begin(), plain.end(), std::int64_t{0},
                        [](std::int64_t sum, const logged_write& w) { return sum + w.count; });
    EXPECT_EQ(plain_bytes, std::int64_t(rootfs.contents.size()));
    expect_image_on_device();
}

} // namespace
