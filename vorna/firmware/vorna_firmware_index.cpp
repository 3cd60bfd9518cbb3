// SPDX-License-Identifier: Apache-2.0
// The chunk index's codec and the stream-order rule. Pure, like the image's
// other codecs: nothing is printed, the bytes given are only read.
#include "vorna/firmware/vorna_firmware_index.h"

#include "vorna/support/vorna_bytes.h"

#include <algorithm>

namespace {

// Index layout (see the header).
constexpr std::size_t k_at_version = 4;
constexpr std::size_t k_at_block_len = 8;
constexpr std::size_t k_at_entry_count = 12;
constexpr std::size_t k_at_digest_count = 16;
constexpr std::size_t k_reserved_a_from = 5;
constexpr std::size_t k_reserved_a_to = 8;
constexpr std::size_t k_reserved_b_from = 20;
constexpr std::size_t k_reserved_b_to = k_firmware_index_signatures_at;

bool is_document_name(const firmware_ptn_entry& e)
{
    return firmware_ptn_name_is(e, "support-list") || firmware_ptn_name_is(e, "firmware-info");
}

std::uint64_t contents_end(const firmware_ptn_entry& e)
{
    return std::uint64_t{e.content_offset} + e.content_size;
}

bool all_zero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

} // namespace

std::uint64_t firmware_index_block_count(const firmware_ptn_table& table)
{
    std::uint64_t n = 0;
    for (const firmware_ptn_entry& e : firmware_walked_entries(table))
        n += firmware_index_blocks_of(e.content_size);
    return n;
}

std::uint64_t firmware_index_first_block(const firmware_ptn_table& table, std::size_t walked_index)
{
    const auto walked = firmware_walked_entries(table);
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < walked_index && i < walked.size(); ++i)
        n += firmware_index_blocks_of(walked[i].content_size);
    return n;
}

const char* firmware_index_status_text(firmware_index_status status)
{
    switch (status) {
    case firmware_index_status::ok: return "well-formed";
    case firmware_index_status::missing: return "no index";
    case firmware_index_status::duplicate: return "more than one index";
    case firmware_index_status::outside: return "index reaches past the end of the image";
    case firmware_index_status::bad_length: return "length differs from the table";
    case firmware_index_status::bad_magic: return "wrong magic";
    case firmware_index_status::bad_version: return "unknown version";
    case firmware_index_status::reserved_not_zero: return "reserved byte not zero";
    case firmware_index_status::bad_block_len: return "block length not 65536";
    case firmware_index_status::entries_differ: return "entry count differs from the table";
    case firmware_index_status::digests_differ: return "digest count differs from the table";
    }
    return "unknown";
}

firmware_index_status firmware_index_locate(const firmware_ptn_table& table, std::uint64_t image_size,
                                            firmware_index_location& out)
{
    out = {};
    const std::size_t walked = firmware_walked_entries(table).size();
    for (std::size_t i = walked; i < table.entries.size(); ++i) {
        if (!firmware_ptn_name_is(table.entries[i], k_firmware_index_name))
            continue;
        if (out.index >= 0)
            return firmware_index_status::duplicate;
        out.index = static_cast<int>(i);
        out.at = table.entries[i].content_offset;
        out.len = table.entries[i].content_size;
    }
    if (out.index < 0)
        return firmware_index_status::missing;
    if (!firmware_ptn_contents_inside(table.entries[static_cast<std::size_t>(out.index)], image_size))
        return firmware_index_status::outside;
    return firmware_index_status::ok;
}

std::uint64_t firmware_index_len(const firmware_ptn_table& table)
{
    return k_firmware_index_digests_at + firmware_index_block_count(table) * k_firmware_index_digest_len;
}

firmware_index_status firmware_index_decode(std::span<const std::uint8_t> contents, const firmware_ptn_table& table,
                                            firmware_index_view& out)
{
    out = {};
    // The fixed part first, so that every field below is read from bytes that are there.
    if (contents.size() < k_firmware_index_digests_at)
        return firmware_index_status::bad_length;
    if (!std::equal(k_firmware_index_magic.begin(), k_firmware_index_magic.end(), contents.begin()))
        return firmware_index_status::bad_magic;
    if (contents[k_at_version] != k_firmware_index_version)
        return firmware_index_status::bad_version;
    if (!all_zero(contents.subspan(k_reserved_a_from, k_reserved_a_to - k_reserved_a_from)) ||
        !all_zero(contents.subspan(k_reserved_b_from, k_reserved_b_to - k_reserved_b_from)))
        return firmware_index_status::reserved_not_zero;
    if (load_be32_at(contents, k_at_block_len) != k_firmware_index_block_len)
        return firmware_index_status::bad_block_len;
    const std::uint32_t entry_count = load_be32_at(contents, k_at_entry_count);
    if (entry_count != firmware_walked_entries(table).size())
        return firmware_index_status::entries_differ;
    const std::uint32_t digest_count = load_be32_at(contents, k_at_digest_count);
    const std::uint64_t blocks = firmware_index_block_count(table);
    if (digest_count != blocks)
        return firmware_index_status::digests_differ;
    if (contents.size() != k_firmware_index_digests_at + blocks * k_firmware_index_digest_len)
        return firmware_index_status::bad_length;
    out.entry_count = entry_count;
    out.digest_count = digest_count;
    out.signature_area = contents.subspan(k_firmware_index_signatures_at, k_firmware_index_signatures_len);
    out.digests = contents.subspan(k_firmware_index_digests_at);
    return firmware_index_status::ok;
}

int firmware_index_encode(const firmware_ptn_table& table, std::span<const firmware_block_digest> digests,
                          std::span<std::uint8_t> out)
{
    const std::uint64_t blocks = firmware_index_block_count(table);
    if (digests.size() != blocks || out.size() != firmware_index_len(table))
        return -1;
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::copy(k_firmware_index_magic.begin(), k_firmware_index_magic.end(), out.begin());
    out[k_at_version] = k_firmware_index_version;
    store_be32_at(out, k_at_block_len, k_firmware_index_block_len);
    store_be32_at(out, k_at_entry_count, static_cast<std::uint32_t>(firmware_walked_entries(table).size()));
    store_be32_at(out, k_at_digest_count, static_cast<std::uint32_t>(blocks));
    auto at = out.begin() + static_cast<std::ptrdiff_t>(k_firmware_index_digests_at);
    for (const firmware_block_digest& d : digests)
        at = std::copy(d.begin(), d.end(), at);
    return 0;
}

void firmware_index_signed_mask(const firmware_index_location& index, std::uint64_t offset,
                                std::span<const std::uint8_t> bytes,
                                const std::function<void(std::span<const std::uint8_t>)>& sink)
{
    // As firmware_signed_mask: the zeros are fed in place of the fields, the
    // image is only read.
    static constexpr std::array<std::uint8_t, 4096> k_zeros{};
    const std::uint64_t index_end = index.at + index.len;
    const std::uint64_t sig_from = index.at + k_firmware_index_signatures_at;
    const std::uint64_t sig_to = index.at + k_firmware_index_digests_at;
    const std::uint64_t end = std::min(offset + bytes.size(), index_end);
    std::uint64_t pos = offset;
    while (pos < end) {
        const bool in_header_fields = pos >= k_firmware_signature_offset && pos < k_firmware_header_len;
        const bool in_signatures = pos >= sig_from && pos < sig_to;
        if (in_header_fields || in_signatures) {
            std::uint64_t to = end;
            if (in_header_fields)
                to = std::min(to, std::uint64_t{k_firmware_header_len});
            if (in_signatures)
                to = std::min(to, sig_to);
            // Where the two areas overlap or touch (only in a malformed image)
            // the loop comes back here for the rest.
            const std::uint64_t n = std::min<std::uint64_t>(to - pos, k_zeros.size());
            sink(std::span<const std::uint8_t>(k_zeros).first(n));
            pos += n;
            continue;
        }
        std::uint64_t to = end;
        if (pos < k_firmware_signature_offset)
            to = std::min(to, std::uint64_t{k_firmware_signature_offset});
        if (pos < sig_from)
            to = std::min(to, sig_from);
        sink(bytes.subspan(pos - offset, to - pos));
        pos = to;
    }
}

const char* firmware_stream_order_text(firmware_stream_order status)
{
    switch (status) {
    case firmware_stream_order::ok: return "in stream order";
    case firmware_stream_order::table_after_index: return "table not between the header and the index";
    case firmware_stream_order::document_after_index: return "a document after the index";
    case firmware_stream_order::contents_before_end: return "contents before the end of the index";
    case firmware_stream_order::contents_out_of_order: return "contents not in table order";
    case firmware_stream_order::prefix_too_big: return "index ends past 5 MiB";
    }
    return "unknown";
}

firmware_stream_order firmware_stream_order_check(const firmware_header& header, const firmware_ptn_table& table,
                                                  const firmware_index_location& index)
{
    const std::uint64_t table_at = header.ptn_table_offset;
    if (table_at < k_firmware_header_len || table_at + k_firmware_ptn_table_len > index.at)
        return firmware_stream_order::table_after_index;
    const std::uint64_t index_end = index.at + index.len;
    const auto walked = firmware_walked_entries(table);
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const firmware_ptn_entry& e = table.entries[i];
        if ((i >= walked.size() || is_document_name(e)) && contents_end(e) > index_end)
            return firmware_stream_order::document_after_index;
    }
    for (const firmware_ptn_entry& e : walked) {
        if (e.content_offset < index_end)
            return firmware_stream_order::contents_before_end;
    }
    for (std::size_t i = 1; i < walked.size(); ++i) {
        if (walked[i].content_offset < contents_end(walked[i - 1]))
            return firmware_stream_order::contents_out_of_order;
    }
    if (index_end > k_firmware_stream_prefix_max)
        return firmware_stream_order::prefix_too_big;
    return firmware_stream_order::ok;
}
