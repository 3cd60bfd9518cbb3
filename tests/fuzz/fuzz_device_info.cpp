// SPDX-License-Identifier: Apache-2.0
// The device identity, from any bytes: as a JSON document on its own, and as the
// whole contents of a "device-info" partition (content header, then the document)
// read from a device file through the partition table.
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_common.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/identity/vorna_ptn_device_info.h"
#include "vorna/partition/vorna_ptn_header.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t k_partition_size = 4096;

void check_record(const device_info& d)
{
    FUZZ_REQUIRE(fuzz::terminated(d.vendor_name));
    FUZZ_REQUIRE(fuzz::terminated(d.vendor_url));
    FUZZ_REQUIRE(fuzz::terminated(d.product_name));
    FUZZ_REQUIRE(fuzz::terminated(d.product_version));
    FUZZ_REQUIRE(fuzz::terminated(d.product_id));
    FUZZ_REQUIRE(fuzz::terminated(d.special_id));
    FUZZ_REQUIRE(fuzz::terminated(d.language));
    FUZZ_REQUIRE(fuzz::terminated(d.region));
    FUZZ_REQUIRE(fuzz::terminated(d.hw_id));
    FUZZ_REQUIRE(fuzz::terminated(d.oem_id));
    FUZZ_REQUIRE(std::all_of(d.reserved.begin(), d.reserved.end(), [](std::uint8_t b) { return b == 0; }));
}

/// A table whose NOR layout holds one "device-info" partition of `size` bytes at
/// the start of `device`.
std::unique_ptr<ptn_table> table_for(const char* device, std::uint32_t size)
{
    auto table = make_record<ptn_table>();
    FUZZ_REQUIRE(table != nullptr);
    ptn_layout& nor = table->layouts[0];
    nor.disk_size = 0x1000000;
    copy_text(nor.device.data(), nor.device.size(), device);
    nor.count = 1;
    ptn_entry& e = nor.ptns[0];
    copy_text(e.name.data(), e.name.size(), "device-info");
    e.size = size;
    copy_text(e.encap_type.data(), e.encap_type.size(), "header");
    return table;
}

/// Loads the identity from a partition of `partition_size` bytes on a device that
/// holds `contents`; a record that loads is the one its document parses to.
void load_from_partition(fuzz::memory_file& device, std::span<const std::uint8_t> contents,
                         std::uint32_t partition_size)
{
    auto table = table_for(device.path(), partition_size);
    auto loaded = device_info_load(table.get());
    if (!loaded)
        return;
    check_record(*loaded);
    // It loaded, so the header and its announced content lie inside what was read.
    const std::size_t read = std::min<std::size_t>(contents.size(), partition_size);
    FUZZ_REQUIRE(read >= k_ptn_header_len);
    const std::uint32_t len = load_be32_at(contents, 8);
    FUZZ_REQUIRE(len <= partition_size - k_ptn_header_len);
    // Bytes past the end of the device read as the zeros of the fresh buffer.
    std::vector<std::uint8_t> document(len, 0);
    const std::size_t present = std::min<std::size_t>(len, read - k_ptn_header_len);
    std::copy_n(contents.begin() + k_ptn_header_len, present, document.begin());
    auto direct = make_record<device_info>();
    FUZZ_REQUIRE(device_info_parse_buffer(direct.get(), document.data(), static_cast<std::int32_t>(len)) == 0);
    FUZZ_REQUIRE(std::memcmp(direct.get(), loaded.get(), sizeof(device_info)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::memory_file device("device-info");
    std::span<const std::uint8_t> in(data, size);

    auto devinfo = make_record<device_info>();
    FUZZ_REQUIRE(devinfo != nullptr);
    if (device_info_parse_buffer(devinfo.get(), data, static_cast<std::int32_t>(size)) == 0)
        check_record(*devinfo);

    device.assign(in);
    load_from_partition(device, in, k_partition_size);
    if (size > 0 && size < k_partition_size)
        load_from_partition(device, in, static_cast<std::uint32_t>(size));
    return 0;
}
