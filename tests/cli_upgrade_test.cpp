// vorna -u on a simulated board. These runs take the upgrade lock.
#include "tests/cli_firmware_support.h"

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

class FirmwareUpgrade : public testing::Test {
protected:
    board b;
    temp_dir work;
    image_part boot{"bootloader", 0x0, 0x40000, "\"nor\"", random_bytes(0x28000, 11)};
    image_part kernel{"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(90000, 12)};
    image_part radio{"radio", 0x50000, 0x40000, "\"nor\"", random_bytes(0x12345, 13)};
    image_part rootfs{"rootfs", 0x200000, 0x200000, "\"emmc\"", random_bytes(70000, 14)};

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

TEST_F(FirmwareUpgrade, AnInvalidTypeStopsTheWalk)
{
    image_part bad = radio;
    bad.type = "2";
    bytes emmc_before = whole(b.emmc);
    bytes nor_before = whole(b.nor);
    auto r = run_mode("-u", b, pack_parts({boot, kernel, bad, rootfs}));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(boot), update_line(kernel), update_line(bad),
                                    "[ERROR]vorna_firmware:361 | PTN [radio] type 2 is invalid.", k_upgrade_failed}));
    expect_written(b.nor, boot);
    expect_written(b.emmc, kernel);
    expect_untouched(b.nor, nor_before, radio.base, radio.size);
    expect_untouched(b.emmc, emmc_before, rootfs.base, rootfs.contents.size());
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
    EXPECT_EQ(after_lock(r), lines({k_pass, k_upgradable, update_line(bad),
                                    "[ERROR]vorna_firmware:361 | PTN [radio] type -1 is invalid.", k_upgrade_failed}));
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

TEST_F(FirmwareUpgrade, AFailedNorWriteFailsTheUpgradeButTheWalkGoesOn)
{
    image_part too_large = radio;
    too_large.contents = random_bytes(0x100000 - radio.base + 1, 15);
    auto r = run_mode("-u", b, pack_parts({too_large, kernel}));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_lock(r),
              lines({k_pass, k_upgradable, update_line(too_large),
                     format("[ERROR]vorna_file:249 | write overflow offset=%u buf_size=%zu file=%d", radio.base,
                            too_large.contents.size(), 0x100000),
                     update_line(kernel), k_upgrade_failed}));
    expect_written(b.emmc, kernel);
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
    if (::geteuid() == 0) {
        // Run as a user for whom mode 0444 means read-only; that user needs the
        // devices, the folders and the lock file.
        for (const auto* dir : {&work.path(), &b.dir().path()})
            std::filesystem::permissions(*dir, std::filesystem::perms::all);
        for (const std::string& dev : {b.nor, b.emmc})
            ::chmod(dev.c_str(), 0666);
        int fd = ::open("/tmp/vorna_firmware_upgrade.pid", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::fchmod(fd, 0666);
        // The lock file is refused unless it belongs to the user who runs vorna.
        ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
        ::close(fd);
        argv = test_support::emulated(argv);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    auto r = run_locked(argv);
    if (::geteuid() == 0) { // back to root, whose runs come next
        ASSERT_EQ(::chown("/tmp/vorna_firmware_upgrade.pid", 0, 0), 0);
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
    // NOR entries, since each NOR write ends with a sync of the whole system.
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

} // namespace
