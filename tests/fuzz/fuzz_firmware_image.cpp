// SPDX-License-Identifier: Apache-2.0
// An arbitrary image held in memory: the header decode and check, then the stages
// that follow a genuine signature, run directly since random bytes never carry
// one: the table decode at ptn_table_offset and the support list read from the
// entries. Every byte read lies inside the input, which ASan holds to its exact size.
#include "vorna/support/vorna_bytes.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_verify.h"
#include "vorna/partition/vorna_ptn_header.h"
#include "vorna/identity/vorna_ptn_support_list.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

/// The device's verification of `image`, handed over as a memfd: the verdict and
/// its printed lines. 0, -1, -2 or -4.
int verify_bytes(std::span<const std::uint8_t> image)
{
    firmware_file file;
    if (file.open_bytes(image, "(memory)") < 0)
        return -1;
    firmware_chunk_digests chunks;
    const firmware_verdict verdict = firmware_verify(file, chunks, firmware_trusted_keys());
    return firmware_verdict_report(verdict, file);
}

void check_header(const firmware_header& header, std::span<const std::uint8_t> image)
{
    // A short image reads as if padded with zeros to 4096 bytes.
    std::array<std::uint8_t, k_firmware_header_len> padded{};
    std::copy_n(image.begin(), std::min(image.size(), padded.size()), padded.begin());
    std::span<const std::uint8_t> p(padded);
    FUZZ_REQUIRE(header.first_word == load_be32_at(p, 0));
    FUZZ_REQUIRE(header.magic == load_be32_at(p, 4));
    FUZZ_REQUIRE(header.ptn_table_offset == load_be32_at(p, 8));
    FUZZ_REQUIRE(header.total_len == load_be32_at(p, 12));
    FUZZ_REQUIRE(std::equal(header.rest.begin(), header.rest.end(), padded.begin() + 16));
}

void check_verdict(int rc, const firmware_header& header, std::span<const std::uint8_t> image)
{
    FUZZ_REQUIRE(rc == 0 || rc == -2 || rc == -4);
    if (header.magic != k_firmware_magic || header.total_len != image.size())
        FUZZ_REQUIRE(rc == -2);
    // Too short to hold the signature field: refused before any verification.
    if (image.size() < k_firmware_min_len)
        FUZZ_REQUIRE(rc != 0 && rc != -4);
    if (rc == -4 || rc == 0)
        FUZZ_REQUIRE(header.magic == k_firmware_magic && header.total_len == image.size());
    // A pass is the verification's own verdict.
    if (rc == 0)
        FUZZ_REQUIRE(firmware_verify_signature(image) == 0);
}

void check_table(const firmware_ptn_table& table, std::span<const std::uint8_t> raw)
{
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const firmware_ptn_entry& e = table.entries[i];
        auto r = raw.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        FUZZ_REQUIRE(std::memcmp(e.name.data(), r.data(), e.name.size()) == 0);
        FUZZ_REQUIRE(e.base == load_be32_at(r, 32));
        FUZZ_REQUIRE(e.size == load_be32_at(r, 36));
        FUZZ_REQUIRE(e.content_offset == load_be32_at(r, 40));
        FUZZ_REQUIRE(e.content_size == load_be32_at(r, 44));
        FUZZ_REQUIRE(e.type == load_be32_at(r, 48));

        // The name compares as the text before its first NUL, never past 32 bytes.
        std::array<char, 33> name{};
        std::memcpy(name.data(), e.name.data(), e.name.size());
        FUZZ_REQUIRE(firmware_ptn_name_is(e, name.data()));
        std::array<char, 34> longer{};
        std::memcpy(longer.data(), name.data(), name.size());
        longer[std::strlen(name.data())] = 'x';
        FUZZ_REQUIRE(!firmware_ptn_name_is(e, longer.data()));
    }
}

void check_support_list(const firmware_ptn_table& table, std::span<const std::uint8_t> image)
{
    auto list = support_list_from_image(&table, image);
    bool named = false;
    for (const firmware_ptn_entry& e : table.entries) {
        if (!firmware_ptn_name_is(e, "support-list"))
            continue;
        named = true;
        // A list was built only from contents that lie inside the image.
        if (list)
            FUZZ_REQUIRE(std::uint64_t{e.content_offset} + e.content_size <= image.size());
    }
    if (!named) {
        FUZZ_REQUIRE(list != nullptr);
        FUZZ_REQUIRE(list->count == 0);
    }
    if (list) {
        FUZZ_REQUIRE(list->count >= 0 && list->count <= k_support_list_max);
        for (std::int32_t i = 0; i < list->count; ++i) {
            const support_entry& s = list->entries[static_cast<std::size_t>(i)];
            FUZZ_REQUIRE(fuzz::terminated(s.product_name) && fuzz::terminated(s.product_version) &&
                         fuzz::terminated(s.special_id));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> image(data, size);
    auto header = firmware_header_decode(image);
    FUZZ_REQUIRE(header != nullptr);
    check_header(*header, image);
    check_verdict(verify_bytes(image), *header, image);

    // What a consumer does once the check has passed.
    std::span<const std::uint8_t> table_bytes;
    if (header->ptn_table_offset <= image.size())
        table_bytes = image.subspan(header->ptn_table_offset);
    auto table = firmware_ptn_table_decode(table_bytes);
    FUZZ_REQUIRE((table != nullptr) == (table_bytes.size() >= k_firmware_ptn_table_len));
    if (!table)
        return 0;
    check_table(*table, table_bytes);
    check_support_list(*table, image);
    return 0;
}
