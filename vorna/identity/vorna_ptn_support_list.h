// SPDX-License-Identifier: Apache-2.0
#pragma once
// An image's list of supported devices and the match against the device identity.
#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include <cjson/cJSON.h>

struct device_info;
struct firmware_ptn_table;
class firmware_source;

constexpr int k_support_list_max = 64;

struct support_entry {
    std::array<char, 64> product_name;
    std::array<char, 16> product_version;
    std::array<char, 64> special_id;
};

struct support_list {
    std::int32_t count;
    std::array<support_entry, k_support_list_max> entries;
};
static_assert(sizeof(support_list) == 9220, "the record's size is printed by messages");

/// Builds the list from every "support-list" entry of the image (the last one
/// counts); an image without one gives count 0. Null after printing.
[[nodiscard]] std::unique_ptr<support_list> support_list_from_image(const firmware_ptn_table* table,
                                                                    firmware_source& image);
/// The same for an image held whole in memory.
[[nodiscard]] std::unique_ptr<support_list> support_list_from_image(const firmware_ptn_table* table,
                                                                    std::span<const std::uint8_t> image);

/// Parses `length` bytes of JSON into `list`. 0, or -1 after printing.
[[nodiscard]] int support_list_parse_buffer(support_list* list, const std::uint8_t* bytes, std::int32_t length);

/// Fills `list` from the JSON root (zeroed first). 0, or -1 after printing.
[[nodiscard]] int _support_list_json_parse(support_list* list, const cJSON* json_root);

/// 1 when product name, version and special id of `devinfo` equal one entry's; else -1.
[[nodiscard]] int support_list_match(const device_info* devinfo, const support_list* list);
