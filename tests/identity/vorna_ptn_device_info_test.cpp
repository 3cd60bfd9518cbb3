// SPDX-License-Identifier: Apache-2.0
#include "vorna/identity/vorna_ptn_device_info.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_common.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using test_support::read_text;
using test_support::temp_dir;
using test_support::write_file;

const std::string k_data = VORNA_TEST_DATA_DIR;

/// The ten members as the record's users know them: key, line, buffer size, field.
struct member_case {
    const char* key;
    int line;
    std::size_t buffer;
    const char* (*field)(const device_info&);
};

const member_case k_members[] = {
    {"vendor_name", 124, 64, [](const device_info& d) { return d.vendor_name.data(); }},
    {"vendor_url", 125, 256, [](const device_info& d) { return d.vendor_url.data(); }},
    {"product_name", 126, 64, [](const device_info& d) { return d.product_name.data(); }},
    {"product_version", 127, 16, [](const device_info& d) { return d.product_version.data(); }},
    {"product_id", 128, 64, [](const device_info& d) { return d.product_id.data(); }},
    {"special_id", 129, 64, [](const device_info& d) { return d.special_id.data(); }},
    {"language", 130, 16, [](const device_info& d) { return d.language.data(); }},
    {"region", 131, 16, [](const device_info& d) { return d.region.data(); }},
    {"hw_id", 132, 64, [](const device_info& d) { return d.hw_id.data(); }},
    {"oem_id", 133, 64, [](const device_info& d) { return d.oem_id.data(); }},
};

std::string err(int line, const std::string& text)
{
    return test_support::error_line("vorna_ptn_device_info", line, text);
}

const std::string k_record_failed = err(155, "Failed to parse json -> ptn table struct.\n");

cjson_ptr load_doc(const std::string& name)
{
    return cjson_ptr(cJSON_Parse(read_text(k_data + "/" + name).c_str()));
}

std::string print_doc(const cJSON* doc)
{
    char* text = cJSON_PrintUnformatted(doc);
    std::string out(text);
    cJSON_free(text);
    return out;
}

std::string value_of(const cJSON* doc, const char* key)
{
    return cJSON_GetObjectItem(doc, key)->valuestring;
}

struct parsed {
    int rc = 0;
    std::string out;
    std::unique_ptr<device_info> info;
};

parsed parse_text(const std::string& text)
{
    parsed p;
    p.info = make_record<device_info>();
    testing::internal::CaptureStdout();
    p.rc = device_info_parse_buffer(p.info.get(), reinterpret_cast<const std::uint8_t*>(text.data()),
                                    static_cast<std::int32_t>(text.size()));
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

TEST(DeviceInfoParse, LongestAllowedValuesFillEveryField)
{
    auto doc = load_doc("device_info_longest.json");
    ASSERT_NE(doc, nullptr);
    parsed p = parse_text(print_doc(doc.get()));
    ASSERT_EQ(p.rc, 0) << p.out;
    EXPECT_EQ(p.out, "");
    for (const member_case& m : k_members) {
        SCOPED_TRACE(m.key);
        EXPECT_EQ(value_of(doc.get(), m.key).size(), m.buffer - 1);
        EXPECT_EQ(std::string(m.field(*p.info)), value_of(doc.get(), m.key));
    }
}

TEST(DeviceInfoParse, EachMemberOneCharacterLongerFailsAtItsLine)
{
    for (std::size_t i = 0; i < std::size(k_members); ++i) {
        const member_case& m = k_members[i];
        SCOPED_TRACE(m.key);
        auto doc = load_doc("device_info_longest.json");
        std::string longer = value_of(doc.get(), m.key) + "x";
        cJSON_ReplaceItemInObject(doc.get(), m.key, cJSON_CreateString(longer.c_str()));
        parsed p = parse_text(print_doc(doc.get()));
        EXPECT_EQ(p.rc, -1);
        std::string n = std::to_string(m.buffer);
        EXPECT_EQ(p.out, err(m.line, "ptn json 'name' string len too long, '" + longer + "', " + n + "/" + n + "\n") +
                             k_record_failed);
        // The members before the failing one were taken; the failing one was not.
        if (i > 0) {
            EXPECT_STREQ(k_members[i - 1].field(*p.info), value_of(doc.get(), k_members[i - 1].key).c_str());
        }
        EXPECT_STREQ(m.field(*p.info), "");
    }
}

TEST(DeviceInfoParse, EveryMemberMustBeAString)
{
    const char* wrong[] = {"42", "true", "false", "null", "[\"x\"]", "{\"x\":\"y\"}"};
    for (const member_case& m : k_members) {
        for (const char* value : wrong) {
            SCOPED_TRACE(std::string(m.key) + " = " + value);
            auto doc = load_doc("device_info_example.json");
            cJSON_ReplaceItemInObject(doc.get(), m.key, cJSON_Parse(value));
            parsed p = parse_text(print_doc(doc.get()));
            EXPECT_EQ(p.rc, -1);
            EXPECT_EQ(p.out, err(m.line, "ptn json 'name' must be String type.\n") + k_record_failed);
        }
    }
}

TEST(DeviceInfoParse, AMissingMemberIsNamedAndEndsTheParse)
{
    for (const member_case& m : k_members) {
        SCOPED_TRACE(m.key);
        auto doc = load_doc("device_info_example.json");
        cJSON_DeleteItemFromObject(doc.get(), m.key);
        parsed p = parse_text(print_doc(doc.get()));
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.out, err(m.line, std::string("ptn json '") + m.key + "' not found.\n") + k_record_failed);
    }
    // Members after the first failure are not examined.
    auto doc = load_doc("device_info_example.json");
    cJSON_DeleteItemFromObject(doc.get(), "vendor_url");
    cJSON_ReplaceItemInObject(doc.get(), "region", cJSON_CreateNumber(7));
    parsed p = parse_text(print_doc(doc.get()));
    EXPECT_EQ(p.out, err(125, "ptn json 'vendor_url' not found.\n") + k_record_failed);
}

TEST(DeviceInfoParse, KeysMatchInAnyLetterCaseAndTheFirstOfTwoCounts)
{
    parsed p = parse_text(R"({"Vendor_Name":"first","vendor_name":"second","VENDOR_URL":"u","product_NAME":"p",)"
                          R"("product_version":"1","product_id":"i","special_id":"s","Language":"en","region":"EU",)"
                          R"("hw_id":"h","extra":{"ignored":1},"OEM_ID":"o"})");
    ASSERT_EQ(p.rc, 0) << p.out;
    EXPECT_STREQ(p.info->vendor_name.data(), "first");
    EXPECT_STREQ(p.info->vendor_url.data(), "u");
    EXPECT_STREQ(p.info->product_name.data(), "p");
    EXPECT_STREQ(p.info->language.data(), "en");
    EXPECT_STREQ(p.info->oem_id.data(), "o");
}

TEST(DeviceInfoParse, ContentThatIsNotAnObjectLacksTheFirstMember)
{
    for (const char* text : {"[\"vendor_name\"]", "\"vendor_name\"", "7", "null"}) {
        SCOPED_TRACE(text);
        parsed p = parse_text(text);
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.out, err(124, "ptn json 'vendor_name' not found.\n") + k_record_failed);
    }
}

TEST(DeviceInfoParse, TextCutShortOrEmptyFailsToParse)
{
    std::string full = read_text(k_data + "/device_info_example.json");
    for (std::size_t len : {std::size_t{0}, full.size() / 2}) {
        SCOPED_TRACE(len);
        parsed p = parse_text(full.substr(0, len));
        EXPECT_EQ(p.rc, -1);
        auto lines = test_support::lines_of(p.out);
        ASSERT_EQ(lines.size(), 2u) << p.out;
        EXPECT_TRUE(lines[0].starts_with("[ERROR]vorna_common:85 | Failed to parse <")) << lines[0];
        EXPECT_TRUE(lines[0].ends_with("," + std::to_string(len) + ">'")) << lines[0];
        EXPECT_EQ(lines[1], "[ERROR]vorna_ptn_device_info:148 | Failed to parse json.");
    }
}

TEST(DeviceInfoParse, BytesAfterTheObjectAreIgnoredAndTheRecordStartsClean)
{
    parsed p;
    p.info = make_record<device_info>();
    std::memset(static_cast<void*>(p.info.get()), 'Z', sizeof(device_info));
    std::string text = read_text(k_data + "/device_info_example.json") + std::string(64, '\xFF');
    ASSERT_EQ(device_info_parse_buffer(p.info.get(), reinterpret_cast<const std::uint8_t*>(text.data()),
                                       static_cast<std::int32_t>(text.size())),
              0);
    EXPECT_STREQ(p.info->product_name.data(), "Vorna V2");
    // Nothing of what the record held before survives, not even behind the texts.
    device_info expected{};
    std::strcpy(expected.vendor_name.data(), "Halden Works");
    std::strcpy(expected.vendor_url.data(), "https://halden.example");
    std::strcpy(expected.product_name.data(), "Vorna V2");
    std::strcpy(expected.product_version.data(), "2.1");
    std::strcpy(expected.product_id.data(), "00112233");
    std::strcpy(expected.special_id.data(), "5545");
    std::strcpy(expected.language.data(), "en");
    std::strcpy(expected.region.data(), "EU");
    std::strcpy(expected.hw_id.data(), "HW-0042-A");
    std::strcpy(expected.oem_id.data(), "OEM-7");
    EXPECT_EQ(std::memcmp(p.info.get(), &expected, sizeof expected), 0);
}

TEST(DeviceInfoParseDeathTest, ContractsAbort)
{
    auto doc = load_doc("device_info_example.json");
    device_info info{};
    EXPECT_DEATH((void)_device_info_json_parse(nullptr, &info), ":119: _device_info_json_parse: Assertion `json_root' failed");
    EXPECT_DEATH((void)_device_info_json_parse(doc.get(), nullptr), ":120: _device_info_json_parse: Assertion `devinfo' failed");
}

// --- reading the partition ---------------------------------------------------

/// Header (first word 0x11111111, last word 0x22222222) + text, then erased flash
/// up to `size` bytes.
std::vector<std::uint8_t> partition_image(const std::string& text, std::size_t size, std::uint32_t content_len)
{
    std::vector<std::uint8_t> out(size, 0xFF);
    std::array<std::uint8_t, 16> header{};
    ptn_header_encode(ptn_header{0x11111111, k_ptn_header_magic, content_len, 0x22222222}, header);
    std::copy(header.begin(), header.end(), out.begin());
    std::copy(text.begin(), text.end(), out.begin() + 16);
    return out;
}

std::vector<std::uint8_t> partition_image(const std::string& text, std::size_t size)
{
    return partition_image(text, size, static_cast<std::uint32_t>(text.size()));
}

class DeviceInfoLoad : public testing::Test {
protected:
    DeviceInfoLoad() : table_(make_record<ptn_table>())
    {
        copy_text(table_->layouts[0].device.data(), 512, nor_.c_str());
        copy_text(table_->layouts[1].device.data(), 512, emmc_.c_str());
        table_->layouts[0].disk_size = table_->layouts[1].disk_size = 0x100000;
    }

    void add(int layout, const char* name, std::uint32_t base, std::uint32_t size, const char* encap = "raw")
    {
        ptn_layout& l = table_->layouts[static_cast<std::size_t>(layout)];
        ptn_entry& e = l.ptns[l.count++];
        copy_text(e.name.data(), e.name.size(), name);
        e.base = base;
        e.size = size;
        e.layout = layout;
        copy_text(e.encap_type.data(), e.encap_type.size(), encap);
    }

    /// A device file of `size` bytes of 0xA5 with `content` at `at`.
    static void device(const std::string& path, std::size_t size, std::size_t at,
                       const std::vector<std::uint8_t>& content)
    {
        std::vector<std::uint8_t> bytes(size, 0xA5);
        std::copy(content.begin(), content.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        write_file(path, bytes);
    }

    std::unique_ptr<device_info> load()
    {
        testing::internal::CaptureStdout();
        auto info = device_info_load(table_.get());
        out_ = testing::internal::GetCapturedStdout();
        return info;
    }

    temp_dir dir_;
    std::string nor_ = dir_.file("nor.bin");
    std::string emmc_ = dir_.file("emmc.bin");
    std::unique_ptr<ptn_table> table_;
    std::string out_;
    std::string example_ = read_text(k_data + "/device_info_example.json");
};

TEST_F(DeviceInfoLoad, ReadsTheNorPartitionWhateverItsEncapType)
{
    add(0, "boot", 0x0, 0x1000);
    add(0, "device-info", 0x1000, 0x1000, "raw");
    device(nor_, 0x4000, 0x1000, partition_image(example_, 0x1000));
    auto info = load();
    ASSERT_NE(info, nullptr) << out_;
    EXPECT_EQ(out_, "");
    EXPECT_STREQ(info->vendor_name.data(), "Halden Works");
    EXPECT_STREQ(info->special_id.data(), "5545");
    EXPECT_STREQ(info->oem_id.data(), "OEM-7");
}

TEST_F(DeviceInfoLoad, AMissingPartitionIsReported)
{
    add(0, "boot", 0x0, 0x1000);
    add(1, "device-inf0", 0x0, 0x1000);
    device(nor_, 0x4000, 0, partition_image(example_, 0x1000));
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, err(188, "PTN[device-info] not found.\n"));
}

TEST_F(DeviceInfoLoad, AnEmmcOnlyPartitionIsReadFromTheEmmcDevice)
{
    add(0, "boot", 0x2000, 0x1000);
    add(1, "device-info", 0x2000, 0x800);
    // The NOR device holds a different identity at the same place.
    device(nor_, 0x4000, 0x2000, partition_image(R"({"vendor_name":"wrong device"})", 0x800));
    device(emmc_, 0x4000, 0x2000, partition_image(example_, 0x800));
    auto info = load();
    ASSERT_NE(info, nullptr) << out_;
    EXPECT_STREQ(info->hw_id.data(), "HW-0042-A");
}

TEST_F(DeviceInfoLoad, ANameInBothLayoutsResolvesToNor)
{
    add(0, "device-info", 0x0, 0x800);
    add(1, "device-info", 0x0, 0x800);
    std::string other = example_;
    other.replace(other.find("Halden Works"), 12, "Other Works!");
    device(nor_, 0x800, 0, partition_image(example_, 0x800));
    device(emmc_, 0x800, 0, partition_image(other, 0x800));
    auto info = load();
    ASSERT_NE(info, nullptr) << out_;
    EXPECT_STREQ(info->vendor_name.data(), "Halden Works");
}

TEST_F(DeviceInfoLoad, ErasedFlashIsNotAValidPartition)
{
    add(0, "device-info", 0x3000, 0x1000);
    device(nor_, 0x4000, 0x3000, std::vector<std::uint8_t>(0x1000, 0xFF));
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, "[ERROR]vorna_ptn_header:94 | Magic unmatch.magic [0xFFFFFFFF -- 0xAA55D98F]\n" +
                        err(209, "partition [0x00003000] is not a valid partition.\n"));
}

TEST_F(DeviceInfoLoad, APartitionCutByTheEndOfTheDeviceIsNotValid)
{
    // Fewer than 16 bytes are there: no header line, only the caller's.
    add(0, "device-info", 0x3FF8, 0x1000);
    device(nor_, 0x4000, 0, {});
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, err(209, "partition [0x00003ff8] is not a valid partition.\n"));
}

TEST_F(DeviceInfoLoad, AMissingDeviceCannotBeRead)
{
    add(1, "device-info", 0x0, 0x1000);
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, err(203, "failed to read ptn_table content.\n"));
}

TEST_F(DeviceInfoLoad, ContentLengthMustStayInsideThePartition)
{
    add(0, "device-info", 0x1000, 0x400);
    // Exactly the room behind the header: padded with blanks after the object.
    std::string padded = example_ + std::string(0x400 - 16 - example_.size(), ' ');
    device(nor_, 0x2000, 0x1000, partition_image(padded, 0x400));
    auto info = load();
    ASSERT_NE(info, nullptr) << out_;
    EXPECT_STREQ(info->region.data(), "EU");

    // One byte more would reach past the partition.
    device(nor_, 0x2000, 0x1000, partition_image(example_, 0x400, 0x400 - 16 + 1));
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, err(211, "partition [0x00001000] content length 1009 exceeds 1008.\n"));
}

TEST_F(DeviceInfoLoad, ABadDocumentPrintsTheWholeChain)
{
    add(0, "device-info", 0x0, 0x1000);
    auto doc = cjson_ptr(cJSON_Parse(example_.c_str()));
    cJSON_DeleteItemFromObject(doc.get(), "hw_id");
    device(nor_, 0x1000, 0, partition_image(print_doc(doc.get()), 0x1000));
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(out_, err(132, "ptn json 'hw_id' not found.\n") + k_record_failed +
                        err(215, "Faield to parse device info of FLASH.\n"));

    // A content length of 0 leaves nothing to parse.
    device(nor_, 0x1000, 0, partition_image(example_, 0x1000, 0));
    EXPECT_EQ(load(), nullptr);
    auto lines = test_support::lines_of(out_);
    ASSERT_EQ(lines.size(), 3u) << out_;
    EXPECT_TRUE(lines[0].starts_with("[ERROR]vorna_common:85 | Failed to parse <")) << lines[0];
    EXPECT_EQ(lines[1], "[ERROR]vorna_ptn_device_info:148 | Failed to parse json.");
    EXPECT_EQ(lines[2], "[ERROR]vorna_ptn_device_info:215 | Faield to parse device info of FLASH.");
}

} // namespace

#ifdef VORNA_IMAGE_BIN
namespace {

TEST(DeviceInfoDemoBoard, CarriesAValidIdentity)
{
    temp_dir dir;
    auto made = test_support::run_cli(
        {VORNA_IMAGE_BIN, "board", k_data + "/../../tools/demo/board.json", dir.file("board")});
    ASSERT_EQ(made.status, 0) << made.err;
    testing::internal::CaptureStdout();
    auto table = ptn_table_load(dir.file("board/table.img").c_str(), 0x10000);
    auto info = table ? device_info_load(table.get()) : nullptr;
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(info, nullptr) << out;
    EXPECT_EQ(out, "");
    EXPECT_STREQ(info->product_name.data(), "Vorna V2");
    EXPECT_STREQ(info->product_version.data(), "2.1");
    EXPECT_STREQ(info->special_id.data(), "5545");
}

} // namespace
#endif
