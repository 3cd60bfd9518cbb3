// SPDX-License-Identifier: Apache-2.0
// The board, the decision of what an upgrade writes where, and the writer of
// one entry (vorna_firmware_plan.h). The work once described as
// file_compare_write is the NOR writer's.
#include "vorna/firmware/vorna_firmware_plan.h"

#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/identity/vorna_ptn_support_list.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

constexpr off_t k_nor_block_size = 0x10000;

static_assert(sizeof(mtd_region::name) == sizeof(ptn_entry::name));

/// The entry's name as a C string; a name filling all 32 bytes is cut there.
struct entry_name {
    explicit entry_name(const firmware_ptn_entry& entry)
    {
        std::memcpy(text.data(), entry.name.data(), entry.name.size());
    }
    [[nodiscard]] const char* c_str() const { return text.data(); }
    std::array<char, 33> text{};
};

/// Prints that `entry` passes the end of its device (or that the NOR device's size cannot be had). -1.
int report_past_device(firmware_entry_fault fault, const firmware_ptn_entry& entry, const ptn_layout& nor,
                       long long device_size)
{
    entry_name name(entry);
    if (fault == firmware_entry_fault::no_device_size && entry.type == k_firmware_type_nor) {
        log_error(k_module, k_line_nor_size, "Failed to get the size of the NOR device '%s'.\n", nor.device.data());
    } else if (entry.type == k_firmware_type_nor) {
        log_error(k_module, k_line_past_nor,
                  "PTN[%s] {0x%08x:0x%08x} passes the end of the NOR device '%s' (0x%llx bytes).\n", name.c_str(),
                  entry.base, entry.content_size, nor.device.data(), static_cast<unsigned long long>(device_size));
    } else {
        log_error(k_module, k_line_past_emmc, "PTN[%s] {0x%08x:0x%08x} passes the eMMC disk size 0x%llx.\n",
                  name.c_str(), entry.base, entry.content_size, static_cast<long long>(device_size));
    }
    return -1;
}

/// Prints why `entry` is refused by the upgrade's rule. -1.
int report_entry_fault(firmware_entry_fault fault, const firmware_ptn_entry& entry, const firmware_header& header,
                       const ptn_layout& nor, long long device_size, std::uint64_t image_size)
{
    entry_name name(entry);
    switch (fault) {
    case firmware_entry_fault::invalid_type:
        log_error(k_module, k_line_invalid_type, "PTN [%s] type %d is invalid.\n", name.c_str(),
                  static_cast<std::int32_t>(entry.type));
        break;
    case firmware_entry_fault::no_contents:
        log_error(k_module, k_line_no_contents, "PTN[%s] has no contents (content_size 0).\n", name.c_str());
        break;
    case firmware_entry_fault::exceeds_size:
        log_error(k_module, k_line_content_size, "PTN[%s] content_size 0x%08x exceeds its size 0x%08x.\n", name.c_str(),
                  entry.content_size, entry.size);
        break;
    case firmware_entry_fault::outside_image:
        log_error(k_module, k_line_outside_image,
                  "PTN[%s] content {0x%08x:0x%08x} lies outside the firmware (%llu bytes).\n", name.c_str(),
                  entry.content_offset, entry.content_size, static_cast<unsigned long long>(image_size));
        break;
    case firmware_entry_fault::no_device_size:
    case firmware_entry_fault::past_device: return report_past_device(fault, entry, nor, device_size);
    case firmware_entry_fault::no_partition:
        log_error(k_module, k_line_unknown_ptn, "PTN[%s] is not a partition of this device.\n", name.c_str());
        break;
    case firmware_entry_fault::table_overlap:
        log_error(k_module, k_line_table_overlap,
                  "firmware ptn_table {0x%08x:0x%08x} overlaps the contents of PTN[%s] {0x%08x:0x%08x}.\n",
                  header.ptn_table_offset, static_cast<unsigned>(k_firmware_ptn_table_len), name.c_str(),
                  entry.content_offset, entry.content_size);
        break;
    case firmware_entry_fault::none: return 0;
    }
    return -1;
}

/// Holds every walked entry to the upgrade's rule (firmware_entry_check) against
/// this device. 0 with `plan`, or -1 after printing.
int plan_upgrade(const firmware_ptn_table& table, const firmware_header& header, const ptn_table& device_table,
                 std::uint64_t image_size, upgrade_plan& plan)
{
    const ptn_layout& nor = device_table.layouts[0];
    const ptn_layout& emmc = device_table.layouts[1];
    long long nor_size = -2; // taken when a NOR entry needs it
    plan.entries = firmware_walked_entries(table);
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        const firmware_ptn_entry& entry = plan.entries[i];
        entry_name name(entry);
        plan.ptns[i] = ptn_table_lookup(&device_table, name.c_str());
        const bool on_nor = entry.type == k_firmware_type_nor;
        const auto device_size = [&]() -> long long {
            if (!on_nor)
                return emmc.disk_size;
            if (nor_size == -2)
                nor_size = file_get_size(nor.device.data());
            return nor_size;
        };
        const firmware_entry_target target{image_size, header.ptn_table_offset, plan.ptns[i] != nullptr, device_size};
        const firmware_entry_fault fault = firmware_entry_check(entry, target);
        if (fault != firmware_entry_fault::none)
            return report_entry_fault(fault, entry, header, nor, on_nor ? nor_size : emmc.disk_size, image_size);
    }
    return 0;
}

} // namespace

int firmware_board_load(const char* device, std::uint32_t base, firmware_board& out)
{
    out.table = ptn_table_load(device, base);
    if (!out.table) {
        log_error(k_module, k_line_ptn_table, "Failed to build ptn_table of flash\n");
        return -1;
    }
    out.identity = device_info_load(out.table.get());
    if (!out.identity) {
        log_error(k_module, k_line_device_info, "Faield to build device info of flash\n");
        return -1;
    }
    return 0;
}

int firmware_decide(const firmware_board& board, const firmware_ptn_table& table, const firmware_header& header,
                    firmware_source& image, upgrade_plan& plan)
{
    auto list = support_list_from_image(&table, image);
    if (!list) {
        log_error(k_module, k_line_support_list, "Faield to build supportlist of firmware.\n");
        return -1;
    }
    if (support_list_match(board.identity.get(), list.get()) < 0) {
        log_error(k_module, k_line_not_supported, "Firmware is not allowed to upgrade into this device.\n");
        return -5;
    }
    return plan_upgrade(table, header, *board.table, image.size(), plan);
}

void firmware_announce_entry(const upgrade_plan& plan, std::size_t index)
{
    const firmware_ptn_entry& entry = plan.entries[index];
    entry_name name(entry);
    progress_stage("write %s %zu %zu", name.c_str(), index + 1, plan.entries.size());
    const ptn_entry* ptn = plan.ptns[index];
    if (ptn->base != entry.base) {
        log_info(k_module, k_line_moved, "ptn[%s] moved from {0x%08x:0x%08x} to {0x%08x:0x%08x}.\n", ptn->name.data(),
                 ptn->base, ptn->size, entry.base, entry.size);
        log_info(k_module, k_line_move_unsupported, "*** Attention, ptn move not support now ***\n");
    }
    log_info(k_module, k_line_update, "PTN[%s] update, base=0x%08x, size=0x%08x, content_size=0x%08x(%d).\n",
             name.c_str(), entry.base, entry.size, entry.content_size, static_cast<std::int32_t>(entry.content_size));
}

firmware_entry_writer::firmware_entry_writer(const firmware_ptn_entry& entry, const ptn_table& device_table)
    : entry_(entry), device_table_(device_table)
{
    std::memcpy(name_.data(), entry.name.data(), entry.name.size());
    // The NOR layout's partitions, by which the storage layer names what an
    // erase block left without its old bytes may have cost.
    const ptn_layout& nor = device_table.layouts[0];
    region_count_ = std::min<std::size_t>(nor.count, regions_.size());
    for (std::size_t i = 0; i < region_count_; ++i) {
        std::memcpy(regions_[i].name.data(), nor.ptns[i].name.data(), regions_[i].name.size());
        regions_[i].base = nor.ptns[i].base;
        regions_[i].size = nor.ptns[i].size;
    }
}

int firmware_entry_writer::emmc_failed() const
{
    log_error(k_module, k_line_emmc_failed, "PTN[%s] update failed, pos={0x%08x:0x%08x}.\n", name_.data(),
              entry_.content_offset, entry_.content_size);
    return -1;
}

int firmware_entry_writer::open(bool minimize_writes)
{
    // The writer keeps one descriptor for every window of the entry and makes
    // them durable once, at its end; contents of 0 bytes are refused like a
    // single synchronous write of them.
    if (entry_.type == k_firmware_type_emmc) {
        const char* emmc_device = device_table_.layouts[1].device.data();
        if (entry_.content_size == 0 || writer_.open(emmc_device, writer_policy::stream(minimize_writes)) != 0)
            return emmc_failed();
    } else {
        const char* nor_device = device_table_.layouts[0].device.data();
        const auto regions = std::span(regions_).first(region_count_);
        if (writer_.open(nor_device, writer_policy::nor_compare(k_nor_block_size, regions)) != 0)
            return -1; // printed by the storage layer
    }
    shown_.emplace(name_.data(), entry_.content_size);
    return 0;
}

int firmware_entry_writer::write(std::uint64_t done, std::span<const std::uint8_t> bytes)
{
    const off_t at = off_t{entry_.base} + static_cast<off_t>(done);
    // A NOR failure is reported by the storage layer.
    if (writer_.write(at, bytes.data(), static_cast<off_t>(bytes.size())) != 0)
        return entry_.type == k_firmware_type_nor ? -1 : emmc_failed();
    shown_->update(done + bytes.size());
    return 0;
}

int firmware_entry_writer::finish()
{
    const int finished = writer_.finish();
    return finished == 0 || entry_.type == k_firmware_type_nor ? finished : emmc_failed();
}
