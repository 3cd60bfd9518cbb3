// `vorna -c` and `vorna -u`: prove an image genuine and meant for this device,
// then (for an upgrade) write its partitions to the NOR and eMMC devices.
#include "vorna/vorna_firmware.h"

#include "vorna/vorna_file.h"
#include "vorna/vorna_firmware_map.h"
#include "vorna/vorna_log.h"
#include "vorna/vorna_progress.h"
#include "vorna/vorna_ptn.h"
#include "vorna/vorna_ptn_device_info.h"
#include "vorna/vorna_ptn_support_list.h"

#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

enum line : int {
    k_line_outside_image = 330, // contents of a walked entry reach past the end of the image
    k_line_unknown_ptn = 333,   // a walked entry the device has no partition for
    k_line_moved = 338,
    k_line_move_unsupported = 339,
    k_line_update = 344,
    k_line_invalid_type = 361,
    k_line_emmc_failed = 368,
    k_line_invalid_args = 392,
    k_line_ptn_table = 399,
    k_line_device_info = 410,
    k_line_get_size = 417,
    k_line_open = 425,
    k_line_mmap = 432,
    k_line_header = 439,
    k_line_image_table = 452,
    k_line_support_list = 459,
    k_line_not_supported = 465,
    k_line_upgradable = 469,
    k_line_upgrade_failed = 475,
};

constexpr off_t k_nor_block_size = 0x10000;

/// The entry's name as a C string; a name filling all 32 bytes is cut there.
struct entry_name {
    explicit entry_name(const firmware_ptn_entry& entry)
    {
        std::memcpy(text.data(), entry.name.data(), entry.name.size());
    }
    [[nodiscard]] const char* c_str() const { return text.data(); }
    std::array<char, 33> text{};
};

/// The entries the walk takes: those before the first of size 0, at most 32.
std::span<const firmware_ptn_entry> walked_entries(const firmware_ptn_table& table)
{
    std::size_t n = 0;
    while (n < table.entries.size() && table.entries[n].size != 0)
        ++n;
    return std::span(table.entries).first(n);
}

/// Everything the walk relies on, checked before the first device write so that
/// a refused image writes nothing: contents inside the image, and a device
/// partition of the same name. 0, or -1 after printing.
int walk_precheck(const firmware_ptn_table& table, const ptn_table& device_table, std::span<const std::uint8_t> image)
{
    for (const firmware_ptn_entry& entry : walked_entries(table)) {
        entry_name name(entry);
        std::uint64_t end = std::uint64_t{entry.content_offset} + entry.content_size;
        if (end > image.size()) {
            log_error(k_module, k_line_outside_image,
                      "PTN[%s] content {0x%08x:0x%08x} lies outside the firmware (%zu bytes).\n", name.c_str(),
                      entry.content_offset, entry.content_size, image.size());
            return -1;
        }
        if (ptn_table_lookup(&device_table, name.c_str()) == nullptr) {
            log_error(k_module, k_line_unknown_ptn, "PTN[%s] is not a partition of this device.\n", name.c_str());
            return -1;
        }
    }
    return 0;
}

/// Writes every walked entry to its device. 0, or -1 when an entry failed.
int walk(const firmware_ptn_table& table, const ptn_table& device_table, std::span<const std::uint8_t> image)
{
    const char* nor_device = device_table.layouts[0].device.data();
    const char* emmc_device = device_table.layouts[1].device.data();
    int result = 0;
    for (const firmware_ptn_entry& entry : walked_entries(table)) {
        entry_name name(entry);
        const ptn_entry* ptn = ptn_table_lookup(&device_table, name.c_str());
        if (ptn == nullptr) // walk_precheck has refused such an image
            return -1;
        if (ptn->base != entry.base) {
            log_info(k_module, k_line_moved, "ptn[%s] moved from {0x%08x:0x%08x} to {0x%08x:0x%08x}.\n",
                     ptn->name.data(), ptn->base, ptn->size, entry.base, entry.size);
            log_info(k_module, k_line_move_unsupported, "*** Attention, ptn move not support now ***\n");
        }
        log_info(k_module, k_line_update, "PTN[%s] update, base=0x%08x, size=0x%08x, content_size=0x%08x(%d).\n",
                 name.c_str(), entry.base, entry.size, entry.content_size,
                 static_cast<std::int32_t>(entry.content_size));
        auto contents = image.subspan(entry.content_offset, entry.content_size);
        progress shown(name.c_str(), contents.size()); // per-entry progress on stderr
        if (entry.type == k_firmware_type_nor) {
            // A NOR failure is reported by the storage layer; the other entries
            // are still written, but the upgrade as a whole has failed.
            if (file_compare_write(nor_device, entry.base, contents.data(), static_cast<off_t>(contents.size()),
                                   k_nor_block_size, nullptr) != 0)
                result = -1;
        } else if (entry.type == k_firmware_type_emmc) {
            if (file_write_at(emmc_device, entry.base, contents.data(), static_cast<off_t>(contents.size()),
                              nullptr) != 0) {
                log_error(k_module, k_line_emmc_failed, "PTN[%s] update failed, pos={0x%08x:0x%08x}.\n",
                          name.c_str(), entry.content_offset, entry.content_size);
                return -1;
            }
        } else {
            log_error(k_module, k_line_invalid_type, "PTN [%s] type %d is invalid.\n", name.c_str(),
                      static_cast<std::int32_t>(entry.type));
            return -1;
        }
        shown.update(contents.size());
    }
    return result;
}

} // namespace

int firmware_check_and_upgrade(const char* image_path, const char* device, std::uint32_t base, int upgrade)
{
    if (device == nullptr || image_path == nullptr || base == 0) {
        log_error(k_module, k_line_invalid_args, "Invalid pass-in args, (%p,%p,0x%X)\n",
                  static_cast<const void*>(image_path), static_cast<const void*>(device), base);
        return -1;
    }
    auto device_table = ptn_table_load(device, base);
    if (!device_table) {
        log_error(k_module, k_line_ptn_table, "Failed to build ptn_table of flash\n");
        return -1;
    }
    auto devinfo = device_info_load(device_table.get());
    if (!devinfo) {
        log_error(k_module, k_line_device_info, "Faield to build device info of flash\n");
        return -1;
    }
    firmware_image fw;
    int rc = firmware_image_open(image_path,
                                 {k_line_get_size, k_line_open, k_line_mmap, k_line_header, k_line_image_table}, -2, fw);
    if (rc < 0)
        return rc;
    std::span<const std::uint8_t> image = fw.map.bytes();
    const firmware_ptn_table* table = fw.table.get();
    auto list = support_list_from_image(table, image);
    if (!list) {
        log_error(k_module, k_line_support_list, "Faield to build supportlist of firmware.\n");
        return -1;
    }
    if (support_list_match(devinfo.get(), list.get()) < 0) {
        log_error(k_module, k_line_not_supported, "Firmware is not allowed to upgrade into this device.\n");
        return -5;
    }
    // A check that passes promises that the walk can run.
    if (walk_precheck(*table, *device_table, image) < 0)
        return -1;
    log_info(k_module, k_line_upgradable, "Firmware is upgradable for this DEVICE. \n");
    if (upgrade == 0)
        return 0;

    int result = walk(*table, *device_table, image);
    if (result < 0)
        log_error(k_module, k_line_upgrade_failed, "Failed to upgrade firmware into this device.\n");
    return result;
}

int firmware_check(const char* image_path, const char* device, std::uint32_t base)
{
    return firmware_check_and_upgrade(image_path, device, base, 0);
}

int firmware_upgrade(const char* image_path, const char* device, std::uint32_t base)
{
    return firmware_check_and_upgrade(image_path, device, base, 1);
}
