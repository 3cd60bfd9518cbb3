// SPDX-License-Identifier: Apache-2.0
// vorna -u on a board whose devices misbehave in ways no regular file can: reads
// and writes that fail or stop short at a bad spot, seeks that fail, a refused
// record lock, calls interrupted by a signal. The faults come from a library
// preloaded into the vorna process; the program itself is the one shipped.
// These runs take the upgrade lock.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace firmware_cli;
using test_support::cli_result;
using test_support::random_bytes;
using test_support::scoped_env;
using test_support::scoped_preload;
using test_support::temp_dir;

constexpr std::size_t k_block = 0x10000;
constexpr const char* k_lock_file = VORNA_LOCK_PATH;

/// What the preloaded library is told to do.
struct fault {
    std::vector<std::string> files{};
    std::string calls{};
    int error = 0;
    std::optional<long long> at{};
    int skip = 0;
    bool transient = false;
};

/// One call the library faulted or cut short, as it logs it.
struct logged_call {
    std::string call;
    int file;
    long long position;
    long long result;
    auto operator<=>(const logged_call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const logged_call& c)
{
    return os << "{" << c.call << " file " << c.file << " at 0x" << std::hex << c.position << std::dec << " -> "
              << c.result << "}";
}

/// Runs the lock-taking `argv` with the library doing `f`; `log` receives the
/// faulted calls.
cli_result run_with(const fault& f, const std::string& log, const std::vector<std::string>& argv)
{
    std::string files;
    for (const std::string& file : f.files)
        files += (files.empty() ? "" : ":") + file;
    std::filesystem::remove(log);
    scoped_preload preload(VORNA_FAIL_IO_LIB);
    scoped_env watched("VORNA_FAIL_FILES", files);
    scoped_env calls("VORNA_FAIL_CALL", f.calls);
    scoped_env error("VORNA_FAIL_ERRNO", std::to_string(f.error));
    scoped_env skip("VORNA_FAIL_SKIP", std::to_string(f.skip));
    scoped_env transient("VORNA_FAIL_TRANSIENT", f.transient ? "1" : "0");
    scoped_env logged("VORNA_FAIL_LOG", log);
    std::optional<scoped_env> at;
    if (f.at)
        at.emplace("VORNA_FAIL_AT", std::to_string(*f.at));
    return run_locked(argv);
}

std::vector<logged_call> parse_log(const std::string& path)
{
    std::vector<logged_call> calls;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return calls;
    std::istringstream in(test_support::read_text(path));
    logged_call c{};
    while (in >> c.call >> c.file >> c.position >> c.result)
        calls.push_back(c);
    return calls;
}

/// Puts bytes [from, to) of `contents` at `base` + from of `device`.
void put(bytes& device, std::uint32_t base, const bytes& contents, std::size_t from, std::size_t to)
{
    std::copy(contents.begin() + static_cast<std::ptrdiff_t>(from), contents.begin() + static_cast<std::ptrdiff_t>(to),
              device.begin() + static_cast<std::ptrdiff_t>(base + from));
}

class IoFaults : public testing::Test, protected four_parts {
protected:
    void SetUp() override
    {
        image_plan plan;
        plan.parts = {boot, kernel, radio, rootfs};
        image = pack(work, plan);
        nor_before = whole(b.nor);
        emmc_before = whole(b.emmc);
        log = work.file("faults.log");
    }

    cli_result upgrade(const fault& f)
    {
        return run_with(f, log,
                        {VORNA_BIN, "-u", "-b", format("0x%X", k_table_base), "-d", b.table, "-f", image});
    }

    void restore_devices()
    {
        test_support::write_file(b.nor, nor_before);
        test_support::write_file(b.emmc, emmc_before);
    }

    /// The devices after an upgrade that wrote the first `boot_done` bytes of the
    /// boot loader and the other entries whole.
    void expect_devices(std::size_t boot_done)
    {
        bytes nor = nor_before;
        bytes emmc = emmc_before;
        put(nor, boot.base, boot.contents, 0, boot_done);
        for (const image_part* p : {&kernel, &radio, &rootfs})
            put(p->type == "\"nor\"" ? nor : emmc, p->base, p->contents, 0, p->contents.size());
        EXPECT_TRUE(whole(b.nor) == nor) << "NOR";
        EXPECT_TRUE(whole(b.emmc) == emmc) << "eMMC";
    }

    /// Every line of an upgrade of the whole image, with `error` after the boot
    /// loader's line when it failed there.
    std::vector<std::string> walk_lines(const std::string& error = "") const
    {
        std::vector<std::string> lines = {k_pass, k_upgradable, update_line(boot)};
        if (!error.empty())
            lines.push_back(error);
        for (const image_part* p : {&kernel, &radio, &rootfs})
            lines.push_back(update_line(*p));
        if (!error.empty())
            lines.push_back(k_upgrade_failed);
        return lines;
    }

    board b;
    temp_dir work;
    std::string image;
    std::string log;
    bytes nor_before;
    bytes emmc_before;
};

TEST_F(IoFaults, ANorReadErrorFailsTheEntryAndTheWalkGoesOn)
{
    // At a block's start, inside a block after part of it was read (what was
    // read must not pass for a short read, which would be rewritten and so
    // "succeed"), and in the last, partial block.
    for (long long at : {0x10000LL, 0x10800LL, 0x27FFFLL}) {
        SCOPED_TRACE(format("read error at 0x%llx", at));
        restore_devices();
        long long block = at / static_cast<long long>(k_block) * static_cast<long long>(k_block);
        auto r = upgrade({.files = {b.nor}, .calls = "read", .error = EIO, .at = at});
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(after_lock(r), walk_lines(format("[ERROR]vorna_file:280 | ERROR read(%lld) return -1.", block)));
        EXPECT_EQ(r.err, "");
        // The blocks before the bad one are written, the rest of the entry is not.
        expect_devices(static_cast<std::size_t>(block));
        std::vector<logged_call> faulted = {{"read", 0, at, -1}};
        if (at != block)
            faulted.insert(faulted.begin(), {"read", 0, block, at - block});
        EXPECT_EQ(parse_log(log), faulted);
    }
}

TEST_F(IoFaults, ANorEntryTheDeviceDoesNotFlushFailsTheEntry)
{
    // A device that keeps written blocks in a cache of its own (an MTD block
    // device holds one erase block) has them on its medium only once fsync
    // returns: an entry whose flush fails must not count as written.
    auto r = upgrade({.files = {b.nor}, .calls = "fsync", .error = EIO, .transient = true});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(after_lock(r), walk_lines(format("[ERROR]vorna_file:305 | ERROR fsync('%s') failed.", b.nor.c_str())));
    EXPECT_EQ(parse_log(log), (std::vector<logged_call>{{"fsync", 0, 0, -1}}));
    expect_devices(boot.contents.size());
}

TEST_F(IoFaults, AReadThatEndsEarlyCountsAsADifferenceAndTheBlockIsRewritten)
{
    // The devices already hold the image, except the second half of the boot
    // loader's second block. Reads there end halfway through the block: the half
    // that could be read matches, which proves nothing about the rest.
    bytes nor = nor_before;
    put(nor, boot.base, boot.contents, 0, boot.contents.size());
    put(nor, radio.base, radio.contents, 0, radio.contents.size());
    std::fill(nor.begin() + 0x18000, nor.begin() + 0x20000, 0x5A);
    test_support::write_file(b.nor, nor);
    nor_before = nor;

    auto r = upgrade({.files = {b.nor}, .calls = "read", .error = 0, .at = 0x18000});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(after_lock(r), walk_lines());
    EXPECT_EQ(r.err, "");
    expect_devices(boot.contents.size());
    EXPECT_EQ(parse_log(log), (std::vector<logged_call>{{"read", 0, 0x10000, 0x8000}, {"read", 0, 0x18000, 0}}));
}

TEST_F(IoFaults, AFailedSeekFailsTheEntryWithoutWritingAnywhereElse)
{
    // The seek before the block is read, then the one before it is written: a
    // write made after a failed seek would land on the next block.
    for (int skip : {0, 1}) {
        SCOPED_TRACE(skip == 0 ? "seek to read" : "seek to write");
        restore_devices();
        auto r = upgrade({.files = {b.nor}, .calls = "lseek", .error = EIO, .at = 0x10000, .skip = skip});
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_EQ(after_lock(r), walk_lines("[ERROR]vorna_file:274 | ERROR lseek(65536) failed."));
        expect_devices(0x10000);
        EXPECT_EQ(parse_log(log), (std::vector<logged_call>{{"lseek", 0, 0x10000, -1}}));
    }
}

TEST_F(IoFaults, WritesCutShortFailWithTheCountThatReachedTheDevice)
{
    // The device takes 0x1234 bytes of the second block, then reports itself full.
    auto r = upgrade({.files = {b.nor}, .calls = "write", .error = ENOSPC, .at = 0x11234});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(after_lock(r), walk_lines("[ERROR]vorna_file:299 | ERROR write(65536) return 4660."));
    expect_devices(0x11234);

    // The last, partial block: the device takes nothing and reports no error.
    restore_devices();
    r = upgrade({.files = {b.nor}, .calls = "write", .error = 0, .at = 0x20000});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(after_lock(r), walk_lines("[ERROR]vorna_file:299 | ERROR write(32768) return 0."));
    expect_devices(0x20000);

    // On the eMMC a short write ends the walk.
    restore_devices();
    bytes data = whole(image);
    r = upgrade({.files = {b.emmc}, .calls = "write", .error = ENOSPC, .at = kernel.base + 0x1000});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(after_lock(r), (std::vector<std::string>{
                                 k_pass, k_upgradable, update_line(boot), update_line(kernel),
                                 format("[ERROR]vorna_firmware:368 | PTN[kernel] update failed, pos={0x%08x:0x%08x}.",
                                        be32(data, entry_field(1, k_content_offset)),
                                        be32(data, entry_field(1, k_content_size))),
                                 k_upgrade_failed}));
    bytes emmc = emmc_before;
    put(emmc, kernel.base, kernel.contents, 0, 0x1000);
    EXPECT_TRUE(whole(b.emmc) == emmc) << "eMMC: the part before the bad spot, nothing after";
    bytes nor = nor_before;
    put(nor, boot.base, boot.contents, 0, boot.contents.size());
    EXPECT_TRUE(whole(b.nor) == nor) << "NOR: the boot loader, not the radio";
}

TEST_F(IoFaults, InterruptedReadsAndWritesAreRetried)
{
    // Every read and write on the table and both devices is first interrupted,
    // then succeeds when made again.
    auto r = upgrade({.files = {b.table, b.nor, b.emmc}, .calls = "read,write", .error = EINTR, .transient = true});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(after_lock(r), walk_lines());
    EXPECT_EQ(r.err, "");
    expect_devices(boot.contents.size());
    auto calls = parse_log(log);
    std::set<logged_call> seen(calls.begin(), calls.end());
    std::vector<logged_call> expected = {{"read", 0, k_table_base, -1},  {"read", 1, 0xF0000, -1},
                                         {"write", 2, kernel.base, -1}, {"write", 2, rootfs.base, -1}};
    for (long long at : {0x0LL, 0x10000LL, 0x20000LL, 0x50000LL, 0x60000LL}) {
        expected.push_back({"read", 1, at, -1});
        expected.push_back({"write", 1, at, -1});
    }
    for (const logged_call& c : expected)
        EXPECT_EQ(seen.count(c), 1u) << "not interrupted: " << c;

    // A read and a write that stop short of a spot inside a block, where the
    // next call is interrupted: the rest of the block still arrives whole.
    restore_devices();
    r = upgrade({.files = {b.nor, b.emmc}, .calls = "read,write", .error = EINTR, .at = 0x58000, .transient = true});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(after_lock(r), walk_lines());
    expect_devices(boot.contents.size());
    EXPECT_EQ(parse_log(log), (std::vector<logged_call>{{"read", 0, 0x50000, 0x8000},
                                                        {"read", 0, 0x58000, -1},
                                                        {"write", 0, 0x50000, 0x8000},
                                                        {"write", 0, 0x58000, -1}}));
}

TEST_F(IoFaults, ARefusedRecordLockIsReportedAndNothingRuns)
{
    // The library watches the lock file, so it has to exist before vorna starts.
    int fd = ::open(k_lock_file, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    for (auto [error, text] : {std::tuple{ENOLCK, "No locks available"}, std::tuple{EIO, "Input/output error"}}) {
        SCOPED_TRACE(text);
        auto r = upgrade({.files = {k_lock_file}, .calls = "fcntl", .error = error});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, std::string("can't lock ") + k_lock_file + ": " + text + "\n");
        EXPECT_EQ(r.out, "[ERROR]vorna_firmware_upgrade:305 | The program is already running, exit(-1)\n");
        EXPECT_EQ(parse_log(log), (std::vector<logged_call>{{"fcntl", 0, 0, -1}}));
        EXPECT_TRUE(whole(b.nor) == nor_before);
        EXPECT_TRUE(whole(b.emmc) == emmc_before);
    }
}

} // namespace
