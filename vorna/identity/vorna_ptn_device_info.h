// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device's identity, read from its "device-info" partition.
#include <array>
#include <cstdint>
#include <memory>

#include <cjson/cJSON.h>

struct ptn_table;

/// The longest identity document read from the partition (the same limit as an
/// image's documents); a header announcing more is refused before any allocation.
constexpr std::uint32_t k_device_info_max = 1u << 20;

struct device_info {
    std::array<char, 64> vendor_name;
    std::array<char, 256> vendor_url;
    std::array<char, 64> product_name;
    std::array<char, 16> product_version;
    std::array<char, 64> product_id;
    std::array<char, 64> special_id;
    std::array<char, 16> language;
    std::array<char, 16> region;
    std::array<char, 64> hw_id;
    std::array<char, 64> oem_id;
    std::array<std::uint8_t, 512> reserved;
};
static_assert(sizeof(device_info) == 1200, "the record's size is printed by messages");

/// Fills `devinfo` from the JSON root (zeroed first). 0, or -1 after printing.
[[nodiscard]] int _device_info_json_parse(const cJSON* json_root, device_info* devinfo);

/// Parses `length` bytes of JSON into `devinfo`. 0, or -1 after printing.
[[nodiscard]] int device_info_parse_buffer(device_info* devinfo, const std::uint8_t* bytes, std::int32_t length);

/// Reads the "device-info" partition of `table`; null after printing.
[[nodiscard]] std::unique_ptr<device_info> device_info_load(const ptn_table* table);
