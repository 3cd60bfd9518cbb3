// SPDX-License-Identifier: Apache-2.0
// An upgrade that dies part way, at any write, is finished by running it again:
// the devices end holding the image's contents, the rerun rewrites only the NOR
// blocks that still differ, the image file is never touched, and the dead
// process's lock does not stand in the way.
//
// The process is ended from outside its code: a preloaded library counts the
// writes to the board's files and sends SIGKILL at the chosen one, optionally
// after putting half of that write on the file. The same library, told to kill
// nobody, logs every write that reached a device, which is how the tests see
// which blocks a run rewrote.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/firmware/cli_firmware_support.h"

namespace {

using firmware_cli::bytes;
using firmware_cli::mtime_ns;
using test_support::scoped_env;
using test_support::scoped_preload;
using test_support::temp_dir;

constexpr std::size_t k_nor_block = 0x10000;
constexpr const char* k_lock_file = VORNA_LOCK_PATH;
constexpr int k_killed = 128 + SIGKILL;

// Indexes of the watched files in VORNA_FAULT_FILES.
constexpr int k_nor = 0;
constexpr int k_emmc = 1;

/// One partition of the board and of the image.
struct partition {
    const char* name;
    std::uint32_t base;
    std::uint32_t size;
    int device;    ///< k_nor or k_emmc
    bytes before;  ///< what the board holds there at the start (empty: erased/zero)
    bytes contents; ///< what the image carries
};

/// One write that reached a device, as the preloaded library logs it.
struct device_write {
    int device;
    std::int64_t offset;
    std::int64_t count;
    bool operator==(const device_write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const device_write& w)
{
    return os << "{" << (w.device == k_nor ? "nor" : w.device == k_emmc ? "emmc" : "other") << " 0x" << std::hex
              << w.offset << " +0x" << w.count << std::dec << "}";
}

std::vector<device_write> parse_log(const std::string& path)
{
    std::vector<device_write> writes;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return writes;
    std::istringstream in(test_support::read_text(path));
    device_write w{};
    while (in >> w.device >> w.offset >> w.count)
        writes.push_back(w);
    return writes;
}

bytes with_blocks_of(const bytes& base, const bytes& other, std::initializer_list<std::size_t> blocks)
{
    bytes out = base;
    for (std::size_t b : blocks) {
        std::size_t from = b * k_nor_block;
        std::size_t to = std::min(from + k_nor_block, std::min(base.size(), other.size()));
        std::copy(other.begin() + static_cast<std::ptrdiff_t>(from), other.begin() + static_cast<std::ptrdiff_t>(to),
                  out.begin() + static_cast<std::ptrdiff_t>(from));
    }
    return out;
}

class InterruptedUpgrade : public testing::Test {
protected:
    void SetUp() override
    {
        // The record of an interrupted upgrade of this image, left by another test.
        std::filesystem::remove(VORNA_STATE_DIR "/upgrade");
        // Old and new contents share some blocks, so that even the first run
        // skips blocks, and a NOR partition starts off a block boundary, so that
        // blocks are counted from the partition, not from the device.
        bytes boot_new = test_support::random_bytes(0x48123, 11);
        bytes boot_old = with_blocks_of(test_support::random_bytes(0x50000, 12), boot_new, {0, 2});
        bytes radio_new = test_support::random_bytes(0x50000, 21);
        bytes radio_old = with_blocks_of(bytes(0x50000, 0xFF), radio_new, {3});
        bytes env = test_support::random_bytes(0x20000, 31);
        parts_ = {
            {"boot", 0x0, 0x50000, k_nor, boot_old, boot_new},
            {"kernel", 0x10000, 0x40000, k_emmc, {}, test_support::random_bytes(0x30001, 41)},
            {"radio", 0x68000, 0x58000, k_nor, radio_old, radio_new},
            {"env", 0xC0000, 0x20000, k_nor, env, env},
            {"fpga", 0xE0000, 0x60000, k_nor, {}, test_support::random_bytes(0x5A000, 61)},
            {"rootfs", 0x50000, 0x80000, k_emmc, test_support::random_bytes(0x1000, 51),
             test_support::random_bytes(0x60000, 52)},
        };
        make_board();
        make_image();
        initial_nor_ = test_support::read_file(nor_);
        initial_emmc_ = test_support::read_file(emmc_);
        image_bytes_ = test_support::read_file(image_);
        image_mtime_ = mtime_ns(image_);
        final_nor_ = initial_nor_;
        final_emmc_ = initial_emmc_;
        for (const partition& p : parts_) {
            bytes& dev = p.device == k_nor ? final_nor_ : final_emmc_;
            std::copy(p.contents.begin(), p.contents.end(), dev.begin() + p.base);
        }
    }

    void make_board()
    {
        firmware_cli::board_plan plan{.nor_size = 0x200000, .emmc_size = 0x100000, .device_info_base = 0x50000};
        for (const partition& p : parts_) {
            (p.device == k_nor ? plan.nor : plan.emmc).push_back({p.name, p.base, p.size});
            if (!p.before.empty())
                plan.contents.emplace_back(p.name, p.before);
        }
        // The table wants each layout's partitions in the order of their bases.
        for (auto* list : {&plan.nor, &plan.emmc})
            std::sort(list->begin(), list->end(), [](const auto& x, const auto& y) { return x.base < y.base; });
        board_.emplace(plan);
        table_ = board_->table;
        nor_ = board_->nor;
        emmc_ = board_->emmc;
    }

    void make_image()
    {
        firmware_cli::image_plan plan;
        for (const partition& p : parts_)
            plan.parts.push_back({p.name, p.base, p.size, p.device == k_nor ? "\"nor\"" : "\"emmc\"", p.contents});
        plan.firmware_info = R"({ "version": "2.1.7" })";
        image_ = firmware_cli::pack(dir_, plan);
    }

    /// The writes an upgrade must make on devices holding `nor` and `emmc`:
    /// each NOR block, counted from its partition's base, whose bytes differ
    /// from the image, and each eMMC partition whole, in the image's order. A
    /// rerun of an interrupted upgrade (`emmc` given) writes eMMC as NOR: each
    /// run of differing blocks in one write.
    [[nodiscard]] std::vector<device_write> needed_writes(const bytes& nor, const bytes* emmc = nullptr) const
    {
        std::vector<device_write> writes;
        for (const partition& p : parts_) {
            if (p.device == k_emmc && emmc == nullptr) {
                writes.push_back({k_emmc, p.base, static_cast<std::int64_t>(p.contents.size())});
                continue;
            }
            const bytes& dev = p.device == k_nor ? nor : *emmc;
            for (std::size_t done = 0; done < p.contents.size(); done += k_nor_block) {
                std::size_t n = std::min(k_nor_block, p.contents.size() - done);
                if (std::equal(p.contents.begin() + static_cast<std::ptrdiff_t>(done),
                               p.contents.begin() + static_cast<std::ptrdiff_t>(done + n),
                               dev.begin() + static_cast<std::ptrdiff_t>(p.base + done)))
                    continue;
                const auto at = static_cast<std::int64_t>(p.base + done);
                if (p.device == k_emmc && !writes.empty() && writes.back().device == k_emmc &&
                    writes.back().offset + writes.back().count == at)
                    writes.back().count += static_cast<std::int64_t>(n);
                else
                    writes.push_back({p.device, at, static_cast<std::int64_t>(n)});
            }
        }
        return writes;
    }

    /// Runs the upgrade with the fault library: killed at write `kill_at` (0:
    /// never), tearing that write when asked; `log` receives the writes made.
    test_support::cli_result upgrade(long kill_at, bool tear, const std::string& log)
    {
        std::filesystem::remove(log);
        scoped_preload preload(VORNA_FAULT_SHIM);
        scoped_env files("VORNA_FAULT_FILES", nor_ + ":" + emmc_ + ":" + table_ + ":" + image_);
        scoped_env at("VORNA_FAULT_KILL_AT", std::to_string(kill_at));
        scoped_env torn("VORNA_FAULT_TEAR", tear ? "1" : "0");
        scoped_env logged("VORNA_FAULT_LOG", log);
        return plain_upgrade();
    }

    test_support::cli_result plain_upgrade()
    {
        return test_support::run_cli({VORNA_BIN, "-u", "-b", "0x10000", "-d", table_, "-f", image_});
    }

    void restore_devices()
    {
        test_support::write_file(nor_, initial_nor_);
        test_support::write_file(emmc_, initial_emmc_);
    }

    /// The lines of a complete, successful upgrade run by process `pid`.
    [[nodiscard]] std::vector<std::string> success_lines(const std::string& pid) const
    {
        std::vector<std::string> lines = {
            std::string("file: ") + k_lock_file + " is locked by " + pid,
            "[INFO]vorna_firmware:207 | rsa check pass",
            "[INFO]vorna_firmware:469 | Firmware is upgradable for this DEVICE. ",
        };
        for (const partition& p : parts_) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "[INFO]vorna_firmware:344 | PTN[%s] update, base=0x%08x, size=0x%08x, "
                          "content_size=0x%08x(%d).",
                          p.name, p.base, p.size, static_cast<unsigned>(p.contents.size()),
                          static_cast<int>(p.contents.size()));
            lines.emplace_back(text);
        }
        return lines;
    }

    void expect_image_untouched()
    {
        EXPECT_TRUE(test_support::read_file(image_) == image_bytes_) << "the image file changed";
        EXPECT_EQ(mtime_ns(image_), image_mtime_);
    }

    void expect_devices_final()
    {
        EXPECT_TRUE(test_support::read_file(nor_) == final_nor_) << "NOR differs from the image's contents";
        EXPECT_TRUE(test_support::read_file(emmc_) == final_emmc_) << "eMMC differs from the image's contents";
    }

    temp_dir dir_;
    std::optional<firmware_cli::board> board_;
    std::vector<partition> parts_;
    std::string table_, nor_, emmc_, image_;
    bytes initial_nor_, initial_emmc_, final_nor_, final_emmc_, image_bytes_;
    std::int64_t image_mtime_ = 0;
};

/// The pid that the lock line at the head of `out` names, or "".
std::string locker_pid(const std::string& out)
{
    std::string prefix = std::string("file: ") + k_lock_file + " is locked by ";
    auto lines = test_support::lines_of(out);
    if (lines.empty() || lines[0].rfind(prefix, 0) != 0)
        return "";
    return lines[0].substr(prefix.size());
}

/// The pid text a lock file holds (digits and one NUL byte).
std::string lock_file_pid()
{
    std::string text = test_support::read_text(k_lock_file);
    if (text.empty() || text.back() != '\0')
        return "<not NUL-terminated: " + text + ">";
    text.pop_back();
    return text;
}

TEST_F(InterruptedUpgrade, AFullRunWritesOnlyTheBlocksThatDifferAndTheLogSeesThemAll)
{
    std::string log = dir_.file("writes.log");
    std::vector<device_write> expected = needed_writes(initial_nor_);
    auto first = upgrade(0, false, log);
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(test_support::lines_of(first.out), success_lines(locker_pid(first.out)));
    EXPECT_EQ(parse_log(log), expected);
    // The board was laid out so that blocks of both kinds are there: some
    // written, some skipped, one NOR partition wholly unchanged.
    EXPECT_GE(expected.size(), 10u);
    EXPECT_LT(expected.size(), needed_writes(bytes(initial_nor_.size(), 0)).size());
    expect_devices_final();
    expect_image_untouched();

    // Done again, only the eMMC partitions are written: NOR already matches.
    auto again = upgrade(0, false, log);
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(parse_log(log), (std::vector<device_write>{{k_emmc, 0x10000, 0x30001}, {k_emmc, 0x50000, 0x60000}}));
    expect_devices_final();

    // The library only watches: without it the same upgrade leaves the same bytes.
    restore_devices();
    auto bare = plain_upgrade();
    ASSERT_EQ(bare.status, 0) << bare.out;
    EXPECT_EQ(test_support::lines_of(bare.out), success_lines(locker_pid(bare.out)));
    expect_devices_final();
    expect_image_untouched();
}

/// Parameter: whether the fatal write first puts half of its bytes on the device.
class InterruptedUpgradeAtEveryWrite : public InterruptedUpgrade, public testing::WithParamInterface<bool> {};

TEST_P(InterruptedUpgradeAtEveryWrite, KilledAtAnyWriteTheRerunFinishesAndRewritesOnlyWhatDiffers)
{
    const bool tear = GetParam();
    std::string log = dir_.file("writes.log");
    const std::vector<device_write> full = needed_writes(initial_nor_);
    ASSERT_GE(full.size(), 10u);

    for (std::size_t n = 1; n <= full.size(); ++n) {
        std::ostringstream where;
        where << "killed at write " << n << " of " << full.size() << ": " << full[n - 1];
        SCOPED_TRACE(where.str());
        restore_devices();

        auto killed = upgrade(static_cast<long>(n), tear, log);
        ASSERT_EQ(killed.status, k_killed) << killed.out << killed.err;
        std::string dead_pid = lock_file_pid();

        // What reached the devices is exactly the writes before the fatal one,
        // and half of that one when it tore.
        std::vector<device_write> reached(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n - 1));
        if (tear)
            reached.push_back({full[n - 1].device, full[n - 1].offset, full[n - 1].count / 2});
        ASSERT_EQ(parse_log(log), reached);
        bytes nor = initial_nor_;
        bytes emmc = initial_emmc_;
        for (const device_write& w : reached) {
            bytes& dev = w.device == k_nor ? nor : emmc;
            const bytes& final_dev = w.device == k_nor ? final_nor_ : final_emmc_;
            std::copy(final_dev.begin() + w.offset, final_dev.begin() + w.offset + w.count, dev.begin() + w.offset);
        }
        ASSERT_TRUE(test_support::read_file(nor_) == nor) << "NOR after the kill";
        ASSERT_TRUE(test_support::read_file(emmc_) == emmc) << "eMMC after the kill";
        expect_image_untouched();

        auto rerun = upgrade(0, false, log);
        ASSERT_EQ(rerun.status, 0) << rerun.out << rerun.err;
        std::string pid = locker_pid(rerun.out);
        EXPECT_NE(pid, dead_pid);
        EXPECT_EQ(test_support::lines_of(rerun.out), success_lines(pid));
        EXPECT_EQ(rerun.err, "");
        EXPECT_EQ(lock_file_pid(), pid);
        EXPECT_EQ(parse_log(log), needed_writes(nor, &emmc));
        expect_devices_final();
        expect_image_untouched();
        if (HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(WholeWrites, InterruptedUpgradeAtEveryWrite, testing::Values(false));
INSTANTIATE_TEST_SUITE_P(TornWrites, InterruptedUpgradeAtEveryWrite, testing::Values(true));

} // namespace

namespace {

/// `vorna --last-upgrade`: its one line and status.
std::pair<std::string, int> upgrade_state()
{
    auto r = test_support::run_cli({VORNA_BIN, "--last-upgrade"});
    return {r.out, r.status};
}

/// "state=incomplete image=index:<64 hex digits> REST\n", the digits taken out into `image`.
std::string without_index_digest(const std::string& line, std::string& image)
{
    const std::string lead = " image=index:";
    const std::size_t at = line.find(lead);
    if (at == std::string::npos || line.size() < at + lead.size() + 64)
        return line;
    image = line.substr(at + lead.size(), 64);
    if (image.find_first_not_of("0123456789abcdef") != std::string::npos)
        return line;
    return line.substr(0, at + lead.size()) + "D" + line.substr(at + lead.size() + 64);
}

TEST_F(InterruptedUpgrade, TheRecordNamesAKilledUpgradeUntilARunOfItsImageCompletes)
{
    const std::string log = dir_.file("writes.log");
    EXPECT_EQ(upgrade_state(), std::make_pair(std::string("state=none\n"), 0));
    // Killed in each eMMC partition and in a NOR one: the record names the image
    // and the entry reached, whatever the write.
    struct kill_case {
        long at;
        const char* rest;
    };
    std::string first_image;
    for (const kill_case& c :
         {kill_case{4, " entry=2/6 partition=kernel left=\n"}, kill_case{5, " entry=3/6 partition=radio left=\n"},
          kill_case{15, " entry=6/6 partition=rootfs left=\n"}}) {
        SCOPED_TRACE(c.at);
        restore_devices();
        ASSERT_EQ(upgrade(c.at, false, log).status, k_killed);
        auto [line, status] = upgrade_state();
        std::string image;
        EXPECT_EQ(without_index_digest(line, image), std::string("state=incomplete image=index:D") + c.rest);
        EXPECT_EQ(status, 1);
        if (first_image.empty())
            first_image = image;
        EXPECT_EQ(image, first_image);
    }
    auto rerun = upgrade(0, false, log);
    ASSERT_EQ(rerun.status, 0) << rerun.out;
    EXPECT_EQ(upgrade_state(), std::make_pair(std::string("state=none\n"), 0));
    EXPECT_FALSE(std::filesystem::exists(VORNA_STATE_DIR "/upgrade"));
    expect_devices_final();
}

TEST_F(InterruptedUpgrade, AnotherImageKeepsThePartitionItDoesNotRewriteListedAsHalfWritten)
{
    const std::string log = dir_.file("writes.log");
    ASSERT_EQ(upgrade(4, true, log).status, k_killed); // half of "kernel" written
    // Another image, without "kernel": written as ever, its lines unchanged.
    firmware_cli::image_plan other;
    for (const partition& p : parts_)
        if (std::string(p.name) != "kernel")
            other.parts.push_back({p.name, p.base, p.size, p.device == k_nor ? "\"nor\"" : "\"emmc\"", p.contents});
    const std::string other_image = firmware_cli::pack(dir_, other, "other.bin");
    auto second = test_support::run_cli({VORNA_BIN, "-u", "-b", "0x10000", "-d", table_, "-f", other_image});
    ASSERT_EQ(second.status, 0) << second.out;
    std::vector<std::string> lines = success_lines(locker_pid(second.out));
    lines.erase(std::find_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.find("PTN[kernel]") != std::string::npos; }));
    EXPECT_EQ(test_support::lines_of(second.out), lines);
    auto [line, status] = upgrade_state();
    std::string image;
    EXPECT_EQ(without_index_digest(line, image), "state=half-written image=index:D left=kernel\n");
    EXPECT_EQ(status, 2);
    // The interrupted image, run again, rewrites it: nothing is left.
    ASSERT_EQ(upgrade(0, false, log).status, 0);
    EXPECT_EQ(upgrade_state(), std::make_pair(std::string("state=none\n"), 0));
    expect_devices_final();
}

} // namespace

namespace {

TEST_F(InterruptedUpgrade, AnUnreadableRecordIsReportedAndReplacedKeepingWhatTheUpgradeDoesNotRewrite)
{
    test_support::write_file(VORNA_STATE_DIR "/upgrade", bytes{'x', '\n'});
    auto [line, status] = upgrade_state();
    EXPECT_EQ(line, std::string("[ERROR]vorna_upgrade_record:713 | upgrade record ") + VORNA_STATE_DIR +
                        "/upgrade is malformed.\n");
    EXPECT_EQ(status, 255);
    // The upgrade still runs, and keeps listed every partition of the board the
    // unknown image may have left half-written and this one does not rewrite.
    auto r = plain_upgrade();
    ASSERT_EQ(r.status, 0) << r.out;
    std::string image;
    EXPECT_EQ(without_index_digest(upgrade_state().first, image),
              "state=half-written image=index:D left=device-info\n");
    expect_devices_final();
}

} // namespace
