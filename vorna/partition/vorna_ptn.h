// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device partition table: a JSON document at a byte offset of a device,
// describing a NOR layout (index 0) and an eMMC layout (index 1).
#include <array>
#include <cstdint>
#include <memory>

#include <cjson/cJSON.h>

constexpr int k_ptn_max = 32;               ///< partitions per layout
constexpr std::int32_t k_ptn_table_max_len = 32768; ///< bytes read at the table's base

struct ptn_entry {
    std::array<char, 32> name;       ///< NUL-terminated, [A-Za-z0-9._-]
    std::uint32_t base;              ///< byte offset on the layout's device
    std::uint32_t size;              ///< never 0 in a loaded table
    std::int32_t layout;             ///< 0 NOR, 1 eMMC: index of the layout holding it
    std::uint8_t write_to_flash;
    std::uint8_t write_to_up;
    std::array<char, 64> encap_type; ///< contains "header": contents start with a ptn_header
};

struct ptn_layout {
    std::int64_t disk_size;          ///< compared and printed as unsigned 64-bit
    std::uint32_t count;             ///< valid entries at the front of ptns
    std::array<char, 512> device;    ///< device node path of this layout
    std::array<ptn_entry, k_ptn_max> ptns;
};

struct ptn_table {
    std::array<ptn_layout, 2> layouts; ///< [0] NOR, [1] eMMC
};

/// Fills and validates one layout from its JSON object. 0, or -1 after printing.
[[nodiscard]] int _ptn_table_partition_layout(const cJSON* json_root, ptn_layout* layout, int index);

/// Checks sizes, disk bounds, unique names and ascending non-overlapping bases.
[[nodiscard]] int ptn_layout_validate(const ptn_layout* layout);

/// Fills both layouts from the document root. 0, or -1 after printing.
[[nodiscard]] int ptn_table_parse(const cJSON* json_root, ptn_table* table);

/// Reads and parses the table at byte `base` of `device`; null after printing.
[[nodiscard]] std::unique_ptr<ptn_table> ptn_table_load(const char* device, std::uint32_t base);

/// The entry named `name` (NOR layout first, then eMMC), or null. Points into `table`.
[[nodiscard]] const ptn_entry* ptn_table_lookup(const ptn_table* table, const char* name);

/// Prints the whole table on stdout.
void ptn_table_print(const ptn_table* table);

/// `vorna -s`: loads and prints the table. 0 when it loaded, -1 after printing a failure.
int ptn_table_show(const char* device, std::uint32_t base);

/// Device path of the layout that holds `entry`.
[[nodiscard]] const char* ptn_entry_device(const ptn_table* table, const ptn_entry* entry);

/// `vorna -r`: copies partition `name` (its content only, behind a header) to `out_path`. 0 or -1.
[[nodiscard]] int ptn_read_to_file(const char* device, std::uint32_t base, const char* name, const char* out_path);

/// `vorna -w`: writes `in_path` into partition `name` (behind a header when its
/// encap_type says so). 0 or -1.
[[nodiscard]] int ptn_write_from_file(const char* device, std::uint32_t base, const char* name, const char* in_path);
