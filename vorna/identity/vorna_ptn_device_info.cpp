// SPDX-License-Identifier: Apache-2.0
#include "vorna/identity/vorna_ptn_device_info.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_assert.h"
#include "vorna/support/vorna_common.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <cstring>
#include <span>

namespace {

constexpr const char* k_module = "vorna_ptn_device_info";
constexpr const char* k_source = "vorna_ptn_device_info.cpp";
constexpr const char* k_ptn_name = "device-info";

enum line : int {
    k_line_assert_root = 119,
    k_line_assert_record = 120,
    k_line_vendor_name = 124,
    k_line_vendor_url = 125,
    k_line_product_name = 126,
    k_line_product_version = 127,
    k_line_product_id = 128,
    k_line_special_id = 129,
    k_line_language = 130,
    k_line_region = 131,
    k_line_hw_id = 132,
    k_line_oem_id = 133,
    k_line_parse_json = 148,
    k_line_parse_record = 155,
    k_line_alloc_record = 180,
    k_line_not_found = 188,
    k_line_alloc_buffer = 195,
    k_line_read = 203,
    k_line_bad_header = 209,
    k_line_content_len = 211, // a header announcing more than the partition holds
    k_line_content_too_big = 212, // a header announcing more than an identity ever needs
    k_line_parse_info = 215,
};

/// One text member: its key, its line, and the field it fills.
struct text_member {
    const char* key;
    int at;
    std::span<char> (*field)(device_info&);
};

// In the order they are examined; the first failure ends the parse.
constexpr text_member k_members[] = {
    {"vendor_name", k_line_vendor_name, [](device_info& d) { return std::span<char>(d.vendor_name); }},
    {"vendor_url", k_line_vendor_url, [](device_info& d) { return std::span<char>(d.vendor_url); }},
    {"product_name", k_line_product_name, [](device_info& d) { return std::span<char>(d.product_name); }},
    {"product_version", k_line_product_version, [](device_info& d) { return std::span<char>(d.product_version); }},
    {"product_id", k_line_product_id, [](device_info& d) { return std::span<char>(d.product_id); }},
    {"special_id", k_line_special_id, [](device_info& d) { return std::span<char>(d.special_id); }},
    {"language", k_line_language, [](device_info& d) { return std::span<char>(d.language); }},
    {"region", k_line_region, [](device_info& d) { return std::span<char>(d.region); }},
    {"hw_id", k_line_hw_id, [](device_info& d) { return std::span<char>(d.hw_id); }},
    {"oem_id", k_line_oem_id, [](device_info& d) { return std::span<char>(d.oem_id); }},
};

} // namespace

int _device_info_json_parse(const cJSON* json_root, device_info* devinfo)
{
    contract(json_root != nullptr, "json_root", k_source, k_line_assert_root, __func__);
    contract(devinfo != nullptr, "devinfo", k_source, k_line_assert_record, __func__);
    *devinfo = device_info{};
    for (const text_member& member : k_members) {
        if (json_read_text(k_module, member.at, json_root, member.key, member.field(*devinfo)) < 0)
            return -1;
    }
    return 0;
}

int device_info_parse_buffer(device_info* devinfo, const std::uint8_t* bytes, std::int32_t length)
{
    cjson_ptr root = json_parse_buffer(bytes, length);
    if (!root) {
        log_error(k_module, k_line_parse_json, "Failed to parse json.\n");
        return -1;
    }
    if (_device_info_json_parse(root.get(), devinfo) < 0) {
        log_error(k_module, k_line_parse_record, "Failed to parse json -> ptn table struct.\n");
        return -1;
    }
    return 0;
}

std::unique_ptr<device_info> device_info_load(const ptn_table* table)
{
    auto devinfo = make_record<device_info>();
    if (!devinfo) {
        log_error(k_module, k_line_alloc_record, "failed to alloc %d bytes.\n\n", static_cast<int>(sizeof(device_info)));
        return nullptr;
    }
    const ptn_entry* entry = ptn_table_lookup(table, k_ptn_name);
    if (entry == nullptr) {
        log_error(k_module, k_line_not_found, "PTN[%s] not found.\n", k_ptn_name);
        return nullptr;
    }
    const char* device = ptn_entry_device(table, entry);
    const auto read = [&](std::uint64_t at, std::span<std::uint8_t> out) -> long long {
        off_t got = 0;
        if (file_read_at(device, off_t{entry->base} + static_cast<off_t>(at), out.data(),
                         static_cast<off_t>(out.size()), &got) != 0)
            return -1;
        return got;
    };
    // The partition may be huge and its header says what it likes: the ten short
    // fields never need more than k_device_info_max, so memory never follows the device.
    ptn_document doc;
    switch (ptn_frame_read(entry->size, k_device_info_max, read, doc)) {
    case ptn_frame_status::ok: break;
    case ptn_frame_status::unreadable:
        log_error(k_module, k_line_read, "failed to read ptn_table content.\n");
        return nullptr;
    case ptn_frame_status::short_frame:
    case ptn_frame_status::bad_magic:
        log_error(k_module, k_line_bad_header, "partition [0x%08x] is not a valid partition.\n", entry->base);
        return nullptr;
    case ptn_frame_status::too_long:
        log_error(k_module, k_line_content_len, "partition [0x%08x] content length %u exceeds %u.\n", entry->base,
                  doc.frame.header.content_len, static_cast<unsigned>(ptn_frame_room(entry->size)));
        return nullptr;
    case ptn_frame_status::too_big:
        log_error(k_module, k_line_content_too_big, "partition [0x%08x] content length %u exceeds %u.\n", entry->base,
                  doc.frame.header.content_len, k_device_info_max);
        return nullptr;
    case ptn_frame_status::no_memory:
        log_error(k_module, k_line_alloc_buffer, "alloc %u bytes failed.\n", doc.frame.header.content_len);
        return nullptr;
    }
    if (device_info_parse_buffer(devinfo.get(), doc.bytes.get(),
                                 static_cast<std::int32_t>(doc.frame.header.content_len)) < 0) {
        log_error(k_module, k_line_parse_info, "Faield to parse device info of FLASH.\n");
        return nullptr;
    }
    return devinfo;
}
