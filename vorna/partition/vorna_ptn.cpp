// SPDX-License-Identifier: Apache-2.0
#include "vorna/partition/vorna_ptn.h"

#include "vorna/partition/vorna_ptn_lines.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_assert.h"
#include "vorna/support/vorna_common.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

constexpr const char* k_module = "vorna_ptn";

constexpr const char* k_source = "vorna_ptn.cpp";

constexpr std::size_t k_device_size = sizeof(ptn_layout::device);

/// A partition number must fit the 32-bit field it lands in: keeping the low
/// bits would put the partition somewhere else.
bool hex_u32(const char* text, std::uint32_t* out)
{
    long value = hex_value(text);
    if (value < 0 || static_cast<unsigned long>(value) > 0xFFFFFFFFUL)
        return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool name_char_allowed(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool name_chars_allowed(const char* name)
{
    for (const char* p = name; *p != '\0'; ++p) {
        if (!name_char_allowed(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

/// The lines of one partition member's failures: missing, of another type, a bad value.
struct member_lines {
    int missing;
    int type;
    int bad;
};

/// The member `key` when it is there with the type `is_type` tests; null after
/// printing its "not found" or "must be ... type" line.
const cJSON* typed_member(const cJSON* object, const char* key, cJSON_bool (*is_type)(const cJSON*), const char* type,
                          const member_lines& at)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr)
        log_error(k_module, at.missing, "ptn json '%s' not found.\n\n", key);
    else if (!is_type(item))
        log_error(k_module, at.type, "ptn json '%s' must be %s type.\n\n", key, type);
    return item != nullptr && is_type(item) ? item : nullptr;
}

/// A text member into the fixed buffer `field`. 0, or -1 after printing.
int text_member(const cJSON* object, const char* key, const member_lines& at, std::span<char> field)
{
    const json_text text = json_text_member(object, key, field.size());
    switch (text.status) {
    case json_text_status::missing:
    case json_text_status::not_string: return typed_member(object, key, cJSON_IsString, "String", at) ? 0 : -1;
    case json_text_status::too_long:
        log_error(k_module, at.bad, "ptn json '%s' string len too long, '%s', %d/%d\n", key, text.text,
                  static_cast<int>(text.len), static_cast<int>(field.size()));
        return -1;
    case json_text_status::ok: break;
    }
    copy_text(field.data(), field.size(), text.text);
    return 0;
}

/// A number member ("base", "size"), hexadecimal text that must fit 32 bits. 0, or -1 after printing.
int hex_member(const cJSON* object, const char* key, const member_lines& at, std::uint32_t* out)
{
    const cJSON* item = typed_member(object, key, cJSON_IsString, "String", at);
    if (item == nullptr)
        return -1;
    if (!hex_u32(item->valuestring, out)) {
        log_error(k_module, at.bad, "ptn json '%s' (%s) out of range.\n", key, item->valuestring);
        return -1;
    }
    return 0;
}

/// A flag member: 1 for true, 0 for false. 0, or -1 after printing.
int bool_member(const cJSON* object, const char* key, const member_lines& at, std::uint8_t* out)
{
    const cJSON* item = typed_member(object, key, cJSON_IsBool, "bool", at);
    if (item == nullptr)
        return -1;
    *out = cJSON_IsTrue(item) ? 1 : 0;
    return 0;
}

/// Fills `entry` from one partition object; stops at the first member that fails.
int parse_partition(const cJSON* json_ptn, ptn_entry* entry)
{
    if (text_member(json_ptn, "name", {k_line_name_missing, k_line_name_type, k_line_name_too_long}, entry->name) < 0)
        return -1;
    if (!name_chars_allowed(entry->name.data())) {
        log_error(k_module, k_line_name_chars, "ptn json 'name' (%s) validate failed.\n", entry->name.data());
        return -1;
    }
    if (hex_member(json_ptn, "base", {k_line_base_missing, k_line_base_type, k_line_base_range}, &entry->base) < 0 ||
        hex_member(json_ptn, "size", {k_line_size_missing, k_line_size_type, k_line_size_range}, &entry->size) < 0 ||
        bool_member(json_ptn, "write_to_flash", {k_line_flash_missing, k_line_flash_type, 0}, &entry->write_to_flash) <
            0 ||
        bool_member(json_ptn, "write_to_up", {k_line_up_missing, k_line_up_type, 0}, &entry->write_to_up) < 0)
        return -1;
    return text_member(json_ptn, "encap_type", {k_line_encap_missing, k_line_encap_type, k_line_encap_too_long},
                       entry->encap_type);
}

int parse_disk_size(const cJSON* json_root, ptn_layout* layout)
{
    const cJSON* disk_size = cJSON_GetObjectItem(json_root, "disk-size");
    if (disk_size == nullptr) {
        log_error(k_module, k_line_disk_size_missing, "'%s' not found.\n", "disk-size");
        return -1;
    }
    // The size is read from its text; any other type has none to convert.
    if (!cJSON_IsString(disk_size)) {
        log_error(k_module, k_line_disk_size_type, "'%s' must be String type.\n", "disk-size");
        return -1;
    }
    layout->disk_size = hex_value(disk_size->valuestring);
    // A negative size, taken as unsigned, would switch the end-of-disk check off.
    if (layout->disk_size < 0) {
        log_error(k_module, k_line_disk_size_range, "'%s' (%s) out of range.\n", "disk-size", disk_size->valuestring);
        return -1;
    }
    return 0;
}

int parse_device(const cJSON* json_root, ptn_layout* layout)
{
    const json_text device = json_text_member(json_root, "device", k_device_size);
    switch (device.status) {
    case json_text_status::missing:
        log_error(k_module, k_line_device_missing, "'%s' not found.\n", "device");
        return -1;
    case json_text_status::not_string:
        log_error(k_module, k_line_device_type, "'%s' must be String type.\n", "device");
        return -1;
    case json_text_status::too_long:
        log_error(k_module, k_line_device_too_long, "ptn json 'device' string len too long, '%s', %d/%d\n", device.text,
                  static_cast<int>(device.len), static_cast<int>(k_device_size));
        return -1;
    case json_text_status::ok: break;
    }
    copy_text(layout->device.data(), layout->device.size(), device.text);
    return 0;
}

void print_rule(char c, int width)
{
    for (int i = 0; i < width; ++i)
        std::putchar(c);
    std::putchar('\n');
}

} // namespace

int ptn_layout_validate(const ptn_layout* layout)
{
    const auto disk_size = static_cast<std::uint64_t>(layout->disk_size);
    for (std::uint32_t j = 0; j < layout->count && j < k_ptn_max; ++j) {
        const ptn_entry& ptn = layout->ptns[j];
        const std::uint64_t end = std::uint64_t{ptn.base} + ptn.size;
        if (ptn.size == 0) {
            log_error(k_module, k_line_size_zero, "PTN[%s] size is 0.\n", ptn.name.data());
            return -1;
        }
        if (end > disk_size) {
            log_error(k_module, k_line_disk_overflow, "PTN[%s,0x%08x,0x%08x] cause disk[0x%llX] overflow.\n",
                      ptn.name.data(), ptn.base, ptn.size, static_cast<unsigned long long>(disk_size));
            return -1;
        }
        for (std::uint32_t k = 0; k < j; ++k) {
            const ptn_entry& prev = layout->ptns[k];
            const std::uint64_t prev_end = std::uint64_t{prev.base} + prev.size;
            if (std::strcmp(ptn.name.data(), prev.name.data()) == 0) {
                log_error(k_module, k_line_name_conflict, "PTN[%d] and PTN[%d] Name conflict : '%s'.\n",
                          static_cast<int>(k), static_cast<int>(j), ptn.name.data());
                return -1;
            }
            if (ptn.base <= prev.base) {
                log_error(k_module, k_line_base_order, "PTN[%s](%d) base(0x%08x) <= PTN[%s](%d) base(0x%08x).\n",
                          ptn.name.data(), static_cast<int>(j), ptn.base, prev.name.data(), static_cast<int>(k),
                          prev.base);
                return -1;
            }
            if (ptn.base < prev_end) {
                log_error(k_module, k_line_overlap, "PTN[%s](%d) base(0x%08x) < PTN[%s](%d) base+size(0x%08x).\n",
                          ptn.name.data(), static_cast<int>(j), ptn.base, prev.name.data(), static_cast<int>(k),
                          static_cast<std::uint32_t>(prev_end));
                return -1;
            }
        }
    }
    return 0;
}

int _ptn_table_partition_layout(const cJSON* json_root, ptn_layout* layout, int index)
{
    contract(json_root != nullptr, "json_root", k_source, k_line_assert_root, __func__);
    contract(layout != nullptr, "ptn_layout", k_source, k_line_assert_layout, __func__);
    *layout = ptn_layout{};

    if (parse_disk_size(json_root, layout) != 0 || parse_device(json_root, layout) != 0)
        return -1;

    const cJSON* partitions = cJSON_GetObjectItem(json_root, "partitions");
    if (partitions == nullptr) {
        log_error(k_module, k_line_partitions_missing, "'%s' not found.\n", "partitions");
        return -1;
    }
    const int n = cJSON_GetArraySize(partitions);
    if (n > k_ptn_max) {
        log_error(k_module, k_line_too_many, "too much partitiions, %d/%d.\n", n, k_ptn_max);
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        const cJSON* json_ptn = cJSON_GetArrayItem(partitions, i);
        contract(json_ptn != nullptr, "json_ptn", k_source, k_line_assert_ptn, __func__);
        ptn_entry& entry = layout->ptns[layout->count];
        entry.layout = index;
        if (parse_partition(json_ptn, &entry) != 0)
            return -1;
        ++layout->count;
    }

    if (ptn_layout_validate(layout) != 0) {
        log_error(k_module, k_line_validate, "ptn table validate failed.\n");
        return -1;
    }
    return 0;
}

int ptn_table_parse(const cJSON* json_root, ptn_table* table)
{
    const cJSON* nor = cJSON_GetObjectItem(json_root, "partition-layout-nor");
    if (nor == nullptr) {
        log_error(k_module, k_line_nor_missing, "'%s' not found.\n", "partition-layout-nor");
        return -1;
    }
    if (_ptn_table_partition_layout(nor, &table->layouts[0], 0) < 0) {
        log_error(k_module, k_line_nor_parse, "Failed to parse json[ptn_layout] -> ptn_layout struct.\n");
        return -1;
    }
    const cJSON* emmc = cJSON_GetObjectItem(json_root, "partition-layout-emmc");
    if (emmc == nullptr) {
        log_error(k_module, k_line_emmc_missing, "'%s' not found.\n", "partition-layout-emmc");
        return -1;
    }
    if (_ptn_table_partition_layout(emmc, &table->layouts[1], 1) < 0) {
        log_error(k_module, k_line_emmc_parse, "Failed to parse json[ptn_layout] -> ptn_layout struct.\n");
        return -1;
    }
    return 0;
}

std::unique_ptr<ptn_table> ptn_table_load(const char* device, std::uint32_t base)
{
    auto buffer = make_buffer(k_ptn_table_max_len);
    if (!buffer) {
        log_error(k_module, k_line_buffer_alloc, "alloc %d bytes failed.\n", k_ptn_table_max_len);
        return nullptr;
    }
    off_t got = 0;
    if (file_read_at(device, static_cast<off_t>(base), buffer.get(), k_ptn_table_max_len, &got) < 0) {
        log_error(k_module, k_line_read, "failed to read ptn_table content.\n");
        return nullptr;
    }
    cjson_ptr root = json_parse_buffer(buffer.get(), static_cast<std::int32_t>(got));
    if (!root) {
        log_error(k_module, k_line_json, "Failed to parse json.\n");
        return nullptr;
    }
    auto table = make_record<ptn_table>();
    if (!table) {
        log_error(k_module, k_line_table_alloc, "failed to alloc %d bytes.\n\n", static_cast<int>(sizeof(ptn_table)));
        return nullptr;
    }
    if (ptn_table_parse(root.get(), table.get()) < 0) {
        log_error(k_module, k_line_table_parse, "Failed to parse json -> ptn table struct.\n");
        return nullptr;
    }
    return table;
}

const ptn_entry* ptn_table_lookup(const ptn_table* table, const char* name)
{
    if (table == nullptr || name == nullptr)
        return nullptr;
    for (const ptn_layout& layout : table->layouts) {
        for (std::uint32_t i = 0; i < layout.count && i < k_ptn_max; ++i) {
            if (std::strcmp(layout.ptns[i].name.data(), name) == 0)
                return &layout.ptns[i];
        }
    }
    return nullptr;
}

const char* ptn_entry_device(const ptn_table* table, const ptn_entry* entry)
{
    if (table == nullptr || entry == nullptr || entry->layout < 0 ||
        entry->layout >= static_cast<int>(table->layouts.size()))
        return nullptr;
    return table->layouts[static_cast<std::size_t>(entry->layout)].device.data();
}

void ptn_table_print(const ptn_table* table)
{
    print_rule('#', 77);
    std::printf("#########            partition table info                   #################\n");
    print_rule('#', 77);
    for (std::size_t index = 0; index < table->layouts.size(); ++index) {
        const ptn_layout& layout = table->layouts[index];
        std::printf("layout           : %d\n", static_cast<int>(index));
        std::printf("disk size        : 0x%llX\n", static_cast<unsigned long long>(layout.disk_size));
        std::printf("device           : %s\n", layout.device.data());
        std::printf("partition number : %u\n", layout.count);
        std::printf("\n");
        std::printf("partitions:\n");
        std::printf("%5s %-24s %10s %10s %10s\n", "index", "name", "base", "size(hex)", "size(dec)");
        print_rule('-', 63);
        for (std::uint32_t i = 0; i < layout.count && i < k_ptn_max; ++i) {
            const ptn_entry& ptn = layout.ptns[i];
            std::printf("%5d %-24s 0x%08X 0x%08X %10u\n", static_cast<int>(i), ptn.name.data(), ptn.base, ptn.size,
                        ptn.size);
        }
        print_rule('-', 63);
        print_rule('-', 63);
    }
    print_rule('#', 77);
}

int ptn_table_show(const char* device, std::uint32_t base)
{
    auto table = ptn_table_load(device, base);
    if (!table) {
        log_error(k_module, k_line_show, "Failed to build ptn table.\n");
        return -1;
    }
    ptn_table_print(table.get());
    return 0;
}
