// SPDX-License-Identifier: Apache-2.0
// vorna -u on a simulated board. These runs take the upgrade lock.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

using namespace firmware_cli;
using test_support::random_bytes;
using test_support::temp_dir;

std::vector<std::string> lines(std::initializer_list<std::string> l)
{
    return l;
}

/// The device bytes an upgrade should leave: `before` with `part` written at its base.
void expect_written(const std::string& device, const image_part& part)
{
    EXPECT_EQ(slice(device, part.base, part.contents.size()), part.contents) << part.name;
}

void expect_untouched(const std::string& device, const bytes& before, std::size_t offset, std::size_t size)
{
    bytes now = whole(device);
    ASSERT_EQ(now.size(), before.size());
    EXPECT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(offset),
                           now.begin() + static_cast<std::ptrdiff_t>(offset + size),
                           before.begin() + static_cast<std::ptrdiff_t>(offset)))
        << device << " at " << offset;
}

/// Every file of the board, to show that nothing was written.
struct board_files {
    explicit board_files(const board& b) : table(whole(b.table)), nor(whole(b.nor)), emmc(whole(b.emmc)) {}
    bool operator==(const board_files&) const = default;
    bytes table, nor, emmc;
};

class FirmwareUpgrade : public testing::Test, protected four_parts {
protected:
    board b;
    temp_dir work;

    std::string pack_parts(std::vector<image_part> parts)
    {
        image_plan plan;
        plan.parts = std::move(parts);
        return pack(work, plan);
    }
};

TEST_F(FirmwareUpgrade, TwoEntriesAreWrittenExactlyAndASecondRunRewritesNoNorBlock)
{
    std::string image = pack_parts({boot, kernel});
    bytes image_before = whole(image);
    auto image_mtime = mtime_ns(image);
    bytes nor_before = whole(b.nor);
    bytes emmc_before = whole(b.emmc);

    auto r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(boot), update_line(kernel)}));
    expect_written(b.nor, boot);
    expect_written(b.emmc, kernel);
    expect_untouched(b.nor, nor_before, boot.contents.size(), nor_before.size() - boot.contents.size());
    expect_untouched(b.emmc, emmc_before, 0, kernel.base);
    expect_untouched(b.emmc, emmc_before, kernel.base + kernel.contents.size(),
                     emmc_before.size() - kernel.base - kernel.contents.size());
    EXPECT_EQ(whole(image), image_before);
    EXPECT_EQ(mtime_ns(image), image_mtime);

    bytes nor_after = whole(b.nor);
    auto nor_mtime = mtime_ns(b.nor);
    r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(boot), update_line(kernel)}));
    EXPECT_EQ(mtime_ns(b.nor), nor_mtime);
    EXPECT_EQ(whole(b.nor), nor_after);
    EXPECT_EQ(mtime_ns(image), image_mtime);
}

// --progress: on standard error the stage of the run, the verification pass over
// the whole image and each entry's copy; standard output is what it is without it.
TEST_F(FirmwareUpgrade, ProgressFollowsTheCheckTheVerificationAndEveryWrittenEntry)
{
    image_part big = rootfs;
    big.contents = random_bytes(0x180000, 15); // the pass reads it in two chunks
    std::string image = pack_parts({boot, big});
    const std::size_t size = whole(image).size();
    const std::string verify =
        format("progress verify 0 %zu\nprogress verify 1048576 %zu\nprogress verify %zu %zu\n", size, size, size, size);
    auto with = [&](const char* mode, const std::string& fw) {
        std::vector<std::string> argv = {VORNA_BIN, mode, "--progress", "-b", "0x10000", "-d", b.table, "-f", fw};
        return std::string(mode) == "-u" ? run_locked(argv) : test_support::run_cli(argv);
    };

    auto c = with("-c", image);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, run_mode("-c", b, image).out);
    EXPECT_EQ(c.err, "stage check\n" + verify + "stage done\n");

    auto u = with("-u", image);
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(after_lock(u), lines({k_pass, k_upgradable, update_line(boot), update_line(big)}));
    EXPECT_EQ(u.err, "stage check\n" + verify +
                         "stage write bootloader 1 2\nprogress bootloader 0 163840\nprogress bootloader 163840 163840\n"
                         "stage write rootfs 2 2\nprogress rootfs 0 1572864\nprogress rootfs 1572864 1572864\n"
                         "stage done\n");
    expect_written(b.nor, boot);
    expect_written(b.emmc, big);

    // A refused image ends without "stage done"; without --progress nothing goes to standard error.
    image_plan other;
    other.parts = {boot};
    other.support_list = support_list_for("Other");
    std::string refused = pack(work, other, "other.bin");
    const std::size_t other_size = whole(refused).size();
    for (const char* mode : {"-c", "-u"}) {
        auto r = with(mode, refused);
        EXPECT_EQ(r.status, 251) << mode;
        EXPECT_EQ(r.err, format("stage check\nprogress verify 0 %zu\nprogress verify %zu %zu\n", other_size, other_size,
                                other_size))
            << mode;
    }
    EXPECT_EQ(run_mode("-u", b, image).err, "");
}

TEST_F(FirmwareUpgrade, AnInvalidTypeStopsTheUpgradeBeforeAnyWrite)
{
    image_part bad = radio;
    bad.type = "2";
    bytes emmc_before = whole(b.emmc);
    bytes nor_before = whole(b.nor);
    auto r = run_mode("-u", b, pack_parts({boot, kernel, bad, rootfs}));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), lines({k_pass, "[ERROR]vorna_firmware:361 | PTN [radio] type 2 is invalid."}));
    EXPECT_EQ(whole(b.nor), nor_before);
    EXPECT_EQ(whole(b.emmc), emmc_before);
}

TEST_F(FirmwareUpgrade, TheDeviceFollowsTheTypeAndAnInvalidTypeIsPrintedSigned)
{
    // "radio" is a partition of the NOR layout; an eMMC entry of that name still
    // goes to the eMMC device, at the entry's base.
    image_part cross = radio;
    cross.type = "\"emmc\"";
    bytes nor_before = whole(b.nor);
    auto r = run_mode("-u", b, pack_parts({cross}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(cross)}));
    expect_written(b.emmc, cross);
    EXPECT_EQ(whole(b.nor), nor_before);

    image_part bad = radio;
    bad.type = "2";
    std::string image = pack_parts({bad});
    patch_be32(image, entry_field(0, k_type), 0xFFFFFFFF);
    resign(image);
    r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), lines({k_pass, "[ERROR]vorna_firmware:361 | PTN [radio] type -1 is invalid."}));
    EXPECT_EQ(whole(b.nor), nor_before);
}

TEST_F(FirmwareUpgrade, AFirstEntryOfSizeZeroWritesNothing)
{
    image_part empty = boot;
    empty.size = 0;
    bytes nor_before = whole(b.nor);
    bytes emmc_before = whole(b.emmc);
    auto r = run_mode("-u", b, pack_parts({empty, kernel}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable}));
    EXPECT_EQ(whole(b.nor), nor_before);
    EXPECT_EQ(whole(b.emmc), emmc_before);
}

TEST_F(FirmwareUpgrade, AMovedBaseIsReportedAndWrittenAtTheImagesBase)
{
    image_part moved = radio;
    moved.base = 0x60000;
    moved.size = 0x30000;
    auto r = run_mode("-u", b, pack_parts({moved}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r),
              lines({k_pass, k_upgradable,
                     "[INFO]vorna_firmware:338 | ptn[radio] moved from {0x00050000:0x00040000} to "
                     "{0x00060000:0x00030000}.",
                     "[INFO]vorna_firmware:339 | *** Attention, ptn move not support now ***", update_line(moved)}));
    expect_written(b.nor, moved);
}

TEST_F(FirmwareUpgrade, AFailedEmmcWriteEndsTheWalk)
{
    std::string image = pack_parts({boot, kernel, radio});
    bytes data = whole(image);
    // A device node that cannot be opened for writing, whoever runs the test.
    std::filesystem::remove(b.emmc);
    std::filesystem::create_directory(b.emmc);
    bytes nor_before = whole(b.nor);
    auto r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(boot), update_line(kernel),
                                    format("[ERROR]vorna_firmware:368 | PTN[kernel] update failed, "
                                           "pos={0x%08x:0x%08x}.",
                                           be32(data, entry_field(1, k_content_offset)),
                                           be32(data, entry_field(1, k_content_size))),
                                    k_upgrade_failed}));
    expect_written(b.nor, boot);
    expect_untouched(b.nor, nor_before, radio.base, radio.size);
}

TEST_F(FirmwareUpgrade, EntriesTheDevicesCannotTakeAreRefusedByTheCheckAndWriteNothing)
{
    board_files before(b);
    auto expect_refused = [&](const std::string& image, const std::string& line) {
        auto r = run_mode("-c", b, image);
        EXPECT_EQ(r.status, 255) << line;
        EXPECT_EQ(test_support::lines_of(r.out), lines({k_pass, line}));
        r = run_mode("-u", b, image);
        EXPECT_EQ(r.status, 255) << line;
        EXPECT_EQ(after_lock(r), lines({k_pass, line}));
        EXPECT_TRUE(board_files(b) == before) << line;
    };
    // Each refused entry comes after two that could be written.
    image_part bad = radio;
    bad.type = "7";
    expect_refused(pack_parts({boot, kernel, bad}), "[ERROR]vorna_firmware:361 | PTN [radio] type 7 is invalid.");

    // Contents larger than the entry's own size.
    bad = radio;
    bad.contents = random_bytes(radio.size + 1, 15);
    expect_refused(pack_parts({boot, kernel, bad}),
                   format("[ERROR]vorna_firmware:610 | PTN[radio] content_size 0x%08zx exceeds its size 0x%08x.",
                          bad.contents.size(), radio.size));

    // A NOR range that passes the end of the NOR device (1 MiB).
    bad = radio;
    bad.size = 0x100000;
    bad.contents = random_bytes(0x100000 - radio.base + 1, 16);
    expect_refused(pack_parts({boot, kernel, bad}),
                   format("[ERROR]vorna_firmware:611 | PTN[radio] {0x%08x:0x%08zx} passes the end of the NOR device "
                          "'%s' (0x100000 bytes).",
                          radio.base, bad.contents.size(), b.nor.c_str()));

    // An eMMC range that passes the eMMC layout's disk size (4 MiB).
    bad = rootfs;
    bad.base = 0x3F0000;
    expect_refused(pack_parts({boot, kernel, bad}),
                   format("[ERROR]vorna_firmware:613 | PTN[rootfs] {0x003f0000:0x%08zx} passes the eMMC disk size "
                          "0x400000.",
                          bad.contents.size()));

    // A second table planted in signed contents and chosen through the unsigned
    // table offset: the kernel's contents begin with a copy of the image's table.
    std::string image = pack_parts({boot, kernel, rootfs});
    bytes table = slice(image, 4096, 1664);
    image_part planted = kernel;
    std::copy(table.begin(), table.end(), planted.contents.begin());
    image = pack_parts({boot, planted, rootfs});
    ASSERT_EQ(slice(image, 4096, 1664), table);
    std::uint32_t at = be32(whole(image), entry_field(1, k_content_offset));
    patch_be32(image, 8, at);
    expect_refused(image, format("[ERROR]vorna_firmware:614 | firmware ptn_table {0x%08x:0x00000680} overlaps the "
                                 "contents of PTN[kernel] {0x%08x:0x%08zx}.",
                                 at, at, kernel.contents.size()));
}

// No device write takes 0 bytes: a check that passed such an image would promise
// an upgrade that fails on every run, the NOR entry after the eMMC ones were
// written, the eMMC entry before the ones after it.
TEST_F(FirmwareUpgrade, EntriesWithoutContentsAreRefusedByTheCheckAndWriteNothing)
{
    const board_files before(b);
    for (int index : {0, 1}) { // the NOR boot loader, the eMMC kernel
        const std::string name = index == 0 ? boot.name : kernel.name;
        std::string image = pack_parts({boot, kernel, rootfs});
        patch_be32(image, entry_field(index, k_content_size), 0);
        resign(image);
        const std::string refused = "[ERROR]vorna_firmware:615 | PTN[" + name + "] has no contents (content_size 0).";
        auto r = run_mode("-c", b, image);
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(test_support::lines_of(r.out), lines({k_pass, refused}));
        r = run_mode("-u", b, image);
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(after_lock(r), lines({k_pass, refused}));
        EXPECT_TRUE(board_files(b) == before) << name;
    }
}

TEST_F(FirmwareUpgrade, RefusedImagesWriteNothing)
{
    bytes nor_before = whole(b.nor);
    bytes emmc_before = whole(b.emmc);
    auto expect_nothing_written = [&](const std::string& image, int status, const std::string& what) {
        auto r = run_mode("-u", b, image);
        EXPECT_EQ(r.status, status) << what << "\n" << r.out;
        EXPECT_EQ(r.out.find("update, base="), std::string::npos) << what;
        EXPECT_EQ(whole(b.nor), nor_before) << what;
        EXPECT_EQ(whole(b.emmc), emmc_before) << what;
    };

    // The third walked entry's contents reach past the end of the file.
    std::string image = pack_parts({boot, kernel, radio});
    std::size_t size = whole(image).size();
    patch_be32(image, entry_field(2, k_content_size), static_cast<std::uint32_t>(size));
    resign(image);
    expect_nothing_written(image, 255, "contents outside");

    // The second has a name the device does not know.
    image_part stranger = kernel;
    stranger.name = "recovery";
    expect_nothing_written(pack_parts({boot, stranger}), 255, "unknown name");

    // The support list claims more bytes than its entry holds.
    image = pack_parts({boot, kernel});
    bytes data = whole(image);
    std::uint32_t list_at = be32(data, entry_field(2, k_content_offset));
    patch_be32(image, list_at + 8, be32(data, entry_field(2, k_content_size)));
    resign(image);
    expect_nothing_written(image, 255, "support list too long");
    test_support::write_file(image, data);
    patch_be32(image, entry_field(2, k_content_offset), static_cast<std::uint32_t>(data.size() - 8));
    resign(image);
    expect_nothing_written(image, 255, "support list outside");

    // The table runs past the end of the file (its offset is not signed).
    test_support::write_file(image, data);
    patch_be32(image, 8, static_cast<std::uint32_t>(data.size() - 1000));
    expect_nothing_written(image, 255, "table outside");

    // Not for this device.
    image_plan plan;
    plan.parts = {boot, kernel};
    plan.support_list = support_list_for("Other");
    expect_nothing_written(pack(work, plan), 251, "not supported");

    // Signature and header faults.
    image = pack_parts({boot, kernel});
    data = whole(image);
    data[9000] ^= 1;
    test_support::write_file(image, data);
    expect_nothing_written(image, 252, "signature");
    patch_be32(image, 4, 0);
    expect_nothing_written(image, 254, "magic");
}

TEST_F(FirmwareUpgrade, AReadOnlyImageUpgradesAndStaysAsItWas)
{
    std::string image = pack_parts({boot, kernel});
    ::chmod(image.c_str(), 0444);
    bytes before = whole(image);
    auto mtime = mtime_ns(image);
    std::vector<std::string> argv = {VORNA_BIN, "-u", "-b", "0x10000", "-d", b.table, "-f", image};
    if (::geteuid() == 0 && !test_support::others_can_reach(VORNA_LOCK_PATH))
        GTEST_SKIP() << "another user cannot reach " << VORNA_LOCK_PATH << ": the build folder is private";
    if (::geteuid() == 0) {
        // Run as a user for whom mode 0444 means read-only; that user needs the
        // devices, the folders and the lock file.
        for (const auto* dir : {&work.path(), &b.dir().path()})
            std::filesystem::permissions(*dir, std::filesystem::perms::all);
        for (const std::string& dev : {b.nor, b.emmc})
            ::chmod(dev.c_str(), 0666);
        int fd = ::open(VORNA_LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::fchmod(fd, 0666);
        // The lock file is refused unless it belongs to the user who runs vorna.
        ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
        ::close(fd);
        // So is a state folder where that user cannot keep the upgrade's record
        // (and another test's record in it, which that user could not read).
        std::filesystem::remove(VORNA_STATE_DIR "/upgrade");
        ASSERT_EQ(::chown(VORNA_STATE_DIR, 65534, 65534), 0);
        argv = test_support::emulated(argv);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    auto r = run_locked(argv);
    if (::geteuid() == 0) { // back to root, whose runs come next
        ASSERT_EQ(::chown(VORNA_LOCK_PATH, 0, 0), 0);
        ASSERT_EQ(::chown(VORNA_STATE_DIR, 0, 0), 0);
    }
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(boot), update_line(kernel)}));
    expect_written(b.nor, boot);
    expect_written(b.emmc, kernel);
    EXPECT_EQ(whole(image), before);
    EXPECT_EQ(mtime_ns(image), mtime);
}

TEST(FirmwareUpgradeFull, ThirtyTwoEntriesAreAllWritten)
{
    // support-list + 2 NOR + 29 eMMC partitions: 32 entries, none of size 0. Few
    // NOR entries, since each NOR entry ends with a sync of its device.
    std::vector<board_ptn> nor = {{"support-list", 0x0, 0x1000}};
    std::vector<board_ptn> emmc;
    std::vector<image_part> parts;
    for (std::uint32_t i = 0; i < 2; ++i) {
        nor.push_back({format("n%02u", i), 0x10000 * (i + 1), 0x10000});
        parts.push_back({format("n%02u", i), 0x10000 * (i + 1), 0x10000, "\"nor\"", random_bytes(1000 + i, 100 + i)});
    }
    for (std::uint32_t i = 0; i < 29; ++i) {
        emmc.push_back({format("e%02u", i), 0x10000 * i, 0x10000});
        parts.push_back({format("e%02u", i), 0x10000 * i, 0x10000, "\"emmc\"", random_bytes(2000 + i, 200 + i)});
    }
    board b(nor, emmc);
    temp_dir work;
    image_plan plan;
    plan.parts = parts;
    plan.support_list.clear();
    plan.extra_partitions = R"({"name":"support-list","base":"0x0","size":"0x1000","type":"nor","header":true,)"
                            R"("json":)" +
                            support_list_for() + "}";
    std::string image = pack(work, plan);
    auto r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 0) << r.out;
    auto out = after_lock(r);
    ASSERT_EQ(out.size(), 2u + 32u);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(out[2 + i], update_line(parts[i]));
        expect_written(parts[i].type == "\"nor\"" ? b.nor : b.emmc, parts[i]);
    }
    EXPECT_EQ(out.back().rfind("[INFO]vorna_firmware:344 | PTN[support-list] update, base=0x00000000", 0), 0u);
}

/// The image changed by another process while vorna -u runs (the preloaded
/// library makes the change at a chosen moment inside the run).
class TamperedImage : public FirmwareUpgrade {
protected:
    // Big enough for the image to span three 1 MiB chunks, the last one rootfs's.
    image_part big_kernel{"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(0x100000, 21)};
    image_part big_rootfs{"rootfs", 0x200000, 0x200000, "\"emmc\"", random_bytes(0x180000, 22)};

    /// `when`: "" for the first open of a device for writing, else the N-th read of the image.
    test_support::cli_result run_tampered(const std::string& image, const std::string& when, const std::string& rewrite,
                                          const std::string& truncate)
    {
        test_support::scoped_preload preload(VORNA_TAMPER_LIB);
        test_support::scoped_env file("VORNA_TAMPER_IMAGE", image);
        test_support::scoped_env devices("VORNA_TAMPER_DEVICES", b.nor + ":" + b.emmc);
        test_support::scoped_env read("VORNA_TAMPER_READ", when);
        test_support::scoped_env rewrite_env("VORNA_TAMPER_REWRITE", rewrite);
        test_support::scoped_env truncate_env("VORNA_TAMPER_TRUNCATE", truncate);
        return run_mode("-u", b, image);
    }
};

TEST_F(TamperedImage, OnlyVerifiedBytesAreWrittenAndTheGenuineImageThenInstalls)
{
    std::string image = pack_parts({boot, big_kernel, big_rootfs});
    const bytes genuine = whole(image);
    const std::uint32_t rootfs_at = be32(genuine, entry_field(2, k_content_offset));
    const std::uint32_t changed_at = rootfs_at + 0x100000; // inside the image's third chunk
    const std::uint32_t chunk = changed_at / 0x100000 * 0x100000;
    const std::size_t chunk_len = std::min<std::size_t>(0x100000, genuine.size() - chunk);
    const board_files before(b);
    const std::string rewrite = format("%u:65536", changed_at);
    const std::string cut = std::to_string(changed_at);

    struct change {
        const char* what;
        std::string when, rewrite, truncate;
        int status;
        std::vector<std::string> tail; ///< lines after the two of the check
    };
    const std::vector<change> changes = {
        {"rewritten at the first device open",
         "",
         rewrite,
         "",
         255,
         {update_line(boot), update_line(big_kernel), update_line(big_rootfs),
          format("[ERROR]vorna_firmware:601 | firmware '%s' changed after the check, bytes {0x%x:0x%zx} differ from "
                 "the verified image.",
                 image.c_str(), chunk, chunk_len),
          k_upgrade_failed}},
        {"cut short at the first device open",
         "",
         "",
         cut,
         255,
         {update_line(boot), update_line(big_kernel), update_line(big_rootfs),
          format("[ERROR]vorna_firmware:602 | firmware '%s' changed after the check, %zu bytes at 0x%x gave %u.",
                 image.c_str(), chunk_len, chunk, changed_at - chunk),
          k_upgrade_failed}},
        // Reads of the image: its header, then the pass's chunks 0, 1 and 2.
        {"rewritten during the verification pass",
         "4",
         rewrite,
         "",
         252,
         {"[ERROR]vorna_firmware:204 | firmware RSA verify failed", ""}},
        {"cut short during the verification pass",
         "4",
         "",
         cut,
         255,
         {format("[ERROR]vorna_firmware:600 | Failed to read firmware '%s', %zu bytes at 0x%x gave %u.", image.c_str(),
                 chunk_len, chunk, changed_at - chunk)}},
    };
    for (const change& c : changes) {
        test_support::write_file(image, genuine);
        test_support::write_file(b.nor, before.nor);
        test_support::write_file(b.emmc, before.emmc);
        auto r = run_tampered(image, c.when, c.rewrite, c.truncate);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        std::vector<std::string> expected = {k_pass, k_upgradable};
        if (!c.when.empty())
            expected.clear();
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(after_lock(r), expected) << c.what;
        // The change really reached the file, and none of it reached a device: the
        // entries before it are whole, rootfs is untouched.
        EXPECT_NE(whole(image), genuine) << c.what;
        if (c.when.empty()) {
            expect_written(b.nor, boot);
            expect_written(b.emmc, big_kernel);
            expect_untouched(b.emmc, before.emmc, big_rootfs.base, big_rootfs.size);
        } else {
            EXPECT_TRUE(board_files(b) == before) << c.what;
        }
    }
    test_support::write_file(image, genuine);
    auto r = run_mode("-u", b, image);
    EXPECT_EQ(r.status, 0) << r.out;
    expect_written(b.nor, boot);
    expect_written(b.emmc, big_kernel);
    expect_written(b.emmc, big_rootfs);
}

} // namespace
