// SPDX-License-Identifier: Apache-2.0
#include "tests/support/capture.h"
#include "vorna/identity/vorna_ptn_support_list.h"

#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/identity/vorna_ptn_device_info.h"

#include "tests/support/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using test_support::printed;

const std::string k_prefix = "[ERROR]vorna_ptn_support_list:";

std::string first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

int parse(support_list& list, const std::string& json)
{
    return support_list_parse_buffer(&list, reinterpret_cast<const std::uint8_t*>(json.data()),
                                     static_cast<std::int32_t>(json.size()));
}

std::string element(const std::string& name, const std::string& version, const std::string& special)
{
    return R"({"product_name":")" + name + R"(","product_version":")" + version + R"(","special_id":")" +
           special + R"("})";
}

std::string document(const std::vector<std::string>& elements)
{
    std::string out = R"({"support-list":[)";
    for (std::size_t i = 0; i < elements.size(); ++i)
        out += (i ? "," : "") + elements[i];
    return out + "]}";
}

std::unique_ptr<device_info> device(const std::string& name, const std::string& version, const std::string& special)
{
    auto info = std::make_unique<device_info>();
    *info = device_info{};
    std::strncpy(info->product_name.data(), name.c_str(), info->product_name.size() - 1);
    std::strncpy(info->product_version.data(), version.c_str(), info->product_version.size() - 1);
    std::strncpy(info->special_id.data(), special.c_str(), info->special_id.size() - 1);
    std::strncpy(info->vendor_name.data(), "someone else", info->vendor_name.size() - 1);
    return info;
}

/// An in-memory image body: a table and contents placed after it, built by hand
/// from the stored layout so that the decoder is checked, not trusted.
struct image_builder {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(k_firmware_ptn_table_len);
    int used = 0;

    /// Appends contents and an entry pointing at them; returns the entry's index.
    int add(const std::string& name, const std::vector<std::uint8_t>& contents, std::uint32_t size = 0x1000)
    {
        auto off = static_cast<std::uint32_t>(bytes.size());
        bytes.insert(bytes.end(), contents.begin(), contents.end());
        return add_raw(name, off, static_cast<std::uint32_t>(contents.size()), size);
    }
    int add_raw(const std::string& name, std::uint32_t off, std::uint32_t content_size, std::uint32_t size = 0x1000)
    {
        std::size_t at = static_cast<std::size_t>(used) * k_firmware_ptn_entry_len;
        std::memcpy(bytes.data() + at, name.data(), std::min<std::size_t>(name.size(), 32));
        std::span<std::uint8_t> b(bytes);
        store_be32_at(b, at + 36, size);
        store_be32_at(b, at + 40, off);
        store_be32_at(b, at + 44, content_size);
        return used++;
    }
    std::unique_ptr<firmware_ptn_table> table() const
    {
        return firmware_ptn_table_decode(std::span(bytes).first(k_firmware_ptn_table_len));
    }
};

std::vector<std::uint8_t> framed(const std::string& text, std::int64_t content_len = -1, std::size_t pad = 0)
{
    // Sized once and filled in place: growing it by insert() trips a false
    // array-bounds warning of g++ 12 at -O2.
    std::vector<std::uint8_t> out(16 + text.size() + pad, 0xFF);
    std::span<std::uint8_t> b(out);
    store_be32_at(b, 0, 0x01020304);
    store_be32_at(b, 4, 0xAA55D98F);
    store_be32_at(b, 8, content_len < 0 ? static_cast<std::uint32_t>(text.size()) : static_cast<std::uint32_t>(content_len));
    store_be32_at(b, 12, 0);
    std::copy(text.begin(), text.end(), out.begin() + 16);
    return out;
}

TEST(SupportListParse, AcceptsEntriesAndCopiesTheirFields)
{
    support_list list{};
    ASSERT_EQ(parse(list, document({element("P1", "1.0", "55530000"), element("P2", "2.0.1", "")})), 0);
    ASSERT_EQ(list.count, 2);
    EXPECT_STREQ(list.entries[0].product_name.data(), "P1");
    EXPECT_STREQ(list.entries[0].product_version.data(), "1.0");
    EXPECT_STREQ(list.entries[0].special_id.data(), "55530000");
    EXPECT_STREQ(list.entries[1].product_name.data(), "P2");
    EXPECT_STREQ(list.entries[1].special_id.data(), "");
}

TEST(SupportListParse, EmptyArrayAndNonArrayMembers)
{
    support_list list{};
    EXPECT_EQ(parse(list, R"({"support-list":[]})"), 0);
    EXPECT_EQ(list.count, 0);
    // A string has no children: an empty list, not an error.
    EXPECT_EQ(parse(list, R"({"support-list":"P1"})"), 0);
    EXPECT_EQ(list.count, 0);
    // An object's members count as elements.
    EXPECT_EQ(parse(list, R"({"support-list":{"a":)" + element("P1", "1", "x") + "}}"), 0);
    EXPECT_EQ(list.count, 1);
    EXPECT_STREQ(list.entries[0].product_name.data(), "P1");
}

TEST(SupportListParse, EveryParseStartsFromAZeroRecord)
{
    support_list list{};
    ASSERT_EQ(parse(list, document({element("P1", "1", "a"), element("P2", "2", "b")})), 0);
    ASSERT_EQ(parse(list, document({element("Q", "3", "c")})), 0);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(list.entries[1].product_name[0], '\0');
}

TEST(SupportListParse, SixtyFourEntriesAtMost)
{
    std::vector<std::string> elements(64, element("P", "1", "s"));
    support_list list{};
    EXPECT_EQ(parse(list, document(elements)), 0);
    EXPECT_EQ(list.count, 64);
    elements.push_back(element("P", "1", "s"));
    std::string out = printed([&] { EXPECT_EQ(parse(list, document(elements)), -1); });
    EXPECT_EQ(out, k_prefix + "140 | too much entry, 65/64.\n" + k_prefix + "174 | Failed to parse json.\n");
}

TEST(SupportListParse, FieldLengthLimits)
{
    support_list list{};
    std::string n63(63, 'n'), v15(15, 'v'), s63(63, 's');
    EXPECT_EQ(parse(list, document({element(n63, v15, s63)})), 0);
    EXPECT_STREQ(list.entries[0].product_version.data(), v15.c_str());

    std::string out = printed([&] { EXPECT_EQ(parse(list, document({element(n63, v15 + "v", s63)})), -1); });
    EXPECT_EQ(out, k_prefix + "152 | ptn json 'name' string len too long, '" + v15 + "v', 16/16\n" + k_prefix +
                       "174 | Failed to parse json.\n");
    out = printed([&] { EXPECT_EQ(parse(list, document({element(n63 + "n", v15, s63)})), -1); });
    EXPECT_EQ(first_line(out), k_prefix + "150 | ptn json 'name' string len too long, '" + n63 + "n', 64/64");
    out = printed([&] { EXPECT_EQ(parse(list, document({element(n63, v15, s63 + "s")})), -1); });
    EXPECT_EQ(first_line(out), k_prefix + "154 | ptn json 'name' string len too long, '" + s63 + "s', 64/64");
}

TEST(SupportListParse, MissingWrongTypeAndLetterCase)
{
    support_list list{};
    std::string out = printed([&] {
        EXPECT_EQ(parse(list, R"({"support-list":[{"product_name":"P","special_id":"s"}]})"), -1);
    });
    EXPECT_EQ(first_line(out), k_prefix + "152 | ptn json 'product_version' not found.");
    out = printed([&] {
        EXPECT_EQ(parse(list, R"({"support-list":[{"product_name":"P","product_version":1,"special_id":"s"}]})"),
                  -1);
    });
    EXPECT_EQ(first_line(out), k_prefix + "152 | ptn json 'name' must be String type.");
    out = printed([&] { EXPECT_EQ(parse(list, R"({"supportlist":[]})"), -1); });
    EXPECT_EQ(out, k_prefix + "131 | 'support-list' not found.\n" + k_prefix + "174 | Failed to parse json.\n");
    // Keys are found in any letter case; values keep theirs.
    EXPECT_EQ(parse(list, R"({"Support-List":[{"PRODUCT_NAME":"Pq","Product_Version":"V","special_ID":"s","x":1}]})"),
              0);
    EXPECT_STREQ(list.entries[0].product_name.data(), "Pq");
}

TEST(SupportListParse, TextThatIsNotJson)
{
    support_list list{};
    std::string out = printed([&] { EXPECT_EQ(parse(list, "{\"support-list\":["), -1); });
    auto lines = test_support::lines_of(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[ERROR]vorna_common:85 | ", 0), 0u);
    EXPECT_EQ(lines[1], k_prefix + "169 | Failed to parse json.");
}

TEST(SupportListParseDeathTest, ContractsAbort)
{
    const cjson_ptr doc(cJSON_Parse("{}"));
    support_list list{};
    EXPECT_DEATH((void)_support_list_json_parse(&list, nullptr),
                 "vorna_ptn_support_list.cpp:124: _support_list_json_parse: Assertion `json_root' failed");
    EXPECT_DEATH((void)_support_list_json_parse(nullptr, doc.get()),
                 "vorna_ptn_support_list.cpp:125: _support_list_json_parse: Assertion `support_list' failed");
}

TEST(SupportListMatch, AllThreeFieldsMustMatchExactly)
{
    support_list list{};
    ASSERT_EQ(parse(list, document({element("P1", "1.0", "AA"), element("P1", "1.0", "BB")})), 0);
    EXPECT_EQ(support_list_match(device("P1", "1.0", "AA").get(), &list), 1);
    // Matches the second entry after the first differs in special_id only.
    EXPECT_EQ(support_list_match(device("P1", "1.0", "BB").get(), &list), 1);
    EXPECT_EQ(support_list_match(device("p1", "1.0", "AA").get(), &list), -1);
    EXPECT_EQ(support_list_match(device("P1", "1.1", "AA").get(), &list), -1);
    EXPECT_EQ(support_list_match(device("P1", "1.0", "CC").get(), &list), -1);
    EXPECT_EQ(support_list_match(device("P1", "1.0", "A").get(), &list), -1);
    EXPECT_EQ(support_list_match(nullptr, &list), -1);
    EXPECT_EQ(support_list_match(device("P1", "1.0", "AA").get(), nullptr), -1);
    // Entries past count are not looked at.
    list.count = 0;
    EXPECT_EQ(support_list_match(device("P1", "1.0", "AA").get(), &list), -1);
}

TEST(SupportListFromImage, NoEntryGivesAnEmptyList)
{
    image_builder img;
    img.add("kernel", framed(document({element("P", "1", "s")})));
    auto table = img.table();
    auto list = support_list_from_image(table.get(), img.bytes);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(support_list_match(device("P", "1", "s").get(), list.get()), -1);
}

TEST(SupportListFromImage, LastEntryCountsAndEntriesBehindSizeZeroAreSearched)
{
    image_builder img;
    img.add("support-list", framed(document({element("OLD", "1", "s")})));
    img.add("boot", {1, 2, 3}, 0);
    img.add("support-list", framed(document({element("NEW", "2", "t"), element("NEW", "3", "t")}), -1, 40));
    auto table = img.table();
    auto list = support_list_from_image(table.get(), img.bytes);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 2);
    EXPECT_STREQ(list->entries[0].product_name.data(), "NEW");
    EXPECT_EQ(support_list_match(device("OLD", "1", "s").get(), list.get()), -1);
    EXPECT_EQ(support_list_match(device("NEW", "3", "t").get(), list.get()), 1);
}

TEST(SupportListFromImage, AMalformedLaterEntryFailsTheWhole)
{
    image_builder img;
    img.add("support-list", framed(document({element("P", "1", "s")})));
    img.add("support-list", framed(document({element("P", "1", std::string(64, 's'))})));
    auto table = img.table();
    std::string out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), img.bytes), nullptr); });
    auto lines = test_support::lines_of(out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind(k_prefix + "154 | ptn json 'name' string len too long", 0), 0u);
    EXPECT_EQ(lines[1], k_prefix + "174 | Failed to parse json.");
    EXPECT_EQ(lines[2], k_prefix + "222 | Faield to parse support list of firmware.");
}

TEST(SupportListFromImage, ContentsTooShortOrNotFramed)
{
    image_builder img;
    int i = img.add("support-list", std::vector<std::uint8_t>(15, 0));
    auto table = img.table();
    char expected[128];
    std::snprintf(expected, sizeof expected, "215 | firmware partition [0x%08x] is not a valid partition.\n",
                  table->entries[static_cast<std::size_t>(i)].content_offset);
    std::string out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), img.bytes), nullptr); });
    EXPECT_EQ(out, k_prefix + expected);

    image_builder erased;
    erased.add("support-list", std::vector<std::uint8_t>(64, 0xFF));
    table = erased.table();
    out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), erased.bytes), nullptr); });
    auto lines = test_support::lines_of(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[ERROR]vorna_ptn_header:94 | ", 0), 0u);
    EXPECT_EQ(lines[1].rfind(k_prefix + "215 | ", 0), 0u);
}

TEST(SupportListFromImage, ContentLenZeroIsNoJson)
{
    image_builder img;
    img.add("support-list", framed(document({element("P", "1", "s")}), 0));
    auto table = img.table();
    std::string out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), img.bytes), nullptr); });
    auto lines = test_support::lines_of(out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("[ERROR]vorna_common:85 | ", 0), 0u);
    EXPECT_EQ(lines[1], k_prefix + "169 | Failed to parse json.");
    EXPECT_EQ(lines[2], k_prefix + "222 | Faield to parse support list of firmware.");
}

TEST(SupportListFromImage, NothingIsReadOutsideTheImage)
{
    std::string doc = document({element("P", "1", "s")});
    // Contents that run one byte past the end of the image.
    image_builder past;
    past.add("support-list", framed(doc));
    past.add_raw("support-list", static_cast<std::uint32_t>(past.bytes.size() - 10), 11);
    auto table = past.table();
    std::string out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), past.bytes), nullptr); });
    EXPECT_EQ(first_line(out).rfind(k_prefix + "208 | ", 0), 0u) << out;
    EXPECT_EQ(test_support::lines_of(out).size(), 1u);

    // An offset and size whose sum wraps around 32 bits.
    image_builder wrap;
    wrap.add_raw("support-list", 0xFFFFFFF0u, 0x20);
    table = wrap.table();
    out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), wrap.bytes), nullptr); });
    EXPECT_EQ(first_line(out).rfind(k_prefix + "208 | ", 0), 0u) << out;

    // A header that claims more content than its entry holds.
    image_builder longer;
    longer.add("support-list", framed(doc, static_cast<std::int64_t>(doc.size()) + 1));
    table = longer.table();
    out = printed([&] { EXPECT_EQ(support_list_from_image(table.get(), longer.bytes), nullptr); });
    EXPECT_EQ(first_line(out).rfind(k_prefix + "218 | ", 0), 0u) << out;
    EXPECT_EQ(test_support::lines_of(out).size(), 1u);
    // Exactly the contents behind the header is fine.
    image_builder exact;
    exact.add("support-list", framed(doc));
    table = exact.table();
    EXPECT_NE(support_list_from_image(table.get(), exact.bytes), nullptr);
}

TEST(SupportListFromImage, NamesMatchExactlyAndAFullNameIsNotOverread)
{
    image_builder img;
    img.add("Support-List", framed(document({element("A", "1", "s")})));
    img.add("support-list-2", framed(document({element("B", "1", "s")})));
    // 32 name bytes without a NUL, starting like the real name.
    img.add(std::string("support-list") + std::string(20, 'x'), framed(document({element("C", "1", "s")})));
    auto table = img.table();
    auto list = support_list_from_image(table.get(), img.bytes);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
}
} // namespace
