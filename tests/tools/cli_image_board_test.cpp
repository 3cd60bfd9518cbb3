// SPDX-License-Identifier: Apache-2.0
// vorna-image board: the simulated boards that the demo and the tests run on.
#include "tests/support/test_support.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using test_support::cli_result;
using test_support::read_file;
using test_support::run_cli;
using test_support::temp_dir;
using test_support::write_file;
using test_support::write_text;

cli_result image(std::vector<std::string> args)
{
    args.insert(args.begin(), VORNA_IMAGE_BIN);
    return run_cli(args);
}

/// A description around `layouts`, with `extra` members at the top.
std::string description(const std::string& extra, const std::string& nor_partitions,
                        const std::string& emmc_partitions = "")
{
    return "{" + extra + R"("partition-table":{"partition-layout-nor":{"disk-size":"0x20000","device":"nor.img",)"
                         R"("partitions":[)" + nor_partitions +
           R"(]},"partition-layout-emmc":{"disk-size":"0x40000","device":"emmc.img","partitions":[)" +
           emmc_partitions + "]}}}";
}

std::string ptn(const std::string& name, const std::string& base, const std::string& size)
{
    return R"({"name":")" + name + R"(","base":")" + base + R"(","size":")" + size +
           R"(","write_to_flash":true,"write_to_up":true,"encap_type":"raw"})";
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t n)
{
    return {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

std::vector<std::uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(ImageBoard, MakesErasedNorZeroedEmmcAndTheTableWithAbsolutePaths)
{
    temp_dir dir;
    write_text(dir.file("b.json"), description("", ptn("boot", "0", "0x1000"), ptn("data", "0x1000", "0x1000")));
    cli_result r = image({"board", dir.file("b.json"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;

    const auto nor = read_file(dir.file("out/nor.img"));
    const auto emmc = read_file(dir.file("out/emmc.img"));
    EXPECT_EQ(nor, std::vector<std::uint8_t>(0x20000, 0xFF));
    EXPECT_EQ(emmc, std::vector<std::uint8_t>(0x40000, 0));

    const auto table = read_file(dir.file("out/table.img"));
    ASSERT_EQ(table.size(), 0x10000u + 32768u);
    EXPECT_TRUE(std::all_of(table.begin(), table.begin() + 0x10000, [](std::uint8_t b) { return b == 0; }));
    const std::string text(table.begin() + 0x10000, table.end());
    cJSON* root = cJSON_Parse(text.c_str());
    ASSERT_NE(root, nullptr);
    const cJSON* nor_layout = cJSON_GetObjectItem(root, "partition-layout-nor");
    const cJSON* emmc_layout = cJSON_GetObjectItem(root, "partition-layout-emmc");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(nor_layout, "device")),
                 (dir.path() / "out/nor.img").c_str());
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(emmc_layout, "device")),
                 (dir.path() / "out/emmc.img").c_str());
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(emmc_layout, "partitions")), 1);
    cJSON_Delete(root);

    // The tool's output names absolute paths also when OUTDIR is relative.
    r = run_cli({VORNA_IMAGE_BIN, "board", "b.json", "rel"}, dir.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rel_table = read_file(dir.file("rel/table.img"));
    EXPECT_NE(std::string(rel_table.begin(), rel_table.end()).find((dir.path() / "rel/nor.img").string()),
              std::string::npos);
}

TEST(ImageBoard, ContentsRawAndBehindAHeader)
{
    temp_dir dir;
    const auto payload = test_support::random_bytes(300, 21);
    write_file(dir.file("payload.bin"), payload);
    write_text(dir.file("b.json"),
               description(R"("contents":[)"
                           R"({"partition":"info","json":{"product_name":"X"},"header":true,)"
                           R"("first-word":"0x11223344","last-word":"5"},)"
                           R"({"partition":"blob","file":"payload.bin"},)"
                           R"({"partition":"note","text":"hello"}],)",
                           ptn("boot", "0", "0x1000") + "," + ptn("info", "0x1000", "0x1000"),
                           ptn("blob", "0x2000", "0x1000") + "," + ptn("note", "0x3000", "0x10")));
    // A relative content file is found beside the description, not in the working folder.
    cli_result r = run_cli({VORNA_IMAGE_BIN, "board", dir.file("b.json"), dir.file("out")}, "/");
    ASSERT_EQ(r.status, 0) << r.err;

    const auto nor = read_file(dir.file("out/nor.img"));
    const std::string doc = R"({"product_name":"X"})";
    std::vector<std::uint8_t> framed = {0x11, 0x22, 0x33, 0x44, 0xAA, 0x55, 0xD9, 0x8F,
                                        0x00, 0x00, 0x00, static_cast<std::uint8_t>(doc.size()),
                                        0x00, 0x00, 0x00, 0x05};
    framed.insert(framed.end(), doc.begin(), doc.end());
    EXPECT_EQ(slice(nor, 0x1000, framed.size()), framed);
    EXPECT_EQ(nor[0x1000 + framed.size()], 0xFF) << "the rest of the partition stays erased";

    const auto emmc = read_file(dir.file("out/emmc.img"));
    EXPECT_EQ(slice(emmc, 0x2000, payload.size()), payload);
    EXPECT_EQ(slice(emmc, 0x3000, 5), bytes_of("hello"));
    EXPECT_EQ(emmc.size(), 0x40000u) << "contents never grow a device";
}

TEST(ImageBoard, TableMayShareTheEmmcFile)
{
    temp_dir dir;
    write_text(dir.file("b.json"), description(R"("table-device":"emmc.img","table-base":"0x8000",)",
                                               ptn("boot", "0", "0x1000"), ptn("rootfs", "0x10000", "0x1000")));
    cli_result r = image({"board", dir.file("b.json"), dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(::access(dir.file("out/table.img").c_str(), F_OK), 0);
    const auto emmc = read_file(dir.file("out/emmc.img"));
    EXPECT_EQ(emmc.size(), 0x40000u);
    EXPECT_EQ(emmc[0x8000], '{');

    r = run_cli({VORNA_BIN, "-s", "-b", "0x8000", "-d", dir.file("out/emmc.img")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("    0 rootfs                   0x00010000 0x00001000       4096\n"), std::string::npos);
}

TEST(ImageBoard, ClearErrors)
{
    temp_dir dir;
    struct {
        std::string desc;
        std::string message;
    } cases[] = {
        {"[]", "is not a JSON object"},
        {"{}", "has no object \"partition-table\""},
        {description(R"("contents":[{"partition":"nope","text":"x"}],)", ptn("a", "0", "0x10")), "no such partition"},
        {description(R"("contents":[{"partition":"a","text":"0123456789abcdef"}],)", ptn("a", "0", "0x10")), ""},
        {description(R"("contents":[{"partition":"a","text":"0123456789abcdefg"}],)", ptn("a", "0", "0x10")),
         "has 17 bytes; the partition holds 16"},
        {description(R"("contents":[{"partition":"h","text":"x","header":true}],)", ptn("h", "0", "0x10")),
         "the partition holds 0"},
        {description(R"("contents":[{"partition":"a","text":"x","file":"y"}],)", ptn("a", "0", "0x10")),
         "exactly one of"},
        {description(R"("table-device":"emmc.img","table-base":"0",)", "", ptn("a", "0", "0x10")),
         "meets a partition"},
        {description(R"("table-device":"../x",)", ""), "must be a file name"},
    };
    for (const auto& c : cases) {
        write_text(dir.file("b.json"), c.desc);
        cli_result r = image({"board", dir.file("b.json"), dir.file("out")});
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << c.desc << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.desc;
        EXPECT_TRUE(r.err.starts_with("vorna-image board: ")) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }

    cli_result r = image({"board", dir.file("missing.json"), dir.file("out")});
    EXPECT_EQ(r.status, 1);
    r = image({"board", dir.file("b.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("DESCRIPTION.json OUTDIR"), std::string::npos);
}

TEST(ImageTool, HelpAndUnknownCommands)
{
    cli_result r = image({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  board "), std::string::npos) << r.out;
    r = image({"board", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: vorna-image board DESCRIPTION.json OUTDIR\n")) << r.out;
    r = image({"help", "board"});
    EXPECT_TRUE(r.out.starts_with("Usage: vorna-image board")) << r.out;
    r = image({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("vorna-image ") && r.out.ends_with("\n") && r.err.empty()) << r.out << r.err;
    r = image({"frobnicate"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vorna-image: unknown command 'frobnicate' (see vorna-image --help)\n");
    r = image({});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Usage: vorna-image COMMAND")) << r.err;
}

} // namespace
