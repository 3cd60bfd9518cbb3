// SPDX-License-Identifier: Apache-2.0
// vorna -c and -v, and the image subcommands of vorna-image, on real files.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace {

using namespace firmware_cli;
using test_support::lines_of;
using test_support::random_bytes;
using test_support::temp_dir;
using test_support::write_text;

const std::string k_not_allowed = "[ERROR]vorna_firmware:465 | Firmware is not allowed to upgrade into this device.";
const std::string k_rsa_failed = "[ERROR]vorna_firmware:204 | firmware RSA verify failed";

image_plan two_parts()
{
    image_plan plan;
    plan.parts = {{"bootloader", 0x0, 0x40000, "\"nor\"", random_bytes(70000, 1)},
                  {"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(50000, 2)}};
    return plan;
}

/// Every file of the board, to show that a check writes nothing.
struct board_snapshot {
    explicit board_snapshot(const board& b) : table(whole(b.table)), nor(whole(b.nor)), emmc(whole(b.emmc))
    {
    }
    bool operator==(const board_snapshot&) const = default;
    bytes table, nor, emmc;
};

/// Runs `argv` as an unprivileged user when the tests run as root, for whom file
/// modes are no obstacle; `dirs` are opened to that user.
test_support::cli_result unprivileged(std::vector<std::string> argv, const std::vector<const temp_dir*>& dirs)
{
    if (::geteuid() == 0) {
        for (const temp_dir* dir : dirs)
            std::filesystem::permissions(dir->path(), std::filesystem::perms::all);
        argv = test_support::emulated(argv);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    return test_support::run_cli(argv);
}

/// The last line printed, or "" when nothing was (so a failure shows instead of a crash).
std::string last_line(const std::string& out)
{
    auto lines = lines_of(out);
    return lines.empty() ? std::string() : lines.back();
}

class FirmwareCheck : public testing::Test {
protected:
    board b;
    temp_dir work;
};

TEST_F(FirmwareCheck, AValidImagePassesAndNothingIsWritten)
{
    std::string image = pack(work, two_parts());
    bytes before = whole(image);
    auto mtime = mtime_ns(image);
    board_snapshot devices(b);

    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_upgradable}));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(board_snapshot(b) == devices);
    EXPECT_EQ(whole(image), before);
    EXPECT_EQ(mtime_ns(image), mtime);
}

TEST_F(FirmwareCheck, HeaderFaultsEndWith254)
{
    std::string image = pack(work, two_parts());
    bytes good = whole(image);

    // The magic stored in the wrong byte order: no size line, no signature check.
    patch_be32(image, 4, 0x8FD955AA);
    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "[ERROR]vorna_firmware:190 | Invalid magic number.\n");

    test_support::write_file(image, good);
    patch_be32(image, 12, static_cast<std::uint32_t>(good.size() + 1));
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, format("[ERROR]vorna_firmware:196 | firmware size un-match, firmware_size is %zu "
                            "header[total_len] is %zu.\n",
                            good.size(), good.size() + 1));

    // Too short to hold the signature field, though magic and length agree.
    bytes tiny(good.begin(), good.begin() + 400);
    test_support::write_file(image, tiny);
    patch_be32(image, 12, 400);
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "[ERROR]vorna_firmware:199 | firmware too short, firmware_size is 400, at least 432 bytes "
                     "needed.\n");
}

TEST_F(FirmwareCheck, SignatureFaultsEndWith252)
{
    std::string image = pack(work, two_parts());
    const bytes good = whole(image);
    auto expect_refused = [&](const bytes& data, const char* what) {
        test_support::write_file(image, data);
        EXPECT_FALSE(openssl_verifies(image)) << what;
        auto r = run_mode("-c", b, image);
        EXPECT_EQ(r.status, 252) << what;
        EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_rsa_failed, ""})) << what;
    };
    for (std::size_t at : {std::size_t{20}, std::size_t{300}, std::size_t{304}, std::size_t{431}, std::size_t{5000},
                           good.size() - 1}) {
        bytes data = good;
        data[at] ^= 0x80;
        expect_refused(data, "flipped bit");
    }
    bytes zero = good;
    std::fill(zero.begin() + 304, zero.begin() + 432, 0);
    expect_refused(zero, "zero signature");

    // Signed with some other key.
    auto r = vorna_image({"keygen", work.file("other.pem"), work.file("other.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string other = work.file("other.bin");
    test_support::write_file(other, good);
    ASSERT_EQ(vorna_image({"sign", other, work.file("other.pem")}).status, 0);
    expect_refused(whole(other), "other key");

    // Bytes 0..19 are not signed: the first word may change freely.
    bytes first_word = good;
    first_word[0] ^= 0xFF;
    test_support::write_file(image, first_word);
    EXPECT_EQ(run_mode("-c", b, image).status, 0);
}

TEST_F(FirmwareCheck, ImagesNotForThisDeviceEndWith251)
{
    for (const std::string& list : {support_list_for("Vorna-Test", "2.2", k_special),
                                    support_list_for("vorna-test", k_version, k_special),
                                    support_list_for(k_product, k_version, "55530001"), std::string(R"({"support-list":[]})"),
                                    std::string()}) {
        image_plan plan = two_parts();
        plan.support_list = list;
        std::string image = pack(work, plan);
        auto r = run_mode("-c", b, image);
        EXPECT_EQ(r.status, 251) << list;
        EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_not_allowed})) << list;
    }
}

TEST_F(FirmwareCheck, TheLastSupportListCounts)
{
    const std::string ours = support_list_for();
    const std::string theirs = support_list_for("Other", "1", "x");
    auto with_lists = [&](const std::string& first, const std::string& second) {
        image_plan plan = two_parts();
        plan.support_list.clear();
        plan.extra_partitions = R"({"name":"support-list","size":"0","type":"nor","header":true,"json":)" + first +
                                R"(},{"name":"support-list","size":"0","type":"nor","header":true,"json":)" + second +
                                "}";
        return pack(work, plan);
    };
    EXPECT_EQ(run_mode("-c", b, with_lists(theirs, ours)).status, 0);
    auto r = run_mode("-c", b, with_lists(ours, theirs));
    EXPECT_EQ(r.status, 251);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_not_allowed}));

    // A malformed later list fails the image though the first one names the device.
    r = run_mode("-c", b, with_lists(ours, R"({"support-list":[{"product_name":"P"}]})"));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass, "[ERROR]vorna_ptn_support_list:152 | ptn json 'product_version' not found.",
                                        "[ERROR]vorna_ptn_support_list:174 | Failed to parse json.",
                                        "[ERROR]vorna_ptn_support_list:222 | Faield to parse support list of firmware.",
                                        "[ERROR]vorna_firmware:459 | Faield to build supportlist of firmware."}));
}

TEST_F(FirmwareCheck, SupportListLimits)
{
    std::string element = R"({"product_name":"Other","product_version":"1","special_id":"x"})";
    std::string many;
    for (int i = 0; i < 63; ++i)
        many += element + ",";
    many += R"({"product_name":"Vorna-Test","product_version":"2.1","special_id":"55530000"})";
    image_plan plan = two_parts();
    plan.support_list = R"({"support-list":[)" + many + "]}";
    EXPECT_EQ(run_mode("-c", b, pack(work, plan)).status, 0);

    plan.support_list = R"({"support-list":[)" + element + "," + many + "]}";
    auto r = run_mode("-c", b, pack(work, plan));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass, "[ERROR]vorna_ptn_support_list:140 | too much entry, 65/64.",
                                        "[ERROR]vorna_ptn_support_list:174 | Failed to parse json.",
                                        "[ERROR]vorna_ptn_support_list:222 | Faield to parse support list of firmware.",
                                        "[ERROR]vorna_firmware:459 | Faield to build supportlist of firmware."}));

    plan.support_list = support_list_for(k_product, "2.1-0123456789ab", k_special);
    r = run_mode("-c", b, pack(work, plan));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out).at(1), "[ERROR]vorna_ptn_support_list:152 | ptn json 'name' string len too long, "
                                     "'2.1-0123456789ab', 16/16");
}

TEST_F(FirmwareCheck, AReadOnlyImageChecksAndStaysAsItWas)
{
    std::string image = pack(work, two_parts());
    bytes before = whole(image);
    ::chmod(image.c_str(), 0444);
    auto mtime = mtime_ns(image);
    auto r = unprivileged({VORNA_BIN, "-c", "-b", "0x10000", "-d", b.table, "-f", image}, {&work, &b.dir()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_upgradable}));
    EXPECT_EQ(whole(image), before);
    EXPECT_EQ(mtime_ns(image), mtime);
}

TEST_F(FirmwareCheck, AnImageThatCannotBeReadIsRefused)
{
    std::string missing = work.file("missing.bin");
    auto r = run_mode("-c", b, missing);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[ERROR]vorna_firmware:417 | Failed to get file size, file='" + missing + "'\n");

    std::string image = pack(work, two_parts());
    ::chmod(image.c_str(), 0200);
    r = unprivileged({VORNA_BIN, "-c", "-b", "0x10000", "-d", b.table, "-f", image}, {&work, &b.dir()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(last_line(r.out), "[ERROR]vorna_firmware:417 | Failed to get file size, file='" + image + "'");
}

TEST_F(FirmwareCheck, WalkedEntriesMustFitTheImageAndTheDevice)
{
    board_snapshot devices(b);
    // Contents of the second entry reaching one byte past the end of the file.
    std::string image = pack(work, two_parts());
    bytes data = whole(image);
    std::uint32_t offset = be32(data, entry_field(1, k_content_offset));
    patch_be32(image, entry_field(1, k_content_size), static_cast<std::uint32_t>(data.size() - offset + 1));
    resign(image);
    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass, format("[ERROR]vorna_firmware:330 | PTN[kernel] content "
                                                       "{0x%08x:0x%08x} lies outside the firmware (%zu bytes).",
                                                       offset, static_cast<unsigned>(data.size() - offset + 1),
                                                       data.size())}));
    // An offset whose sum with the size wraps around 32 bits.
    patch_be32(image, entry_field(1, k_content_offset), 0xFFFFFF00);
    patch_be32(image, entry_field(1, k_content_size), 0x200);
    resign(image);
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(last_line(r.out).substr(0, 49), "[ERROR]vorna_firmware:330 | PTN[kernel] content {");

    // A name the device does not have.
    image_plan plan = two_parts();
    plan.parts[1].name = "kernel2";
    r = run_mode("-c", b, pack(work, plan));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass, "[ERROR]vorna_firmware:333 | PTN[kernel2] is not a partition of this "
                                                "device."}));

    // A name that fills all 32 bytes: printed as its 32 characters, and refused.
    image = pack(work, two_parts());
    data = whole(image);
    std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(entry_field(0, k_name)), 32, 'n');
    test_support::write_file(image, data);
    resign(image);
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(last_line(r.out),
              "[ERROR]vorna_firmware:333 | PTN[" + std::string(32, 'n') + "] is not a partition of this device.");

    // Entries behind the first of size 0 are not walked, so not checked either.
    plan = two_parts();
    plan.parts.push_back({"nowhere", 0, 0, "\"nor\"", {1, 2, 3}});
    plan.parts.push_back({"unknown", 0, 0x1000, "\"nor\"", {1, 2, 3}});
    EXPECT_EQ(run_mode("-c", b, pack(work, plan)).status, 0);
    EXPECT_TRUE(board_snapshot(b) == devices);
}

TEST_F(FirmwareCheck, TheTableMustLieInsideTheFile)
{
    std::string image = pack(work, two_parts());
    std::size_t size = whole(image).size();
    // The table offset lies outside the signed bytes, so no new signature is needed.
    patch_be32(image, 8, static_cast<std::uint32_t>(size - 1663));
    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass,
                                        "[ERROR]vorna_firmware:281 | firmware ptn_table needs 1664 bytes, only 1663 "
                                        "left in the file.",
                                        "[ERROR]vorna_firmware:452 | Failed to build firmware ptn_table"}));
    patch_be32(image, 8, 0xFFFFFFF0);
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out).at(1), "[ERROR]vorna_firmware:281 | firmware ptn_table needs 1664 bytes, only 0 left in "
                                     "the file.");
}

TEST_F(FirmwareCheck, SupportListContentsMustFit)
{
    image_plan plan = two_parts();
    std::string image = pack(work, plan);
    bytes data = whole(image);
    // pack puts the support list right behind the listed partitions.
    ASSERT_EQ(std::string(data.begin() + static_cast<std::ptrdiff_t>(entry_field(2, k_name)),
                          data.begin() + static_cast<std::ptrdiff_t>(entry_field(2, k_name)) + 12),
              "support-list");
    std::uint32_t offset = be32(data, entry_field(2, k_content_offset));
    std::uint32_t content_size = be32(data, entry_field(2, k_content_size));

    patch_be32(image, offset + 8, content_size - 15);
    resign(image);
    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass,
                                        format("[ERROR]vorna_ptn_support_list:218 | firmware partition [0x%08x] "
                                               "content_len %u exceeds its %u content bytes.",
                                               offset, content_size - 15, content_size - 16),
                                        "[ERROR]vorna_firmware:459 | Faield to build supportlist of firmware."}));

    test_support::write_file(image, data);
    patch_be32(image, entry_field(2, k_content_size), static_cast<std::uint32_t>(data.size() - offset + 1));
    resign(image);
    r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out).at(1).rfind("[ERROR]vorna_ptn_support_list:208 | firmware partition [", 0), 0u);
    EXPECT_EQ(lines_of(r.out).size(), 3u);
}

class FirmwareInfo : public testing::Test {
protected:
    temp_dir work;
    std::string out = work.file("info.out");
};

TEST_F(FirmwareInfo, ExportsTheDocumentExactly)
{
    image_plan plan = two_parts();
    plan.firmware_info = "\"info.json\"";
    std::string doc(300, 'i');
    write_text(work.file("info.json"), doc);
    std::string image = pack(work, plan);
    write_text(out, std::string(1000, 'o')); // a longer file is cut to the document
    bytes before = whole(image);
    auto mtime = mtime_ns(image);

    auto r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, k_pass + "\n");
    EXPECT_EQ(test_support::read_text(out), doc);
    EXPECT_EQ(whole(image), before);
    EXPECT_EQ(mtime_ns(image), mtime);
}

// Another process rewrites a document of the image in place right after the
// verification pass (the preloaded library does it at the image's fifth read:
// header, two chunks of the pass, the table, then the document's chunk). The
// check and the export use only the verified bytes, so both refuse.
TEST(FirmwareDocuments, ChangedAfterThePassAreRefused)
{
    board b;
    temp_dir work;
    image_plan plan;
    plan.parts = {{"kernel", 0x100000, 0x200000, "\"emmc\"", random_bytes(0x180000, 3)}};
    plan.firmware_info = "\"info.json\"";
    plan.no_index = true; // the documents last, in the image's last chunk
    write_text(work.file("info.json"), R"({"version":"1.2.3"})");
    const std::string image = pack(work, plan);
    const bytes genuine = whole(image);
    auto document_at = [&](const char* name) {
        for (int i = 0; i < 32; ++i) {
            if (std::string(reinterpret_cast<const char*>(&genuine[entry_field(i, k_name)])) == name)
                return be32(genuine, entry_field(i, k_content_offset)) + 16;
        }
        ADD_FAILURE() << name;
        return 0u;
    };
    const std::string changed =
        format("[ERROR]vorna_firmware:601 | firmware '%s' changed after the check, bytes {0x100000:0x%zx} differ "
               "from the verified image.",
               image.c_str(), genuine.size() - 0x100000);
    auto tampered = [&](const char* name, const std::vector<std::string>& args) {
        test_support::write_file(image, genuine);
        test_support::scoped_preload preload(VORNA_TAMPER_LIB);
        test_support::scoped_env file("VORNA_TAMPER_IMAGE", image);
        test_support::scoped_env read("VORNA_TAMPER_READ", "5");
        test_support::scoped_env rewrite("VORNA_TAMPER_REWRITE", format("%u:8", document_at(name)));
        auto r = vorna(args);
        EXPECT_NE(whole(image), genuine) << name << ": the change reached the file";
        return r;
    };

    auto r = tampered("support-list", {"-c", "-b", "0x10000", "-d", b.table, "-f", image});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   k_pass, changed,
                                   "[ERROR]vorna_firmware:459 | Faield to build supportlist of firmware."}));

    const std::string out = work.file("info.out");
    r = tampered("firmware-info", {"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, changed}));
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(FirmwareInfo, NoDocumentWritesNothing)
{
    std::string image = pack(work, two_parts());
    auto r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, k_pass + "\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(FirmwareInfo, TheSecondOfTwoWinsAndSizeZeroEntriesAreScanned)
{
    image_plan plan = two_parts();
    plan.parts.push_back({"end", 0, 0, "\"nor\"", {}});
    plan.extra_partitions = R"({"name":"firmware-info","header":true,"text":"first, and longer"},)"
                            R"({"name":"firmware-info","header":true,"text":"second"})";
    auto r = vorna({"-v", "-f", pack(work, plan), "-o", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_support::read_text(out), "second");
}

TEST_F(FirmwareInfo, Failures)
{
    image_plan plan = two_parts();
    plan.no_index = true; // the document is the last thing in the file
    plan.firmware_info = "\"empty.json\"";
    write_text(work.file("empty.json"), "");
    auto r = vorna({"-v", "-f", pack(work, plan), "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, "[ERROR]vorna_firmware:579 | Faield to write "
                                                                 "firmware info to (" + out + ")."}));

    // A document that claims more than its entry holds, and contents outside the file.
    plan.firmware_info = R"({"version":"1"})";
    std::string image = pack(work, plan);
    bytes data = whole(image);
    std::uint32_t offset = be32(data, entry_field(3, k_content_offset));
    std::uint32_t content_size = be32(data, entry_field(3, k_content_size));
    patch_be32(image, offset + 8, content_size - 15);
    resign(image);
    r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, format("[ERROR]vorna_firmware:575 | firmware "
                                                                        "partition [0x%08x] content_len %u exceeds its "
                                                                        "%u content bytes.",
                                                                        offset, content_size - 15, content_size - 16)}));
    EXPECT_FALSE(std::filesystem::exists(out));
    test_support::write_file(image, data);
    patch_be32(image, entry_field(3, k_content_size), content_size + 1);
    resign(image);
    r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out).at(1).substr(0, 45), "[ERROR]vorna_firmware:566 | firmware partitio");
    EXPECT_FALSE(std::filesystem::exists(out));

    // Signature and header faults come from the header check.
    test_support::write_file(image, data);
    patch_be32(image, 12, 1);
    EXPECT_EQ(vorna({"-v", "-f", image, "-o", out}).status, 254);
    test_support::write_file(image, data);
    patch_be32(image, offset + 16, 0x20202020);
    EXPECT_EQ(vorna({"-v", "-f", image, "-o", out}).status, 252);
    EXPECT_FALSE(std::filesystem::exists(out));
}

// The output is replaced whole or not at all; devices and pipes are written in
// place; the image itself is never an output.
TEST_F(FirmwareInfo, OutputIsReplacedWholeOrLeftAsItWas)
{
    image_plan plan = two_parts();
    plan.firmware_info = "\"info.json\"";
    const std::string doc(3000, 'i');
    write_text(work.file("info.json"), doc);
    std::string image = pack(work, plan);
    const bytes before = whole(image);

    auto r = vorna({"-v", "-f", image, "-o", image});
    EXPECT_EQ(r.out, "[ERROR]vorna_firmware:700 | output " + image + " is the firmware " + image + ".\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(whole(image), before);

    write_text(out, "previous");
    {
        test_support::file_size_limit limit(1000); // the disk fills up halfway
        r = vorna({"-v", "-f", image, "-o", out});
    }
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(test_support::read_text(out), "previous");
    for (const auto& e : std::filesystem::directory_iterator(work.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".vorna-", 0), std::string::npos) << e.path();

    // fsync of a character device fails with EINVAL: not a failed export.
    r = vorna({"-v", "-f", image, "-o", "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(FirmwareInfo, ImagesThatCannotBeReadOrDecodedAreRefused)
{
    std::string missing = work.file("missing.bin");
    auto r = vorna({"-v", "-f", missing, "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[ERROR]vorna_firmware:523 | Failed to get file size, file='" + missing + "'\n");

    image_plan plan = two_parts();
    plan.firmware_info = R"({"version":"1"})";
    std::string image = pack(work, plan);
    bytes data = whole(image);
    // The table offset is not signed.
    patch_be32(image, 8, static_cast<std::uint32_t>(data.size() - 1000));
    r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{k_pass,
                                        "[ERROR]vorna_firmware:281 | firmware ptn_table needs 1664 bytes, only 1000 "
                                        "left in the file.",
                                        "[ERROR]vorna_firmware:558 | Failed to build firmware ptn_table"}));

    // Contents whose header has the wrong magic: the header decoder speaks first.
    test_support::write_file(image, data);
    std::uint32_t offset = be32(data, entry_field(3, k_content_offset));
    patch_be32(image, offset + 4, 0x8FD955AA);
    resign(image);
    r = vorna({"-v", "-f", image, "-o", out});
    EXPECT_EQ(r.status, 255);
    auto printed = lines_of(r.out);
    ASSERT_EQ(printed.size(), 3u) << r.out;
    EXPECT_EQ(printed[0], k_pass);
    EXPECT_EQ(printed[1].rfind("[ERROR]vorna_ptn_header:94 | ", 0), 0u);
    EXPECT_EQ(printed[2], format("[ERROR]vorna_firmware:571 | firmware partition [0x%08x] is not a valid partition.",
                                 offset));
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(FirmwareInfo, AReadOnlyImageExports)
{
    image_plan plan = two_parts();
    plan.firmware_info = R"({"version":"1.2.3"})";
    std::string image = pack(work, plan);
    ::chmod(image.c_str(), 0444);
    auto r = unprivileged({VORNA_BIN, "-v", "-f", image, "-o", out}, {&work});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(test_support::read_text(out), R"({"version":"1.2.3"})");
}

class ImageTool : public testing::Test {
protected:
    temp_dir work;
};

TEST_F(ImageTool, KeygenMakesAKeyThatSignsAndVerifies)
{
    auto r = vorna_image({"keygen", work.file("k.pem"), work.file("k.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string blob = test_support::read_text(work.file("k.txt"));
    ASSERT_EQ(blob.size(), 201u);
    EXPECT_EQ(blob.back(), '\n');

    // The blob's modulus is the key's, as openssl sees it.
    std::string modulus_file = work.file("modulus.txt");
    std::string cmd = "openssl rsa -in '" + work.file("k.pem") + "' -noout -modulus > '" + modulus_file + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string modulus = test_support::read_text(modulus_file);
    cmd = "printf '%s' '" + blob.substr(0, 200) + "' | base64 -d > '" + work.file("k.bin") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    bytes raw = whole(work.file("k.bin"));
    ASSERT_EQ(raw.size(), 148u);
    EXPECT_EQ(bytes(raw.begin(), raw.begin() + 20),
              (bytes{0x06, 0x02, 0, 0, 0, 0xA4, 0, 0, 'R', 'S', 'A', '1', 0, 4, 0, 0, 1, 0, 1, 0}));
    std::string hex_modulus = "Modulus=";
    for (auto it = raw.rbegin(); it != raw.rbegin() + 128; ++it)
        hex_modulus += format("%02X", *it);
    EXPECT_EQ(modulus, hex_modulus + "\n");

    // info verifies with the matching blob only.
    std::string manifest = work.file("m.json");
    write_text(manifest, R"({"partitions":[{"name":"a","base":"0x1000","type":"nor","text":"abc"}]})");
    ASSERT_EQ(vorna_image({"pack", manifest, work.file("k.pem"), work.file("fw.bin")}).status, 0);
    r = vorna_image({"info", work.file("fw.bin"), work.file("k.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("signature:        verifies with " + work.file("k.txt")), std::string::npos) << r.out;
    r = vorna_image({"info", work.file("fw.bin"), dev_key_blob()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("signature:        does NOT verify"), std::string::npos) << r.out;
}

TEST_F(ImageTool, PackLaysTheImageOut)
{
    image_plan plan = two_parts();
    plan.firmware_info = R"({"v":1})";
    std::string image = pack(work, plan);
    bytes data = whole(image);
    EXPECT_EQ(be32(data, 4), 0xAA55D98Fu);
    EXPECT_EQ(be32(data, 8), 4096u);
    EXPECT_EQ(be32(data, 12), data.size());
    // In stream order: after the header and the table the documents and the
    // chunk index (entries of size 0, which the upgrade does not write), then
    // the contents the upgrade writes, in table order, up to the image's end.
    std::uint32_t at = 4096 + 1664;
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(be32(data, entry_field(i, k_content_offset)), at) << i;
        EXPECT_EQ(be32(data, entry_field(i, k_size)), 0u) << i;
        at += be32(data, entry_field(i, k_content_size));
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[entry_field(4, k_name)])), "chunk-index");
    EXPECT_EQ(be32(data, at - be32(data, entry_field(4, k_content_size))), 0x56494458u); // "VIDX"
    const std::uint32_t kernel_at = at + 70000;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(be32(data, entry_field(i, k_content_offset)), at);
        std::uint32_t n = be32(data, entry_field(i, k_content_size));
        EXPECT_EQ(bytes(data.begin() + at, data.begin() + at + n), plan.parts[static_cast<std::size_t>(i)].contents);
        at += n;
    }
    EXPECT_EQ(at, data.size());
    EXPECT_EQ(be32(data, entry_field(1, k_base)), 0x100000u);
    EXPECT_EQ(be32(data, entry_field(1, k_size)), 0x100000u);
    EXPECT_EQ(be32(data, entry_field(1, k_type)), 1u);
    // The documents get entries of size 0, framed by a content header.
    EXPECT_EQ(be32(data, entry_field(2, k_size)), 0u);
    EXPECT_EQ(be32(data, entry_field(3, k_size)), 0u);
    std::uint32_t info = be32(data, entry_field(3, k_content_offset));
    EXPECT_EQ(be32(data, info + 4), 0xAA55D98Fu);
    EXPECT_EQ(be32(data, info + 8), 7u);
    EXPECT_EQ(std::string(data.begin() + info + 16, data.begin() + info + 23), R"({"v":1})");

    auto r = vorna_image({"info", image, dev_key_blob()});
    EXPECT_EQ(r.status, 0) << r.out;
    auto lines = lines_of(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        format("   1  %-31s  0x00100000  0x00100000  0x%08X  0x0000C350  emmc", "kernel", kernel_at)),
              lines.end())
        << r.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        R"(  product_name="Vorna-Test" product_version="2.1" special_id="55530000")"),
              lines.end())
        << r.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "firmware-info:    7 bytes"), lines.end()) << r.out;
}

TEST_F(ImageTool, SignReplacesTheSignatureAndKeepsTheMode)
{
    std::string image = pack(work, two_parts());
    bytes data = whole(image);
    data[6000] ^= 1;
    test_support::write_file(image, data);
    ::chmod(image.c_str(), 0640);
    EXPECT_FALSE(openssl_verifies(image));
    resign(image);
    EXPECT_TRUE(openssl_verifies(image));
    bytes signed_data = whole(image);
    // Only the signature field changed.
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i < 304 || i >= 432) {
            ASSERT_EQ(signed_data[i], data[i]) << i;
        }
    }
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // No temporary file (fw.bin.XXXXXX) is left behind.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(work.path())) {
        std::string name = entry.path().filename().string();
        files += name.rfind("fw.bin.", 0) == 0 && name.size() == 13 ? 1 : 0;
    }
    EXPECT_EQ(files, 0);
}

TEST_F(ImageTool, ClearErrors)
{
    std::string manifest = work.file("m.json");
    auto pack_status = [&](const std::string& text) {
        write_text(manifest, text);
        auto r = vorna_image({"pack", manifest, dev_private_key(), work.file("fw.bin")});
        EXPECT_NE(r.err, "") << text;
        return r.status;
    };
    EXPECT_EQ(pack_status(R"({"partitions":[{"name":"a","type":"flash"}]})"), 1);
    EXPECT_EQ(pack_status(R"({"partitions":[{"name":"a","type":"nor","file":"none.bin"}]})"), 1);
    EXPECT_EQ(pack_status(R"({"partitions":[{"name":")" + std::string(32, 'a') + R"(","type":"nor"}]})"), 1);
    EXPECT_EQ(pack_status(R"({"partitions":[{"name":"a","type":"nor","base":"0x1zz"}]})"), 1);
    EXPECT_EQ(pack_status("not json"), 1);
    EXPECT_FALSE(std::filesystem::exists(work.file("fw.bin")));

    auto r = vorna_image({"pack", manifest});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vorna-image pack: expected MANIFEST.json PRIVATE_KEY.pem IMAGE (see vorna-image pack --help)\n");
    r = vorna_image({"sign", work.file("nothing.bin"), dev_private_key()});
    EXPECT_EQ(r.status, 1);
    r = vorna_image({"pack", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: vorna-image pack MANIFEST.json PRIVATE_KEY.pem IMAGE\n", 0), 0u);
}

} // namespace
