// SPDX-License-Identifier: Apache-2.0
// The chunk index from any bytes: the first 1664 are the table it describes
// (zeros where the input is shorter), the rest its contents (libFuzzer's heap
// buffer of exactly their size, so a read past them trips AddressSanitizer). An
// index that decodes holds exactly the digests the table's walked entries need
// and encodes back to the same bytes (its signature area aside); the mask hands
// on exactly the bytes up to the index's end with its two areas as zeros.
#include "vorna/firmware/vorna_firmware_index.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> table_bytes(k_firmware_ptn_table_len, 0);
    const std::size_t table_len = std::min(size, k_firmware_ptn_table_len);
    std::copy_n(data, table_len, table_bytes.begin());
    firmware_ptn_table table{};
    FUZZ_REQUIRE(firmware_ptn_table_parse(table_bytes, table));
    const std::span<const std::uint8_t> contents(data + table_len, size - table_len);

    firmware_index_view view;
    const firmware_index_status status = firmware_index_decode(contents, table, view);
    if (status == firmware_index_status::ok) {
        FUZZ_REQUIRE(view.digest_count == firmware_index_block_count(table));
        FUZZ_REQUIRE(contents.size() == firmware_index_len(table));
        FUZZ_REQUIRE(view.signature_area.size() == k_firmware_index_signatures_len);
        std::vector<firmware_block_digest> digests(view.digest_count);
        for (std::uint64_t i = 0; i < view.digest_count; ++i)
            std::copy_n(view.digest(i).begin(), k_firmware_index_digest_len, digests[i].begin());
        std::vector<std::uint8_t> again(contents.size(), 0xAA);
        FUZZ_REQUIRE(firmware_index_encode(table, digests, again) == 0);
        std::copy(view.signature_area.begin(), view.signature_area.end(),
                  again.begin() + k_firmware_index_signatures_at);
        FUZZ_REQUIRE(std::equal(again.begin(), again.end(), contents.begin()));
    } else {
        FUZZ_REQUIRE(view.digests.empty() && view.signature_area.empty());
    }

    // Where the table puts an index, and the stream-order rule, for an image of the input's size.
    firmware_index_location where;
    if (firmware_index_locate(table, size, where) == firmware_index_status::ok) {
        FUZZ_REQUIRE(where.at + where.len <= size);
        firmware_header header{};
        header.ptn_table_offset = static_cast<std::uint32_t>(size % 8192);
        (void)firmware_stream_order_check(header, table, where);
    }

    // The mask over the whole input, for an index at a place the input names.
    const firmware_index_location masked{0, size > 4 ? (std::uint64_t{data[0]} << 8 | data[1]) * 16 : 0,
                                         size > 4 ? static_cast<std::uint32_t>(data[2]) << 6 | data[3] : 0};
    const std::uint64_t end = std::min<std::uint64_t>(size, masked.at + masked.len);
    std::vector<std::uint8_t> fed;
    firmware_index_signed_mask(masked, 0, std::span(data, size), [&](std::span<const std::uint8_t> piece) {
        fed.insert(fed.end(), piece.begin(), piece.end());
    });
    FUZZ_REQUIRE(fed.size() == end);
    for (std::uint64_t i = 0; i < end; ++i) {
        const bool zeroed =
            (i >= k_firmware_signature_offset && i < k_firmware_header_len) ||
            (i >= masked.at + k_firmware_index_signatures_at && i < masked.at + k_firmware_index_digests_at);
        FUZZ_REQUIRE(fed[i] == (zeroed ? 0 : data[i]));
    }
    return 0;
}
