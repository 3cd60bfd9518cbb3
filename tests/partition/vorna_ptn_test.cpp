// SPDX-License-Identifier: Apache-2.0
#include "vorna/partition/vorna_ptn.h"

#include "vorna/support/vorna_common.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using test_support::temp_dir;
using test_support::write_file;

/// One partition object; `extra` replaces members by key when given.
std::string ptn_json(const std::string& name, const std::string& base, const std::string& size,
                     const std::string& encap = "\"raw\"")
{
    return R"({"name":)" + name + R"(,"base":)" + base + R"(,"size":)" + size +
           R"(,"write_to_flash":true,"write_to_up":false,"encap_type":)" + encap + "}";
}

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string ptn(const std::string& name, const std::string& base, const std::string& size)
{
    return ptn_json(quoted(name), quoted(base), quoted(size));
}

std::string layout_json(const std::vector<std::string>& ptns, const std::string& disk_size = "\"0x100000\"",
                        const std::string& device = "\"/dev/mtdblock0\"")
{
    std::string out = R"({"disk-size":)" + disk_size + R"(,"device":)" + device + R"(,"partitions":[)";
    for (std::size_t i = 0; i < ptns.size(); ++i)
        out += (i ? "," : "") + ptns[i];
    return out + "]}";
}

cjson_ptr parse(const std::string& text)
{
    cjson_ptr root(cJSON_Parse(text.c_str()));
    EXPECT_TRUE(root) << text;
    return root;
}

struct layout_result {
    int rc;
    std::string out;
    ptn_layout layout;
};

layout_result parse_layout(const std::string& text, int index = 0)
{
    cjson_ptr root = parse(text);
    layout_result r{};
    testing::internal::CaptureStdout();
    r.rc = _ptn_table_partition_layout(root.get(), &r.layout, index);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

/// Parses text that must fail and returns its output.
std::string layout_failure(const std::string& text)
{
    layout_result r = parse_layout(text);
    EXPECT_EQ(r.rc, -1) << text;
    return r.out;
}

std::string err(int line, const std::string& text)
{
    return test_support::error_line("vorna_ptn", line, text);
}

const std::string k_validate = err(326, "ptn table validate failed.\n");

TEST(PtnLayout, FillsEveryFieldFromTheDocument)
{
    auto r = parse_layout(layout_json({ptn("boot", "0x0", "0x10000"),
                                       ptn_json(R"("info")", R"("10000")", R"("  0X8000")", R"("header-v1")")},
                                      R"("0x100000000")", R"("/dev/mmcblk0")"),
                          1);
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.layout.disk_size, 0x100000000LL) << "the whole 64-bit disk size is kept";
    EXPECT_STREQ(r.layout.device.data(), "/dev/mmcblk0");
    ASSERT_EQ(r.layout.count, 2u);
    const ptn_entry& info = r.layout.ptns[1];
    EXPECT_STREQ(info.name.data(), "info");
    EXPECT_EQ(info.base, 0x10000u);
    EXPECT_EQ(info.size, 0x8000u);
    EXPECT_EQ(info.layout, 1);
    EXPECT_EQ(info.write_to_flash, 1);
    EXPECT_EQ(info.write_to_up, 0);
    EXPECT_STREQ(info.encap_type.data(), "header-v1");
    EXPECT_STREQ(r.layout.ptns[2].name.data(), "") << "entries past count stay zero";
}

TEST(PtnLayout, HexadecimalTextAsStrtolReadsIt)
{
    struct {
        const char* text;
        std::uint32_t value;
    } cases[] = {
        {"0x10000", 0x10000},       {"10000", 0x10000}, {"  0X10000", 0x10000}, {"zz", 0}, {"12zz", 0x12},
        {"0xffffffff", 0xFFFFFFFF}, {"-0", 0},
    };
    for (const auto& c : cases) {
        // The entry that is tested comes last, at a base no earlier one reaches.
        auto r = parse_layout(layout_json({ptn("p", c.text, "1")}, R"("0x200000000")"));
        ASSERT_EQ(r.rc, 0) << c.text << r.out;
        EXPECT_EQ(r.layout.ptns[0].base, c.value) << c.text;
    }
}

// Keeping the low 32 bits of a wider number would put a partition somewhere else,
// and a negative disk size, taken as unsigned, would switch the end check off.
TEST(PtnLayout, NumbersOutOfRangeAreRefused)
{
    struct {
        std::string text;
        std::string out;
    } cases[] = {
        {layout_json({ptn("p", "0x100000010", "1")}), "ptn json 'base' (0x100000010) out of range.\n"},
        {layout_json({ptn("p", "-1", "1")}), "ptn json 'base' (-1) out of range.\n"},
        {layout_json({ptn("p", "0", "0x100000000")}), "ptn json 'size' (0x100000000) out of range.\n"},
        {layout_json({ptn("p", "0", "-10")}), "ptn json 'size' (-10) out of range.\n"},
        {layout_json({ptn("p", "0", "99999999999999999999")}),
         "ptn json 'size' (99999999999999999999) out of range.\n"},
        {layout_json({ptn("p", "0", "1")}, R"("-1")"), "'disk-size' (-1) out of range.\n"},
    };
    const int lines[] = {710, 710, 711, 711, 711, 712};
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(layout_failure(cases[i].text), err(lines[i], cases[i].out)) << cases[i].text;
}

TEST(PtnLayout, KeysInAnyLetterCase)
{
    auto r = parse_layout(R"({"DISK-SIZE":"0x1000","Device":"d","PARTITIONS":[{"NAME":"a","Base":"0","SIZE":"10",)"
                          R"("Write_To_Flash":false,"WRITE_TO_UP":true,"Encap_Type":"raw"}]})");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_STREQ(r.layout.ptns[0].name.data(), "a");
    EXPECT_EQ(r.layout.ptns[0].write_to_up, 1);
}

TEST(PtnLayout, LayoutMemberFailures)
{
    struct {
        std::string text;
        std::string out;
    } cases[] = {
        {R"({"device":"d","partitions":[]})", err(161, "'disk-size' not found.\n")},
        {R"({"disk-size":4096,"device":"d","partitions":[]})", err(163, "'disk-size' must be String type.\n")},
        {R"({"disk-size":"1000","partitions":[]})", err(169, "'device' not found.\n")},
        {R"({"disk-size":"1000","device":null,"partitions":[]})", err(171, "'device' must be String type.\n")},
        {R"({"disk-size":"1000","device":"d"})", err(181, "'partitions' not found.\n")},
        {"[1,2]", err(161, "'disk-size' not found.\n")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(layout_failure(c.text), c.out);

    const std::string long_device(512, 'd');
    EXPECT_EQ(layout_failure(layout_json({}, R"("1000")", quoted(long_device))),
              err(174, "ptn json 'device' string len too long, '" + long_device + "', 512/512\n"));
    auto ok = parse_layout(layout_json({}, R"("1000")", quoted(std::string(511, 'd'))));
    EXPECT_EQ(ok.rc, 0) << ok.out;
}

TEST(PtnLayout, AtMost32Partitions)
{
    std::vector<std::string> ptns;
    for (int i = 0; i < 33; ++i)
        ptns.push_back(ptn("p" + std::to_string(i), std::to_string(i * 10), "10"));
    EXPECT_EQ(layout_failure(layout_json(ptns)), err(190, "too much partitiions, 33/32.\n"));
    // The count is checked before any partition is looked at.
    ptns.push_back("42");
    EXPECT_EQ(layout_failure(layout_json(ptns)), err(190, "too much partitiions, 34/32.\n"));
    ptns.resize(32);
    auto r = parse_layout(layout_json(ptns));
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.layout.count, 32u);
}

TEST(PtnLayout, PartitionMemberFailures)
{
    // A valid partition with member `key` left out (no value) or replaced.
    auto member = [](const std::string& key, const std::optional<std::string>& value) {
        const std::pair<std::string, std::string> members[] = {
            {"name", R"("a")"},          {"base", R"("0")"},        {"size", R"("10")"},
            {"write_to_flash", "true"}, {"write_to_up", "true"}, {"encap_type", R"("raw")"},
        };
        std::string out;
        for (const auto& [k, v] : members) {
            if (k == key && !value)
                continue;
            out += (out.empty() ? "{" : ",") + quoted(k) + ":" + (k == key ? *value : v);
        }
        return layout_json({out + "}"});
    };
    auto without = [&](const std::string& key) { return member(key, std::nullopt); };
    auto with = [&](const std::string& key, const std::string& value) { return member(key, value); };
    struct {
        std::string text;
        std::string out;
    } cases[] = {
        {without("name"), err(204, "ptn json 'name' not found.\n\n")},
        {with("name", "7"), err(209, "ptn json 'name' must be String type.\n\n")},
        {without("base"), err(233, "ptn json 'base' not found.\n\n")},
        {with("base", "65536"), err(238, "ptn json 'base' must be String type.\n\n")},
        {without("size"), err(247, "ptn json 'size' not found.\n\n")},
        {with("size", "[]"), err(252, "ptn json 'size' must be String type.\n\n")},
        {without("write_to_flash"), err(261, "ptn json 'write_to_flash' not found.\n\n")},
        {with("write_to_flash", R"("true")"), err(266, "ptn json 'write_to_flash' must be bool type.\n\n")},
        {with("write_to_flash", "1"), err(266, "ptn json 'write_to_flash' must be bool type.\n\n")},
        {without("write_to_up"), err(276, "ptn json 'write_to_up' not found.\n\n")},
        {with("write_to_up", "null"), err(281, "ptn json 'write_to_up' must be bool type.\n\n")},
        {without("encap_type"), err(291, "ptn json 'encap_type' not found.\n\n")},
        {with("encap_type", "{}"), err(296, "ptn json 'encap_type' must be String type.\n\n")},
        {layout_json({"3"}), err(204, "ptn json 'name' not found.\n\n")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(layout_failure(c.text), c.out) << c.text;
}

TEST(PtnLayout, NameLengthAndCharacters)
{
    const std::string name32(32, 'n');
    EXPECT_EQ(layout_failure(layout_json({ptn(name32, "0", "1")})),
              err(215, "ptn json 'name' string len too long, '" + name32 + "', 32/32\n"));
    for (const char* bad : {"a b", "a/b", "a+b", "caf\xc3\xa9"}) {
        EXPECT_EQ(layout_failure(layout_json({ptn(bad, "0", "1")})),
                  err(220, std::string("ptn json 'name' (") + bad + ") validate failed.\n"));
    }
    auto r = parse_layout(layout_json({ptn(std::string(31, 'n'), "0", "1"),
                                       ptn("AZaz09-._", "1", "1"), ptn("", "2", "1")}));
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_STREQ(r.layout.ptns[1].name.data(), "AZaz09-._");

    const std::string encap64(64, 'e');
    EXPECT_EQ(layout_failure(layout_json({ptn_json(R"("a")", R"("0")", R"("1")", quoted(encap64))})),
              err(302, "ptn json 'encap_type' string len too long, '" + encap64 + "', 64/64\n"));
    r = parse_layout(layout_json({ptn_json(R"("a")", R"("0")", R"("1")", quoted(std::string(63, 'e')))}));
    EXPECT_EQ(r.rc, 0) << r.out;
}

TEST(PtnLayout, ValidationFailures)
{
    struct {
        std::vector<std::string> ptns;
        std::string out;
    } cases[] = {
        {{ptn("a", "0", "0")}, err(103, "PTN[a] size is 0.\n")},
        {{ptn("a", "0xff000", "0x1001")},
         err(113, "PTN[a,0x000ff000,0x00001001] cause disk[0x100000] overflow.\n")},
        // base + size is summed in 64 bits: it cannot wrap back inside the disk.
        {{ptn("a", "0xffffffff", "0x2")}, err(113, "PTN[a,0xffffffff,0x00000002] cause disk[0x100000] overflow.\n")},
        {{ptn("a", "0", "10"), ptn("b", "10", "10"), ptn("a", "20", "10")},
         err(121, "PTN[0] and PTN[2] Name conflict : 'a'.\n")},
        {{ptn("", "0", "10"), ptn("", "10", "10")}, err(121, "PTN[0] and PTN[1] Name conflict : ''.\n")},
        {{ptn("a", "100", "10"), ptn("b", "50", "10")},
         err(129, "PTN[b](1) base(0x00000050) <= PTN[a](0) base(0x00000100).\n")},
        {{ptn("a", "100", "10"), ptn("b", "100", "10")},
         err(129, "PTN[b](1) base(0x00000100) <= PTN[a](0) base(0x00000100).\n")},
        {{ptn("a", "0", "0x1000"), ptn("b", "0x1000", "0x1000"), ptn("c", "0x1fff", "1")},
         err(137, "PTN[c](2) base(0x00001fff) < PTN[b](1) base+size(0x00002000).\n")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(layout_failure(layout_json(c.ptns)), c.out + k_validate);

    // Touching partitions and one that ends exactly at the disk size are valid.
    auto r = parse_layout(layout_json({ptn("a", "0", "0x80000"), ptn("b", "0x80000", "0x80000")}));
    EXPECT_EQ(r.rc, 0) << r.out;
}

TEST(PtnLayout, PartitionsThatAreNotAnArray)
{
    // An object's members are taken as the partitions; a scalar has none.
    auto r = parse_layout(R"({"disk-size":"1000","device":"d","partitions":{"x":)" + ptn("a", "0", "10") + ",\"y\":" +
                          ptn("b", "10", "10") + "}}");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.layout.count, 2u);
    EXPECT_STREQ(r.layout.ptns[1].name.data(), "b");
    r = parse_layout(R"({"disk-size":"1000","device":"d","partitions":"many"})");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.layout.count, 0u);
}

TEST(PtnLayoutDeathTest, ContractsAbortWithTheirExpression)
{
    ptn_layout layout{};
    EXPECT_DEATH((void)_ptn_table_partition_layout(nullptr, &layout, 0), "154: .*Assertion `json_root' failed");
    cjson_ptr root = parse("{}");
    EXPECT_DEATH((void)_ptn_table_partition_layout(root.get(), nullptr, 0), "155: .*Assertion `ptn_layout' failed");
}

std::string table_json(const std::string& nor, const std::string& emmc)
{
    return R"({"partition-layout-nor":)" + nor + R"(,"partition-layout-emmc":)" + emmc + "}";
}

std::string parse_table_failure(const std::string& text)
{
    cjson_ptr root = parse(text);
    auto table = std::make_unique<ptn_table>();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ptn_table_parse(root.get(), table.get()), -1) << text;
    return testing::internal::GetCapturedStdout();
}

TEST(PtnTableParse, ChainsOfEachLayout)
{
    const std::string good = layout_json({ptn("a", "0", "10")});
    const std::string long_name = layout_json({ptn(std::string(40, 'x'), "0", "10")});
    const std::string too_long = err(215, "ptn json 'name' string len too long, '" + std::string(40, 'x') + "', 40/32\n");
    const std::string layout_failed = "Failed to parse json[ptn_layout] -> ptn_layout struct.\n";

    EXPECT_EQ(parse_table_failure("[]"), err(368, "'partition-layout-nor' not found.\n"));
    EXPECT_EQ(parse_table_failure(R"({"partition-layout-nor":)" + good + "}"),
              err(380, "'partition-layout-emmc' not found.\n"));
    EXPECT_EQ(parse_table_failure(table_json(long_name, good)), too_long + err(374, layout_failed));
    EXPECT_EQ(parse_table_failure(table_json(good, long_name)), too_long + err(386, layout_failed));
    // The NOR layout is finished before the eMMC layout is looked at.
    EXPECT_EQ(parse_table_failure(R"({"partition-layout-nor":)" + long_name + "}"), too_long + err(374, layout_failed));
    EXPECT_EQ(parse_table_failure(table_json(good, layout_json({ptn("a", "10", "0")}))),
              err(103, "PTN[a] size is 0.\n") + k_validate + err(386, layout_failed));
}

class PtnTableLoad : public testing::Test {
protected:
    /// A device of `size` bytes with `text` at byte `base`, the rest `fill`.
    std::string device(const std::string& text, std::uint32_t base = 0x10000, std::size_t size = 0x20000,
                       std::uint8_t fill = 0)
    {
        std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, base + text.size()), fill);
        std::memcpy(bytes.data() + base, text.data(), text.size());
        write_file(dir_.file("dev"), bytes);
        return dir_.file("dev");
    }

    std::unique_ptr<ptn_table> load(const std::string& dev, std::string& out, std::uint32_t base = 0x10000)
    {
        testing::internal::CaptureStdout();
        auto table = ptn_table_load(dev.c_str(), base);
        out = testing::internal::GetCapturedStdout();
        return table;
    }

    temp_dir dir_;
};

TEST_F(PtnTableLoad, LoadsBehindTrailingBytesAndLooksUpNorFirst)
{
    const std::string nor = layout_json({ptn("boot", "0", "0x1000"), ptn("both", "0x1000", "0x1000")}, R"("0x100000")",
                                        R"("/dev/nor")");
    const std::string emmc = layout_json({ptn("both", "0", "0x1000"), ptn("rootfs", "0x1000", "0x1000")},
                                         R"("0x100000")", R"("/dev/emmc")");
    std::string out;
    auto table = load(device("  \n" + table_json(nor, emmc), 0x10000, 0x20000, 0xFF), out);
    ASSERT_TRUE(table) << out;
    EXPECT_EQ(out, "");

    const ptn_entry* both = ptn_table_lookup(table.get(), "both");
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(both, &table->layouts[0].ptns[1]);
    EXPECT_STREQ(ptn_entry_device(table.get(), both), "/dev/nor");
    const ptn_entry* rootfs = ptn_table_lookup(table.get(), "rootfs");
    ASSERT_NE(rootfs, nullptr);
    EXPECT_EQ(rootfs->layout, 1);
    EXPECT_STREQ(ptn_entry_device(table.get(), rootfs), "/dev/emmc");
    EXPECT_EQ(ptn_table_lookup(table.get(), "ROOTFS"), nullptr) << "names are compared case-sensitively";
    EXPECT_EQ(ptn_table_lookup(table.get(), "roo"), nullptr);
    EXPECT_EQ(ptn_table_lookup(table.get(), "missing"), nullptr);
}

TEST_F(PtnTableLoad, FailureChains)
{
    std::string out;
    EXPECT_FALSE(load(dir_.file("missing"), out));
    EXPECT_EQ(out, err(415, "failed to read ptn_table content.\n"));

    // Nothing but zeros at the base, and a document that does not end within 32 KiB.
    for (const std::string& text : {std::string(), "{\"x\":\"" + std::string(40000, 'a') + "\"}"}) {
        EXPECT_FALSE(load(device(text), out));
        EXPECT_TRUE(out.starts_with("[ERROR]vorna_common:85 | Failed to parse <0x")) << out;
        EXPECT_TRUE(out.ends_with(",32768>'\n" + err(421, "Failed to parse json.\n"))) << out;
    }

    const std::string good = layout_json({});
    EXPECT_FALSE(load(device(table_json(good, layout_json({ptn("a b", "0", "1")}))), out));
    EXPECT_EQ(out, err(220, "ptn json 'name' (a b) validate failed.\n") +
                       err(386, "Failed to parse json[ptn_layout] -> ptn_layout struct.\n") +
                       err(434, "Failed to parse json -> ptn table struct.\n"));
}

TEST_F(PtnTableLoad, ReadsOnlyWhatTheDeviceHolds)
{
    // A table near the end of a short device: the read is short and still parses.
    std::string out;
    const std::string text = table_json(layout_json({}), layout_json({}));
    auto table = load(device(text, 0x100, 0x100 + text.size()), out, 0x100);
    ASSERT_TRUE(table) << out;
    EXPECT_EQ(table->layouts[0].count, 0u);
    EXPECT_EQ(table->layouts[1].count, 0u);
}

} // namespace
