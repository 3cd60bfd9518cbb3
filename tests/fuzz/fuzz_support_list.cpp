// SPDX-License-Identifier: Apache-2.0
// The support-list document from any bytes, and the match of a device against
// what it yields.
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_common.h"
#include "vorna/identity/vorna_ptn_device_info.h"
#include "vorna/identity/vorna_ptn_support_list.h"

#include "tests/fuzz/fuzz_support.h"

#include <cstring>

namespace {

/// The identity of the tests' example device.
const device_info& example_device()
{
    static const device_info d = [] {
        device_info r{};
        copy_text(r.product_name.data(), r.product_name.size(), "Vorna V2");
        copy_text(r.product_version.data(), r.product_version.size(), "2.1");
        copy_text(r.special_id.data(), r.special_id.size(), "5545");
        return r;
    }();
    return d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto list = make_record<support_list>();
    FUZZ_REQUIRE(list != nullptr);
    if (support_list_parse_buffer(list.get(), data, static_cast<std::int32_t>(size)) != 0)
        return 0;
    FUZZ_REQUIRE(list->count >= 0 && list->count <= k_support_list_max);
    const device_info& device = example_device();
    bool listed = false;
    for (std::int32_t i = 0; i < list->count; ++i) {
        const support_entry& e = list->entries[static_cast<std::size_t>(i)];
        FUZZ_REQUIRE(fuzz::terminated(e.product_name));
        FUZZ_REQUIRE(fuzz::terminated(e.product_version));
        FUZZ_REQUIRE(fuzz::terminated(e.special_id));
        listed = listed || (std::strcmp(e.product_name.data(), device.product_name.data()) == 0 &&
                            std::strcmp(e.product_version.data(), device.product_version.data()) == 0 &&
                            std::strcmp(e.special_id.data(), device.special_id.data()) == 0);
    }
    // Entries past the count stay empty: a device with empty fields must not match them.
    for (std::size_t i = static_cast<std::size_t>(list->count); i < list->entries.size(); ++i)
        FUZZ_REQUIRE(list->entries[i].product_name[0] == '\0' && list->entries[i].special_id[0] == '\0');
    FUZZ_REQUIRE(support_list_match(&device, list.get()) == (listed ? 1 : -1));
    return 0;
}
