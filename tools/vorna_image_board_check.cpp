// SPDX-License-Identifier: Apache-2.0
// pack --board: refuses an image that the board's upgrade would write in the
// wrong place, before anything is signed.
#include "tools/vorna_image_board_check.h"
#include "tools/vorna_image_firmware.h"

#include "vorna/support/vorna_common.h"
#include "vorna/partition/vorna_ptn.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_layout_names[] = {"NOR", "eMMC"};

int check_entry(const char* command, const ptn_table& table, std::size_t index, const board_check_entry& c)
{
    const firmware_ptn_entry& e = c.entry;
    char where[96]; // room for any index and a 32-byte name
    std::snprintf(where, sizeof where, "partition %zu (%.32s)", index, e.name.data());
    const firmware_board_verdict v = firmware_entry_against_board(e, c.moves, table);
    const char* layout_name = v.layout < 0 ? "" : k_layout_names[v.layout];
    switch (v.fault) {
    case firmware_board_fault::none: return 0;
    case firmware_board_fault::invalid_type:
        return fail(command, "%s: type %u writes to no device of the board", where, e.type);
    case firmware_board_fault::no_partition:
        return fail(command, "%s: the board's %s layout has no partition of that name%s", where, layout_name,
                    v.in_other_layout ? (v.layout == 0 ? " (the eMMC layout has one: check \"type\")"
                                                       : " (the NOR layout has one: check \"type\")")
                                      : "");
    case firmware_board_fault::exceeds_partition:
        return fail(command, "%s: the contents (%u bytes) do not fit the board's partition (%u bytes)", where,
                    e.content_size, v.ptn->size);
    case firmware_board_fault::base_differs:
        return fail(command,
                    "%s: base 0x%08X differs from the board's 0x%08X; give the entry \"moves\": true if it "
                    "moves on purpose",
                    where, e.base, v.ptn->base);
    case firmware_board_fault::past_device: break;
    }
    const auto disk_size = static_cast<std::uint64_t>(table.layouts[static_cast<std::size_t>(v.layout)].disk_size);
    return fail(command, "%s: at base 0x%08X the contents pass the end of the %s device (0x%llX bytes)", where, e.base,
                layout_name, static_cast<unsigned long long>(disk_size));
}

} // namespace

int check_against_board(const char* command, const std::string& table_path, std::span<const board_check_entry> entries)
{
    cjson_ptr json = read_json_object(command, table_path, "a JSON partition table");
    if (!json)
        return 1;
    auto table = std::make_unique<ptn_table>();
    // vorna's own parser: the table is judged exactly as the device judges it.
    if (ptn_table_parse(json.get(), table.get()) != 0)
        return fail(command, "%s is not a valid partition table (see above)", table_path.c_str());
    firmware_ptn_table image_table{};
    for (std::size_t i = 0; i < entries.size() && i < image_table.entries.size(); ++i)
        image_table.entries[i] = entries[i].entry;
    const std::size_t walked = firmware_walked_entries(image_table).size();
    for (std::size_t i = 0; i < walked; ++i) {
        if (check_entry(command, *table, i, entries[i]) != 0)
            return 1;
    }
    return 0;
}
