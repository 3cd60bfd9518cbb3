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

constexpr const char* k_below =
    "[ERROR]vorna_firmware:701 | firmware security_version %u is below this device's floor %u: no downgrade.";
constexpr const char* k_raised = "[INFO]vorna_firmware:704 | firmware floor raised to %u.";

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

    /// The run's last line is `line`, and no device was written.
    void expect_refused(const cli_result& r, const std::string& line, const std::string& context)
    {
        EXPECT_EQ(r.status, 250) << context << "\n" << r.out;
        EXPECT_EQ(test_support::lines_of(r.out).back(), line) << context;
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
    const struct {
        const char* bin;
        std::string path;
        unsigned version, floor;
    } cases[] = {
        {VORNA_FLOOR_0_BIN, image(4, "v4.bin"), 4, 5},
        {VORNA_FLOOR_0_BIN, image(-1, "none.bin"), 0, 5}, // an image without one counts as 0
        {VORNA_FLOOR_7_BIN, image(6, "v6.bin"), 6, 7},    // the build's floor, above the kept one
    };
    for (const auto& c : cases)
        for (const char* mode : {"-c", "-u"})
            for (const bool stream : {false, true})
                expect_refused(run(c.bin, mode, c.path, stream), format(k_below, c.version, c.floor),
                               c.path + " " + mode + (stream ? " stream" : " file"));
    EXPECT_EQ(kept(), "5\n");
    EXPECT_EQ(test_support::lines_of(test_support::run_cli({VORNA_FLOOR_7_BIN, "-V"}).out).back(), "security floor: 7");
}

// A check records after its pass only the chunks it reads: the table's and those
// of its documents. A firmware-info alone in a chunk past the contents is still
// read from the verified bytes, and a change of it after the pass is refused
// (its version then counts as none, below this build's floor).
TEST_F(SecurityFloor, ACheckHoldsAFirmwareInfoInAChunkOfItsOwnToThePass)
{
    image_plan plan;
    plan.parts = {{"kernel", 0x100000, 0x200000, "\"emmc\"", test_support::random_bytes(0x180000, 21)},
                  {"end", 0, 0, "\"nor\"", {}}};
    plan.strong_keys = {std::string(VORNA_TEST_DATA_DIR) + "/strong/key_a.pem"};
    test_support::write_file(b.dir().file("pad.bin"), test_support::random_bytes(0x180000, 22));
    plan.extra_partitions = R"({"name":"firmware-info","header":true,"text":"{\"security_version\":7}"},)"
                            R"({"name":"pad","base":0,"size":0,"type":"emmc","file":"pad.bin","oversize":true})";
    plan.no_index = true; // contents in table order: kernel, firmware-info, pad, support-list
    const std::string path = pack(b.dir(), plan, "apart.bin");
    const bytes genuine = whole(path);
    auto content_of = [&](int index) { return be32(genuine, entry_field(index, k_content_offset)); };
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(&genuine[entry_field(2, k_name)])), "firmware-info");
    ASSERT_EQ(content_of(2) >> 20, 1u);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(&genuine[entry_field(4, k_name)])), "support-list");
    ASSERT_EQ(content_of(4) >> 20, 3u);

    cli_result r = run(VORNA_FLOOR_7_BIN, "-c", path);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test_support::lines_of(r.out).back(), k_upgradable);

    // Changed at the image's sixth read (header, four chunks of the pass, then
    // the table's chunk), before the documents are read.
    cli_result changed;
    {
        test_support::scoped_preload preload(VORNA_TAMPER_LIB);
        test_support::scoped_env file("VORNA_TAMPER_IMAGE", path);
        test_support::scoped_env read("VORNA_TAMPER_READ", "6");
        test_support::scoped_env rewrite("VORNA_TAMPER_REWRITE", format("%u:8", content_of(2) + 16));
        changed = test_support::run_cli({VORNA_FLOOR_7_BIN, "-c", "-b", "0x10000", "-d", b.table, "-f", path});
    }
    ASSERT_NE(whole(path), genuine) << "the change reached the file";
    const auto lines = test_support::lines_of(changed.out);
    // A document that could not be read is a failed run, never an image
    // without a version (which a floor of 0 would let through).
    EXPECT_EQ(changed.status, 255) << changed.out;
    ASSERT_GE(lines.size(), 1u) << changed.out;
    EXPECT_EQ(lines.back(), format("[ERROR]vorna_firmware:601 | firmware '%s' changed after the check, bytes "
                                   "{0x100000:0x100000} differ from the verified image.",
                                   path.c_str()));
}

TEST_F(SecurityFloor, EqualOrHigherIsInstalledAndTheFloorOnlyGoesUp)
{
    test_support::write_text(k_floor_file, "5\n");
    const struct {
        const char* bin;
        long long version;
        bool stream;
        std::string after; ///< the kept floor after the upgrade, "" when it was not raised
    } cases[] = {
        {VORNA_FLOOR_0_BIN, 5, false, ""},    {VORNA_FLOOR_0_BIN, 5, true, ""}, {VORNA_FLOOR_0_BIN, 6, true, "6\n"},
        {VORNA_FLOOR_7_BIN, 9, false, "9\n"}, {VORNA_FLOOR_0_BIN, 9, true, ""},
    };
    std::string floor = "5\n";
    for (const auto& c : cases) {
        const std::string path = image(c.version, "v.bin");
        const std::string context = std::to_string(c.version) + (c.stream ? " stream" : " file");
        EXPECT_EQ(run(c.bin, "-c", path, c.stream).status, 0) << context;
        const cli_result r = run(c.bin, "-u", path, c.stream);
        EXPECT_EQ(r.status, 0) << context << "\n" << r.out;
        const bool says = test_support::lines_of(r.out).back() == format(k_raised, static_cast<unsigned>(c.version));
        EXPECT_EQ(says, !c.after.empty()) << context << "\n" << r.out;
        floor = c.after.empty() ? floor : c.after;
        EXPECT_EQ(kept(), floor) << context;
        EXPECT_EQ(slice(b.emmc, parts.kernel.base, parts.kernel.contents.size()), parts.kernel.contents) << context;
    }
    old = {whole(b.nor), whole(b.emmc)};
    expect_refused(run(VORNA_FLOOR_0_BIN, "-u", image(8, "v8.bin")), format(k_below, 8, 9), "below the raised floor");
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
    EXPECT_EQ(test_support::lines_of(r.out).back(), format(k_raised, 3));
    EXPECT_EQ(kept(), "3\n");
}

TEST_F(SecurityFloor, AFloorThatCannotBeReadRefusesEveryImage)
{
    const std::string v9 = image(9, "v9.bin");
    test_support::write_text(b.file("floor"), "1\n");
    // "/": a folder; "->": a link to a good floor, not followed.
    for (const std::string text : {"abc\n", "07\n", "7", "4294967296\n", "/", "->"}) {
        std::filesystem::remove_all(k_floor_file);
        if (text == "/")
            std::filesystem::create_directory(k_floor_file);
        else if (text == "->")
            std::filesystem::create_symlink(b.file("floor"), k_floor_file);
        else
            test_support::write_text(k_floor_file, text);
        const std::string why = text == "/"    ? "not a regular file"
                                : text == "->" ? "Too many levels of symbolic links"
                                               : "not a floor";
        expect_refused(run(VORNA_FLOOR_0_BIN, "-u", v9),
                       "[ERROR]vorna_firmware:702 | the firmware floor " + k_floor_file + " cannot be read (" + why +
                           "): no image is installed until it is mended.",
                       text);
    }
    EXPECT_EQ(test_support::read_text(b.file("floor")), "1\n");
}

TEST(SecurityVersionInfo, ShownWhereTheDocumentHasOne)
{
    board b;
    image_plan plan;
    plan.parts = {four_parts{}.kernel};
    plan.firmware_info = R"({"security_version":5})";
    EXPECT_NE(vorna_image({"info", pack(b.dir(), plan)}).out.find("\nsecurity version: 5\n"), std::string::npos);
}

} // namespace
