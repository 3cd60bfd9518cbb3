// SPDX-License-Identifier: Apache-2.0
// The image's list of supported devices and its match against the device's identity.
#include "vorna/identity/vorna_ptn_support_list.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_assert.h"
#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware_verify.h"
#include "vorna/support/vorna_log.h"
#include "vorna/identity/vorna_ptn_device_info.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_ptn_support_list";
constexpr const char* k_source = "vorna_ptn_support_list.cpp";
constexpr const char* k_list_name = "support-list";

enum line : int {
    k_line_assert_root = 124,
    k_line_assert_list = 125,
    k_line_not_found = 131,
    k_line_too_many = 140,
    k_line_assert_element = 147,
    k_line_product_name = 150,
    k_line_product_version = 152,
    k_line_special_id = 154,
    k_line_not_json = 169,
    k_line_bad_document = 174,
    k_line_alloc = 201,
    k_line_outside_image = 208, // contents reach past the end of the image
    k_line_invalid_header = 215,
    k_line_content_too_long = 218, // content_len larger than the contents behind the header
    k_line_parse_failed = 222,
    k_line_too_big = 230, // a document larger than any support list needs
};

constexpr firmware_document_lines k_document_lines{
    k_module, "image", k_line_outside_image, k_line_invalid_header, k_line_content_too_long, k_line_too_big};

/// Equal texts in two fixed buffers of the same size, never reading past them.
template <std::size_t N>
bool same_text(const std::array<char, N>& a, const std::array<char, N>& b)
{
    return std::strncmp(a.data(), b.data(), N) == 0;
}

} // namespace

int _support_list_json_parse(support_list* list, const cJSON* json_root)
{
    contract(json_root != nullptr, "json_root", k_source, k_line_assert_root, __func__);
    contract(list != nullptr, "support_list", k_source, k_line_assert_list, __func__);
    *list = support_list{};

    const cJSON* array = cJSON_GetObjectItem(json_root, k_list_name);
    if (array == nullptr) {
        log_error(k_module, k_line_not_found, "'%s' not found.\n", k_list_name);
        return -1;
    }
    // Children are taken whatever the member's type: an object's members count,
    // a string or number has none.
    int n = cJSON_GetArraySize(array);
    if (n > k_support_list_max) {
        log_error(k_module, k_line_too_many, "too much entry, %d/%d.\n", n, k_support_list_max);
        return -1;
    }
    list->count = n;
    for (int i = 0; i < n; ++i) {
        const cJSON* element = cJSON_GetArrayItem(array, i);
        contract(element != nullptr, "json_ptn", k_source, k_line_assert_element, __func__);
        support_entry& entry = list->entries[static_cast<std::size_t>(i)];
        if (json_read_text(k_module, k_line_product_name, element, "product_name", entry.product_name) < 0 ||
            json_read_text(k_module, k_line_product_version, element, "product_version", entry.product_version) < 0 ||
            json_read_text(k_module, k_line_special_id, element, "special_id", entry.special_id) < 0)
            return -1;
    }
    return 0;
}

int support_list_parse_buffer(support_list* list, const std::uint8_t* bytes, std::int32_t length)
{
    cjson_ptr root = json_parse_buffer(bytes, length);
    if (!root) {
        log_error(k_module, k_line_not_json, "Failed to parse json.\n");
        return -1;
    }
    if (_support_list_json_parse(list, root.get()) < 0) {
        log_error(k_module, k_line_bad_document, "Failed to parse json.\n");
        return -1;
    }
    return 0;
}

std::unique_ptr<support_list> support_list_from_image(const firmware_ptn_table* table, firmware_source& image)
{
    auto list = make_record<support_list>();
    if (!list) {
        log_error(k_module, k_line_alloc, "failed to alloc %d bytes.\n\n", static_cast<int>(sizeof(support_list)));
        return nullptr;
    }
    if (table == nullptr)
        return list;
    // Every document of the name is parsed into the same record, which each parse
    // zeroes first: the last one in table order is the one that counts, and one
    // that is no support list refuses the image as an unreadable one does.
    firmware_document found;
    const auto status = firmware_document_find(*table, k_list_name, image, found, [&](const ptn_document& doc) {
        if (support_list_parse_buffer(list.get(), doc.bytes.get(),
                                      static_cast<std::int32_t>(doc.frame.header.content_len)) < 0) {
            log_error(k_module, k_line_parse_failed, "Faield to parse support list of firmware.\n");
            return -1;
        }
        return 0;
    });
    if (status == firmware_document_status::none || status == firmware_document_status::ok)
        return list;
    firmware_document_report(found, k_document_lines);
    return nullptr;
}

std::unique_ptr<support_list> support_list_from_image(const firmware_ptn_table* table,
                                                      std::span<const std::uint8_t> image)
{
    firmware_file source;
    if (source.open_bytes(image, "(memory)") < 0)
        return nullptr;
    return support_list_from_image(table, source);
}

int support_list_match(const device_info* devinfo, const support_list* list)
{
    if (devinfo == nullptr || list == nullptr)
        return -1;
    int count = list->count < 0 ? 0 : std::min(list->count, k_support_list_max);
    for (int i = 0; i < count; ++i) {
        const support_entry& entry = list->entries[static_cast<std::size_t>(i)];
        if (same_text(devinfo->product_name, entry.product_name) &&
            same_text(devinfo->product_version, entry.product_version) &&
            same_text(devinfo->special_id, entry.special_id))
            return 1;
    }
    return -1;
}
