// SPDX-License-Identifier: Apache-2.0
// `vorna -c` and `vorna -u`: prove an image genuine and meant for this device,
// then (for an upgrade) write its partitions to the NOR and eMMC devices.
#include "vorna/firmware/vorna_firmware.h"

#include "vorna/storage/vorna_file.h"
#include "vorna/storage/device_writer.h"
#include "vorna/firmware/vorna_firmware_reader.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_progress.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/identity/vorna_ptn_device_info.h"
#include "vorna/identity/vorna_ptn_support_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

constexpr off_t k_nor_block_size = 0x10000;
// Contents are written in the read-ahead's windows of verified bytes, counted
// from the entry's start; a multiple of the NOR block size (and of the blocks
// the eMMC writer compares), so that blocks stay counted from the entry's base.
static_assert(read_ahead::k_slot_len % k_nor_block_size == 0);
static_assert(read_ahead::k_slot_len % writer_policy::k_minimize_block == 0);

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

static_assert(sizeof(mtd_region::name) == sizeof(ptn_entry::name));

/// The NOR layout's partitions, by which the storage layer names what an erase
/// block left without its old bytes may have cost.
struct nor_regions {
    explicit nor_regions(const ptn_layout& nor)
    {
        count = std::min<std::size_t>(nor.count, all.size());
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(all[i].name.data(), nor.ptns[i].name.data(), all[i].name.size());
            all[i].base = nor.ptns[i].base;
            all[i].size = nor.ptns[i].size;
        }
    }
    [[nodiscard]] std::span<const mtd_region> view() const { return std::span(all).first(count); }
    std::array<mtd_region, k_ptn_max> all{};
    std::size_t count = 0;
};

/// Everything the walk relies on, checked before the first device write so that
/// a refused image writes nothing and a check that passes promises the walk: a
/// valid type, some contents (no device write takes 0 bytes), contents inside the
/// entry, the image and the target device, a device partition of the same name,
/// and no image table inside walked contents.
/// 0, or -1 after printing.
int walk_precheck(const firmware_ptn_table& table, const firmware_header& header, const ptn_table& device_table,
                  std::uint64_t image_size)
{
    const ptn_layout& nor = device_table.layouts[0];
    const ptn_layout& emmc = device_table.layouts[1];
    off_t nor_size = -1; // taken when a NOR entry needs it
    const std::uint64_t table_from = header.ptn_table_offset;
    const std::uint64_t table_to = table_from + k_firmware_ptn_table_len;
    for (const firmware_ptn_entry& entry : walked_entries(table)) {
        entry_name name(entry);
        if (entry.type != k_firmware_type_nor && entry.type != k_firmware_type_emmc) {
            log_error(k_module, k_line_invalid_type, "PTN [%s] type %d is invalid.\n", name.c_str(),
                      static_cast<std::int32_t>(entry.type));
            return -1;
        }
        if (entry.content_size == 0) {
            log_error(k_module, k_line_no_contents, "PTN[%s] has no contents (content_size 0).\n", name.c_str());
            return -1;
        }
        if (!firmware_entry_contents_fit(entry)) {
            log_error(k_module, k_line_content_size, "PTN[%s] content_size 0x%08x exceeds its size 0x%08x.\n",
                      name.c_str(), entry.content_size, entry.size);
            return -1;
        }
        if (!firmware_ptn_contents_inside(entry, image_size)) {
            log_error(k_module, k_line_outside_image,
                      "PTN[%s] content {0x%08x:0x%08x} lies outside the firmware (%llu bytes).\n", name.c_str(),
                      entry.content_offset, entry.content_size, static_cast<unsigned long long>(image_size));
            return -1;
        }
        if (entry.type == k_firmware_type_nor) {
            if (nor_size < 0 && (nor_size = file_get_size(nor.device.data())) < 0) {
                log_error(k_module, k_line_nor_size, "Failed to get the size of the NOR device '%s'.\n",
                          nor.device.data());
                return -1;
            }
            if (!firmware_entry_inside_device(entry, static_cast<std::uint64_t>(nor_size))) {
                log_error(k_module, k_line_past_nor,
                          "PTN[%s] {0x%08x:0x%08x} passes the end of the NOR device '%s' (0x%llx bytes).\n",
                          name.c_str(), entry.base, entry.content_size, nor.device.data(),
                          static_cast<unsigned long long>(nor_size));
                return -1;
            }
        } else if (emmc.disk_size < 0 ||
                   !firmware_entry_inside_device(entry, static_cast<std::uint64_t>(emmc.disk_size))) {
            log_error(k_module, k_line_past_emmc, "PTN[%s] {0x%08x:0x%08x} passes the eMMC disk size 0x%llx.\n",
                      name.c_str(), entry.base, entry.content_size, static_cast<long long>(emmc.disk_size));
            return -1;
        }
        if (ptn_table_lookup(&device_table, name.c_str()) == nullptr) {
            log_error(k_module, k_line_unknown_ptn, "PTN[%s] is not a partition of this device.\n", name.c_str());
            return -1;
        }
        const std::uint64_t from = entry.content_offset;
        const std::uint64_t to = from + entry.content_size;
        if (table_from < to && from < table_to) {
            log_error(k_module, k_line_table_overlap,
                      "firmware ptn_table {0x%08x:0x%08x} overlaps the contents of PTN[%s] {0x%08x:0x%08x}.\n",
                      header.ptn_table_offset, static_cast<unsigned>(k_firmware_ptn_table_len), name.c_str(),
                      entry.content_offset, entry.content_size);
            return -1;
        }
    }
    return 0;
}

/// Writes one entry's contents window by window as the image's worker reads
/// and checks them ahead (each window held to the verified bytes), so that the
/// next window is read while this one is written. 0; -1 when the device write
/// failed (eMMC after line 368); -2 when the image no longer holds the verified
/// bytes (printed by the reader); -3 when the windows cannot be had.
int write_entry(const firmware_ptn_entry& entry, const ptn_table& device_table, firmware_file& image,
                bool minimize_writes)
{
    const char* nor_device = device_table.layouts[0].device.data();
    const char* emmc_device = device_table.layouts[1].device.data();
    entry_name name(entry);
    auto emmc_failed = [&] {
        log_error(k_module, k_line_emmc_failed, "PTN[%s] update failed, pos={0x%08x:0x%08x}.\n", name.c_str(),
                  entry.content_offset, entry.content_size);
        return -1;
    };
    // Each writer keeps one descriptor for every window of the entry and makes
    // them durable once, at its end; contents of 0 bytes are refused like a
    // single synchronous write of them.
    const nor_regions regions(device_table.layouts[0]);
    device_writer writer;
    if (entry.type == k_firmware_type_emmc) {
        if (entry.content_size == 0 || writer.open(emmc_device, writer_policy::stream(minimize_writes)) != 0)
            return emmc_failed();
    } else if (writer.open(nor_device, writer_policy::nor_compare(k_nor_block_size, regions.view())) != 0) {
        return -1; // printed by the storage layer
    }
    progress shown(name.c_str(), entry.content_size); // on standard error only
    const std::uint64_t contents_at = entry.content_offset;
    const int rc = image.read_ahead_verified(contents_at, entry.content_size,
                                             [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
                                                 const std::uint64_t done = offset - contents_at;
                                                 const off_t at = off_t{entry.base} + static_cast<off_t>(done);
                                                 const auto n = static_cast<off_t>(bytes.size());
                                                 // A NOR failure is reported by the storage layer.
                                                 if (writer.write(at, bytes.data(), n) != 0)
                                                     return entry.type == k_firmware_type_nor ? -1 : emmc_failed();
                                                 shown.update(done + bytes.size());
                                                 return 0;
                                             });
    if (rc != 0)
        return rc;
    const int finished = writer.finish();
    return finished == 0 || entry.type == k_firmware_type_nor ? finished : emmc_failed();
}

/// Writes every walked entry to its device (walk_precheck has passed). 0, or -1
/// when an entry failed.
int walk(const firmware_ptn_table& table, const ptn_table& device_table, firmware_file& image, bool minimize_writes)
{
    int result = 0;
    const std::span<const firmware_ptn_entry> entries = walked_entries(table);
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const firmware_ptn_entry& entry = entries[index];
        entry_name name(entry);
        progress_stage("write %s %zu %zu", name.c_str(), index + 1, entries.size());
        const ptn_entry* ptn = ptn_table_lookup(&device_table, name.c_str());
        if (ptn == nullptr)
            return -1;
        if (ptn->base != entry.base) {
            log_info(k_module, k_line_moved, "ptn[%s] moved from {0x%08x:0x%08x} to {0x%08x:0x%08x}.\n",
                     ptn->name.data(), ptn->base, ptn->size, entry.base, entry.size);
            log_info(k_module, k_line_move_unsupported, "*** Attention, ptn move not support now ***\n");
        }
        log_info(k_module, k_line_update, "PTN[%s] update, base=0x%08x, size=0x%08x, content_size=0x%08x(%d).\n",
                 name.c_str(), entry.base, entry.size, entry.content_size,
                 static_cast<std::int32_t>(entry.content_size));
        const int rc = write_entry(entry, device_table, image, minimize_writes);
        if (rc == -3) {
            log_error(k_module, k_line_window_alloc, "Failed to alloc %zu bytes memory.\n",
                      firmware_file::k_read_ahead_bytes);
            return -1;
        }
        // A failed NOR entry leaves the others to be written, but the upgrade as a
        // whole has failed; an eMMC failure or a changed image ends the walk.
        if (rc == -2 || (rc < 0 && entry.type != k_firmware_type_nor))
            return -1;
        if (rc < 0)
            result = -1;
    }
    return result;
}

} // namespace

int firmware_check_and_upgrade(const char* image_path, const char* device, std::uint32_t base, int upgrade,
                               bool minimize_writes)
{
    if (device == nullptr || image_path == nullptr || base == 0) {
        log_error(k_module, k_line_invalid_args, "Invalid pass-in args, (%p,%p,0x%X)\n",
                  static_cast<const void*>(image_path), static_cast<const void*>(device), base);
        return -1;
    }
    progress_stage("check");
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
    int rc = firmware_image_open(image_path, {k_line_get_size, k_line_open, k_line_header, k_line_image_table}, -2, fw);
    if (rc < 0)
        return rc;
    const firmware_ptn_table* table = fw.table.get();
    auto list = support_list_from_image(table, fw.file);
    if (!list) {
        log_error(k_module, k_line_support_list, "Faield to build supportlist of firmware.\n");
        return -1;
    }
    if (support_list_match(devinfo.get(), list.get()) < 0) {
        log_error(k_module, k_line_not_supported, "Firmware is not allowed to upgrade into this device.\n");
        return -5;
    }
    if (walk_precheck(*table, *fw.header, *device_table, fw.file.size()) < 0)
        return -1;
    log_info(k_module, k_line_upgradable, "Firmware is upgradable for this DEVICE. \n");
    if (upgrade == 0) {
        progress_stage("done");
        return 0;
    }

    int result = walk(*table, *device_table, fw.file, minimize_writes);
    if (result < 0) {
        log_error(k_module, k_line_upgrade_failed, "Failed to upgrade firmware into this device.\n");
        return result;
    }
    progress_stage("done");
    return result;
}

int firmware_check(const char* image_path, const char* device, std::uint32_t base)
{
    return firmware_check_and_upgrade(image_path, device, base, 0);
}

int firmware_upgrade(const char* image_path, const char* device, std::uint32_t base, bool minimize_writes)
{
    return firmware_check_and_upgrade(image_path, device, base, 1, minimize_writes);
}
