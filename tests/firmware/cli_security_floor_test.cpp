// SPDX-License-Identifier: Apache-2.0
// The floor for firmware versions: -c and -u (file and stream) refuse an image
// whose security_version is below the device's floor before any write; a
// completed -u raises the kept floor, and only then. The programs keep their
// floor in a state folder of their own (VORNA_FLOOR_STATE_DIR).
#include "tests/firmware/cli_firmware_support.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <filesystem>

using namespace firmware_cli;
using test_support::cli_result;

namespace {

const std::string k_floor_file = std::string(VORNA_FLOOR_STATE_DIR) + "/security-floor";

std::string below(unsigned version, unsigned floor)
{
    return format("[ERROR]vorna_firmware:701 | firmware security_version %u is below this device's floor %u: no "
                  "downgrade.",
                  version, floor);
}

std::string raised(unsigned version)
{
    return format("[INFO]vorna_firmware:704 | firmware floor raised to %u.", version);
}

/// The usual board; images of its four partitions with the security_version given.
class SecurityFloor : public ::testing::Test {
protected:
    SecurityFloor()
    {
        std::filesystem::remove_all(k_floor_file);
        old = {whole(b.nor), whole(b.emmc)};
    }
    ~SecurityFloor() override { std::filesystem::remove_all(k_floor_file); }

    /// An image whose firmware-info carries `version` (none when negative).
    std::string image(long long version, const std::string& name)
    {
        image_plan plan;
        plan.parts = {parts.boot, parts.kernel, parts.radio, parts.rootfs};
        plan.strong_keys = {std::string(VORNA_TEST_DATA_DIR) + "/strong/key_a.pem"};
        plan.firmware_info =
            version < 0 ? R"({"version":"2.1.7"})" : format(R"({"version":"2.1.7","security_version":%lld})", version);
        return pack(b.dir(), plan, name);
    }

    /// `bin MODE` of `image` from its file or through standard input, the devices' writes logged.
    cli_result run(const char* bin, const char* mode, const std::string& path, bool stream = false)
    {
        std::filesystem::remove(log);
        test_support::scoped_env files("VORNA_FAULT_FILES", b.nor + ":" + b.emmc);
        test_support::scoped_env logged("VORNA_FAULT_LOG", log);
        test_support::scoped_preload shim(VORNA_FAULT_SHIM);
        if (!stream)
            return run_locked({bin, mode, "-b", "0x10000", "-d", b.table, "-f", path});
        for (int attempt = 0;; ++attempt) {
            cli_result r =
                test_support::run_cli_fed({bin, mode, "-b", "0x10000", "-d", b.table, "-f", "-"}, whole(path));
            if (r.status != 255 || r.err.find("already locked") == std::string::npos || attempt == 300)
                return r;
            ::usleep(200000);
        }
    }

    void expect_untouched(const std::string& context)
    {
        EXPECT_FALSE(std::filesystem::exists(log)) << context << ": a device was written";
        EXPECT_EQ(whole(b.nor), old[0]) << context;
        EXPECT_EQ(whole(b.emmc), old[1]) << context;
    }

    static std::string kept()
    {
        return std::filesystem::exists(k_floor_file) ? test_support::read_text(k_floor_file) : "none";
    }

    board b;
    four_parts parts;
    std::array<bytes, 2> old;
    std::string log = b.file("writes.log");
};

TEST_F(SecurityFloor, BelowTheFloorIsRefusedBeforeAnyWriteFromAFileAndAStream)
{
    test_support::write_text(k_floor_file, "5\n");
    const std::string v4 = image(4, "v4.bin"), none = image(-1, "none.bin");
    const struct {
        const char* bin;
        std::string path;
        unsigned version, floor;
    } cases[] = {
        {VORNA_FLOOR_0_BIN, v4, 4, 5},
        {VORNA_FLOOR_0_BIN, none, 0, 5},               // an image without one counts as 0
        {VORNA_FLOOR_7_BIN, image(6, "v6.bin"), 6, 7}, // the build's floor, above the kept one
    };
    for (const auto& c : cases) {
        for (const char* mode : {"-c", "-u"}) {
            for (const bool stream : {false, true}) {
                const std::string context = c.path + " " + mode + (stream ? " stream" : " file");
                const cli_result r = run(c.bin, mode, c.path, stream);
                EXPECT_EQ(r.status, 250) << context << "\n" << r.out;
                const std::vector<std::string> lines = test_support::lines_of(r.out);
                ASSERT_FALSE(lines.empty()) << context;
                EXPECT_EQ(lines.back(), below(c.version, c.floor)) << context;
                EXPECT_EQ(r.out.find(k_upgradable), std::string::npos) << context;
                expect_untouched(context);
            }
        }
    }
    EXPECT_EQ(kept(), "5\n");
}

TEST_F(SecurityFloor, EqualOrHigherIsInstalledAndTheFloorOnlyGoesUp)
{
    test_support::write_text(k_floor_file, "5\n");
    const struct {
        long long version;
        bool stream;
        std::string after; ///< the kept floor after the upgrade
        bool says_raised;
    } cases[] = {
        {5, false, "5\n", false}, {5, true, "5\n", false}, {6, true, "6\n", true},
        {9, false, "9\n", true},  {9, true, "9\n", false},
    };
    for (const auto& c : cases) {
        const std::string path = image(c.version, "v.bin");
        const std::string context = std::to_string(c.version) + (c.stream ? " stream" : " file");
        cli_result r = run(VORNA_FLOOR_0_BIN, "-c", path, c.stream);
        EXPECT_EQ(r.status, 0) << context << "\n" << r.out;
        r = run(VORNA_FLOOR_0_BIN, "-u", path, c.stream);
        EXPECT_EQ(r.status, 0) << context << "\n" << r.out;
        const std::vector<std::string> lines = test_support::lines_of(r.out);
        EXPECT_EQ(lines.back() == raised(static_cast<unsigned>(c.version)), c.says_raised) << context << "\n" << r.out;
        EXPECT_EQ(kept(), c.after) << context;
        EXPECT_EQ(slice(b.emmc, parts.kernel.base, parts.kernel.contents.size()), parts.kernel.contents) << context;
    }
    // A lower one is now refused.
    EXPECT_EQ(run(VORNA_FLOOR_0_BIN, "-c", image(8, "v8.bin")).status, 250);
}

TEST_F(SecurityFloor, RaisedOnlyAfterTheLastDeviceSync)
{
    const std::string v3 = image(3, "v3.bin");
    test_support::write_text(k_floor_file, "2\n");
    // Killed at the first write, and right after the last entry's sync: the
    // devices may hold the whole image, but the floor keeps its old value until
    // an upgrade has completed (the rerun that completes it raises it).
    for (const auto& [variable, at] : {std::pair{"VORNA_FAULT_KILL_AT", "1"}, {"VORNA_FAULT_KILL_AFTER_SYNC", "4"}}) {
        test_support::scoped_env kill(variable, at);
        const cli_result r = run(VORNA_FLOOR_0_BIN, "-u", v3);
        EXPECT_EQ(r.status, 128 + SIGKILL) << variable << "\n" << r.out;
        EXPECT_EQ(kept(), "2\n") << variable;
        for (const auto& entry : std::filesystem::directory_iterator(VORNA_FLOOR_STATE_DIR))
            EXPECT_NE(entry.path().filename().string().rfind(".security-floor", 0), 0u)
                << "a temporary floor left behind: " << entry.path();
    }
    const image_part& last = parts.rootfs;
    EXPECT_EQ(slice(b.emmc, last.base, last.contents.size()), last.contents) << "killed after the last sync";
    const cli_result r = run(VORNA_FLOOR_0_BIN, "-u", v3);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test_support::lines_of(r.out).back(), raised(3));
    EXPECT_EQ(kept(), "3\n");
}

TEST_F(SecurityFloor, TheBuildsFloorIsShownAndNeverWrittenAsSuch)
{
    EXPECT_EQ(test_support::lines_of(test_support::run_cli({VORNA_FLOOR_7_BIN, "-V"}).out).back(), "security floor: 7");
    EXPECT_EQ(
        test_support::lines_of(test_support::run_cli({VORNA_FLOOR_0_BIN, "-V"}).out).back().rfind("strong key: ", 0),
        0u)
        << "a build without a floor prints what it did before";
    const cli_result r = run(VORNA_FLOOR_7_BIN, "-u", image(7, "v7.bin"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(kept(), "7\n") << "the installed image's version is kept";
}

TEST_F(SecurityFloor, AFloorThatCannotBeReadRefusesEveryImage)
{
    const std::string v9 = image(9, "v9.bin");
    const struct {
        std::string text; ///< written to the floor file; "/" makes it a folder
        std::string why;
    } cases[] = {
        {"abc\n", "not a floor"},        {"07\n", "not a floor"}, {"7", "not a floor"},
        {"4294967296\n", "not a floor"}, {"", "not a floor"},     {"/", "not a regular file"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(k_floor_file);
        if (c.text == "/")
            std::filesystem::create_directory(k_floor_file);
        else
            test_support::write_text(k_floor_file, c.text);
        for (const char* mode : {"-c", "-u"}) {
            const cli_result r = run(VORNA_FLOOR_0_BIN, mode, v9);
            EXPECT_EQ(r.status, 250) << c.text << " " << mode;
            EXPECT_EQ(test_support::lines_of(r.out).back(), "[ERROR]vorna_firmware:702 | the firmware floor " +
                                                                k_floor_file + " cannot be read (" + c.why +
                                                                "): no image is installed until it is mended.")
                << c.text << " " << mode;
            expect_untouched(c.text);
        }
    }
    // A link is not followed, even to a good floor.
    std::filesystem::remove_all(k_floor_file);
    test_support::write_text(b.file("floor"), "1\n");
    std::filesystem::create_symlink(b.file("floor"), k_floor_file);
    EXPECT_EQ(run(VORNA_FLOOR_0_BIN, "-u", v9).status, 250);
    EXPECT_EQ(test_support::read_text(b.file("floor")), "1\n");
}

TEST_F(SecurityFloor, InfoShowsTheValueTheDeviceCounts)
{
    const std::string v5 = image(5, "v5.bin");
    const cli_result text = vorna_image({"info", v5});
    EXPECT_NE(text.out.find("\nsecurity version: 5\n"), std::string::npos) << text.out;
    const cli_result json = vorna_image({"info", "--json", v5});
    EXPECT_NE(json.out.find("\"security_version\":\t5"), std::string::npos) << json.out;
    // Without one, info reads as it did.
    EXPECT_EQ(vorna_image({"info", image(-1, "none.bin")}).out.find("security version"), std::string::npos);
}

} // namespace
