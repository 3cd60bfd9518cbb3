// SPDX-License-Identifier: Apache-2.0
// The partition-table document as the device holds it: any bytes, parsed as JSON
// and turned into a validated table. A table that loads must keep every promise
// its users (lookup, read, write, upgrade) rely on.
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_common.h"
#include "vorna/partition/vorna_ptn.h"

#include "tests/fuzz/fuzz_support.h"

#include <cstring>

namespace {

bool name_char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

void check_layout(const ptn_table& table, std::size_t index)
{
    const ptn_layout& layout = table.layouts[index];
    FUZZ_REQUIRE(layout.count <= static_cast<std::uint32_t>(k_ptn_max));
    FUZZ_REQUIRE(fuzz::terminated(layout.device));
    const auto disk_size = static_cast<std::uint64_t>(layout.disk_size);
    for (std::uint32_t j = 0; j < layout.count; ++j) {
        const ptn_entry& ptn = layout.ptns[j];
        FUZZ_REQUIRE(fuzz::terminated(ptn.name));
        FUZZ_REQUIRE(fuzz::terminated(ptn.encap_type));
        FUZZ_REQUIRE(ptn.layout == static_cast<std::int32_t>(index));
        FUZZ_REQUIRE(ptn.write_to_flash <= 1 && ptn.write_to_up <= 1);
        for (const char* p = ptn.name.data(); *p != '\0'; ++p)
            FUZZ_REQUIRE(name_char(static_cast<unsigned char>(*p)));
        FUZZ_REQUIRE(ptn.size != 0);
        FUZZ_REQUIRE(std::uint64_t{ptn.base} + ptn.size <= disk_size);
        if (j > 0) {
            const ptn_entry& prev = layout.ptns[j - 1];
            FUZZ_REQUIRE(ptn.base >= std::uint64_t{prev.base} + prev.size);
        }
        for (std::uint32_t k = 0; k < j; ++k)
            FUZZ_REQUIRE(std::strcmp(ptn.name.data(), layout.ptns[k].name.data()) != 0);

        // Lookup gives the first partition of that name, the NOR layout first.
        const ptn_entry* found = ptn_table_lookup(&table, ptn.name.data());
        FUZZ_REQUIRE(found != nullptr);
        FUZZ_REQUIRE(std::strcmp(found->name.data(), ptn.name.data()) == 0);
        FUZZ_REQUIRE(found->layout <= ptn.layout);
        const ptn_layout& holder = table.layouts[static_cast<std::size_t>(found->layout)];
        FUZZ_REQUIRE(ptn_entry_device(&table, found) == holder.device.data());
    }
    FUZZ_REQUIRE(ptn_layout_validate(&layout) == 0);
    // Unused entries stay zero: nothing reads them, but nothing may have written them.
    for (std::size_t j = layout.count; j < layout.ptns.size(); ++j)
        FUZZ_REQUIRE(layout.ptns[j].size == 0 && layout.ptns[j].name[0] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The loader never reads more than this from the device.
    if (size > static_cast<std::size_t>(k_ptn_table_max_len))
        size = static_cast<std::size_t>(k_ptn_table_max_len);
    cjson_ptr root = json_parse_buffer(data, static_cast<std::int32_t>(size));
    if (!root)
        return 0;
    auto table = make_record<ptn_table>();
    FUZZ_REQUIRE(table != nullptr);
    if (ptn_table_parse(root.get(), table.get()) != 0)
        return 0;
    check_layout(*table, 0);
    check_layout(*table, 1);
    FUZZ_REQUIRE(ptn_table_lookup(table.get(), "name/with/slash") == nullptr);
    ptn_table_print(table.get());
    return 0;
}
