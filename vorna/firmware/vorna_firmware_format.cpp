// SPDX-License-Identifier: Apache-2.0
// The image's codecs and rules. Pure: the decoders copy what they convert, the
// image bytes are never written, and nothing is printed.
#include "vorna/firmware/vorna_firmware_format.h"

#include "vorna/support/vorna_bytes.h"

#include <algorithm>
#include <cstring>

namespace {

// Entry layout: name[32] base size content_offset content_size type
constexpr std::size_t k_entry_base = 32;
constexpr std::size_t k_entry_size = 36;
constexpr std::size_t k_entry_content_offset = 40;
constexpr std::size_t k_entry_content_size = 44;
constexpr std::size_t k_entry_type = 48;

// Signature block layout (see the header).
constexpr std::size_t k_at_version = 4;
constexpr std::size_t k_at_count = 5;
constexpr std::size_t k_at_reserved = 6;
constexpr std::size_t k_entry_at_alg = 0;
constexpr std::size_t k_entry_at_reserved = 1;
constexpr std::size_t k_entry_at_len = 2;
constexpr std::size_t k_entry_at_key_id = 4;

std::size_t load_be16(std::span<const std::uint8_t> b, std::size_t at)
{
    return std::size_t{b[at]} << 8 | b[at + 1];
}

} // namespace

// ---- header and table -----------------------------------------------------

void firmware_header_parse(std::span<const std::uint8_t> image, firmware_header& out)
{
    std::array<std::uint8_t, k_firmware_header_len> raw{};
    std::copy_n(image.begin(), std::min(image.size(), raw.size()), raw.begin());
    std::span<const std::uint8_t> bytes(raw);
    out.first_word = load_be32_at(bytes, k_firmware_first_word_at);
    out.magic = load_be32_at(bytes, k_firmware_magic_at);
    out.ptn_table_offset = load_be32_at(bytes, k_firmware_ptn_table_offset_at);
    out.total_len = load_be32_at(bytes, k_firmware_total_len_at);
    std::copy(raw.begin() + k_firmware_words_len, raw.end(), out.rest.begin());
}

bool firmware_ptn_table_parse(std::span<const std::uint8_t> table_bytes, firmware_ptn_table& out)
{
    if (table_bytes.size() < k_firmware_ptn_table_len)
        return false;
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
        auto raw = table_bytes.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        firmware_ptn_entry& e = out.entries[i];
        std::memcpy(e.name.data(), raw.data(), e.name.size());
        e.base = load_be32_at(raw, k_entry_base);
        e.size = load_be32_at(raw, k_entry_size);
        e.content_offset = load_be32_at(raw, k_entry_content_offset);
        e.content_size = load_be32_at(raw, k_entry_content_size);
        e.type = load_be32_at(raw, k_entry_type);
    }
    return true;
}

void firmware_header_encode(const firmware_header& header, std::span<std::uint8_t, k_firmware_header_len> out)
{
    std::span<std::uint8_t> bytes(out);
    store_be32_at(bytes, k_firmware_first_word_at, header.first_word);
    store_be32_at(bytes, k_firmware_magic_at, header.magic);
    store_be32_at(bytes, k_firmware_ptn_table_offset_at, header.ptn_table_offset);
    store_be32_at(bytes, k_firmware_total_len_at, header.total_len);
    std::copy(header.rest.begin(), header.rest.end(), bytes.begin() + k_firmware_words_len);
}

void firmware_ptn_table_encode(const firmware_ptn_table& table, std::span<std::uint8_t, k_firmware_ptn_table_len> out)
{
    std::span<std::uint8_t> bytes(out);
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        auto raw = bytes.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        const firmware_ptn_entry& e = table.entries[i];
        std::memcpy(raw.data(), e.name.data(), e.name.size());
        store_be32_at(raw, k_entry_base, e.base);
        store_be32_at(raw, k_entry_size, e.size);
        store_be32_at(raw, k_entry_content_offset, e.content_offset);
        store_be32_at(raw, k_entry_content_size, e.content_size);
        store_be32_at(raw, k_entry_type, e.type);
    }
}

firmware_header_status firmware_header_check(const firmware_header& header, std::uint64_t image_size)
{
    if (header.magic != k_firmware_magic)
        return firmware_header_status::bad_magic;
    if (std::uint64_t{header.total_len} != image_size)
        return firmware_header_status::size_mismatch;
    // The signature field itself must be inside the file before it can be checked.
    if (image_size < k_firmware_min_len)
        return firmware_header_status::too_short;
    return firmware_header_status::ok;
}

firmware_table_span firmware_table_within(const firmware_header& header, std::uint64_t image_size)
{
    const std::uint64_t at = header.ptn_table_offset;
    const std::uint64_t room = at < image_size ? std::min<std::uint64_t>(image_size - at, k_firmware_ptn_table_len) : 0;
    return {at, static_cast<std::size_t>(room)};
}

// ---- entries --------------------------------------------------------------

bool firmware_ptn_name_is(const firmware_ptn_entry& entry, const char* name)
{
    std::size_t stored = ::strnlen(entry.name.data(), entry.name.size());
    std::size_t wanted = std::strlen(name);
    return stored == wanted && std::memcmp(entry.name.data(), name, stored) == 0;
}

std::span<const firmware_ptn_entry> firmware_walked_entries(const firmware_ptn_table& table)
{
    std::size_t n = 0;
    while (n < table.entries.size() && table.entries[n].size != 0)
        ++n;
    return std::span(table.entries).first(n);
}

bool firmware_ptn_entry_blank(const firmware_ptn_entry& e)
{
    return std::all_of(e.name.begin(), e.name.end(), [](char c) { return c == '\0'; }) && e.base == 0 && e.size == 0 &&
           e.content_offset == 0 && e.content_size == 0 && e.type == 0;
}

bool firmware_entry_contents_fit(const firmware_ptn_entry& entry)
{
    return entry.content_size <= entry.size;
}

bool firmware_entry_inside_device(const firmware_ptn_entry& entry, std::uint64_t device_size)
{
    return std::uint64_t{entry.base} + entry.content_size <= device_size;
}

bool firmware_ptn_contents_inside(const firmware_ptn_entry& entry, std::uint64_t image_size)
{
    return std::uint64_t{entry.content_offset} + entry.content_size <= image_size;
}

firmware_entry_fault firmware_entry_check(const firmware_ptn_entry& entry, const firmware_entry_target& target)
{
    if (firmware_entry_layout(entry) < 0)
        return firmware_entry_fault::invalid_type;
    if (entry.content_size == 0)
        return firmware_entry_fault::no_contents;
    if (!firmware_entry_contents_fit(entry))
        return firmware_entry_fault::exceeds_size;
    if (!firmware_ptn_contents_inside(entry, target.image_size))
        return firmware_entry_fault::outside_image;
    const long long device_size = target.device_size();
    if (device_size < 0)
        return firmware_entry_fault::no_device_size;
    if (!firmware_entry_inside_device(entry, static_cast<std::uint64_t>(device_size)))
        return firmware_entry_fault::past_device;
    if (!target.has_partition)
        return firmware_entry_fault::no_partition;
    const std::uint64_t from = entry.content_offset;
    const std::uint64_t to = from + entry.content_size;
    if (target.table_at < to && from < target.table_at + k_firmware_ptn_table_len)
        return firmware_entry_fault::table_overlap;
    return firmware_entry_fault::none;
}

int firmware_entry_layout(const firmware_ptn_entry& entry)
{
    switch (entry.type) {
    case k_firmware_type_nor: return 0;
    case k_firmware_type_emmc: return 1;
    default: return -1;
    }
}

namespace {

const ptn_entry* find_in_layout(const ptn_layout& layout, const firmware_ptn_entry& e)
{
    for (std::uint32_t i = 0; i < layout.count && i < layout.ptns.size(); ++i) {
        if (firmware_ptn_name_is(e, layout.ptns[i].name.data()))
            return &layout.ptns[i];
    }
    return nullptr;
}

} // namespace

firmware_board_verdict firmware_entry_against_board(const firmware_ptn_entry& e, bool moves, const ptn_table& board)
{
    firmware_board_verdict v;
    v.layout = firmware_entry_layout(e);
    if (v.layout < 0) {
        v.fault = firmware_board_fault::invalid_type;
        return v;
    }
    const ptn_layout& layout = board.layouts[static_cast<std::size_t>(v.layout)];
    v.ptn = find_in_layout(layout, e);
    if (v.ptn == nullptr) {
        v.in_other_layout = find_in_layout(board.layouts[static_cast<std::size_t>(1 - v.layout)], e) != nullptr;
        v.fault = firmware_board_fault::no_partition;
    } else if (e.content_size > v.ptn->size) {
        v.fault = firmware_board_fault::exceeds_partition;
    } else if (e.base != v.ptn->base && !moves) {
        v.fault = firmware_board_fault::base_differs;
    } else if (!firmware_entry_inside_device(e, static_cast<std::uint64_t>(layout.disk_size))) {
        v.fault = firmware_board_fault::past_device;
    }
    return v;
}

// ---- signed spans ---------------------------------------------------------

void firmware_signed_mask(const firmware_signed_span& span, std::uint64_t offset, std::span<const std::uint8_t> bytes,
                          const std::function<void(std::span<const std::uint8_t>)>& sink)
{
    // The zeros are fed in the field's place instead of being written into the
    // image: the image is only read, and a killed or concurrent check must never
    // alter a file.
    static constexpr std::array<std::uint8_t, 4096> k_zeros{};
    const std::uint64_t end = offset + bytes.size();
    std::uint64_t pos = offset;
    while (pos < end) {
        if (pos < span.from) {
            pos = std::min(end, span.from);
        } else if (pos < span.zero_from) {
            const std::uint64_t to = std::min(end, span.zero_from);
            sink(bytes.subspan(pos - offset, to - pos));
            pos = to;
        } else if (pos < span.zero_to) {
            const std::uint64_t n = std::min({end, span.zero_to, pos + k_zeros.size()}) - pos;
            sink(std::span<const std::uint8_t>(k_zeros).first(n));
            pos += n;
        } else {
            sink(bytes.subspan(pos - offset));
            pos = end;
        }
    }
}

// ---- the strong-signature block -------------------------------------------

const char* signature_block_status_text(signature_block_status status)
{
    switch (status) {
    case signature_block_status::ok: return "well-formed";
    case signature_block_status::missing: return "no block";
    case signature_block_status::bad_version: return "unknown version";
    case signature_block_status::bad_count: return "count not 1 to 4";
    case signature_block_status::truncated: return "truncated entry";
    case signature_block_status::unknown_algorithm: return "unknown algorithm";
    case signature_block_status::bad_length: return "wrong signature length";
    case signature_block_status::not_zero_after: return "bytes after the block not zero";
    case signature_block_status::reserved_not_zero: return "reserved byte not zero";
    }
    return "unknown";
}

signature_block_status signature_block_decode(std::span<const std::uint8_t> area, signature_block& out)
{
    out = signature_block{};
    if (area.size() > k_signature_block_area)
        area = area.first(k_signature_block_area);
    if (area.size() < k_signature_block_head_len ||
        !std::equal(k_signature_block_magic.begin(), k_signature_block_magic.end(), area.begin()))
        return signature_block_status::missing;
    if (area[k_at_version] != k_signature_block_version)
        return signature_block_status::bad_version;
    const std::size_t count = area[k_at_count];
    if (count == 0 || count > k_signature_block_max)
        return signature_block_status::bad_count;
    if (area[k_at_reserved] != 0 || area[k_at_reserved + 1] != 0)
        return signature_block_status::reserved_not_zero;

    std::size_t at = k_signature_block_head_len;
    for (std::size_t i = 0; i < count; ++i) {
        // Each length is checked against what is left before it indexes anything.
        if (area.size() - at < k_signature_entry_head_len)
            return signature_block_status::truncated;
        auto head = area.subspan(at, k_signature_entry_head_len);
        if (head[k_entry_at_alg] != k_signature_alg_ed25519)
            return signature_block_status::unknown_algorithm;
        if (head[k_entry_at_reserved] != 0)
            return signature_block_status::reserved_not_zero;
        const std::size_t len = load_be16(head, k_entry_at_len);
        if (len != k_ed25519_signature_len)
            return signature_block_status::bad_length;
        if (area.size() - at - k_signature_entry_head_len < len)
            return signature_block_status::truncated;
        signature_entry& e = out.entries[i];
        e.algorithm = head[k_entry_at_alg];
        std::copy_n(head.begin() + k_entry_at_key_id, k_key_id_len, e.key_id.begin());
        std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(at + k_signature_entry_head_len), len,
                    e.signature.begin());
        at += k_signature_entry_head_len + len;
    }
    // The strong digest counts the whole area as zeros; only a block followed by
    // zeros leaves no bytes in it that nothing but the legacy signature guards.
    if (!std::all_of(area.begin() + static_cast<std::ptrdiff_t>(at), area.end(), [](std::uint8_t b) { return b == 0; }))
        return signature_block_status::not_zero_after;
    out.count = static_cast<std::uint8_t>(count);
    return signature_block_status::ok;
}

int signature_block_encode(const signature_block& block, std::span<std::uint8_t> area)
{
    const std::size_t len =
        k_signature_block_head_len + block.count * (k_signature_entry_head_len + k_ed25519_signature_len);
    if (block.count == 0 || block.count > k_signature_block_max || area.size() < len)
        return -1;
    for (std::size_t i = 0; i < block.count; ++i) {
        if (block.entries[i].algorithm != k_signature_alg_ed25519)
            return -1;
    }
    std::fill(area.begin(), area.end(), 0);
    std::copy(k_signature_block_magic.begin(), k_signature_block_magic.end(), area.begin());
    area[k_at_version] = k_signature_block_version;
    area[k_at_count] = block.count;
    std::size_t at = k_signature_block_head_len;
    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        auto out = area.subspan(at, k_signature_entry_head_len + k_ed25519_signature_len);
        out[k_entry_at_alg] = e.algorithm;
        out[k_entry_at_len] = static_cast<std::uint8_t>(k_ed25519_signature_len >> 8);
        out[k_entry_at_len + 1] = static_cast<std::uint8_t>(k_ed25519_signature_len & 0xFF);
        std::copy(e.key_id.begin(), e.key_id.end(), out.begin() + k_entry_at_key_id);
        std::copy(e.signature.begin(), e.signature.end(), out.begin() + k_signature_entry_head_len);
        at += out.size();
    }
    return 0;
}

// ---- documents ------------------------------------------------------------

namespace {

/// One entry's framed document into `out`, by the rule of firmware_document_find. Prints nothing.
firmware_document_status document_load(const firmware_ptn_entry& entry, firmware_source& source, ptn_document& out)
{
    if (!firmware_ptn_contents_inside(entry, source.size()))
        return firmware_document_status::outside;
    // Too short to hold a header: taken as a header that is not one, unread.
    if (entry.content_size < k_ptn_header_len) {
        out.frame = ptn_frame{};
        return firmware_document_status::no_header;
    }
    const auto read = [&](std::uint64_t at, std::span<std::uint8_t> bytes) -> long long {
        return source.read_at(std::uint64_t{entry.content_offset} + at, bytes) < 0
                   ? -1
                   : static_cast<long long>(bytes.size());
    };
    switch (ptn_frame_load(entry.content_size, k_firmware_document_max, read, out)) {
    case ptn_frame_status::ok: return firmware_document_status::ok;
    case ptn_frame_status::short_frame:
    case ptn_frame_status::bad_magic: return firmware_document_status::no_header;
    case ptn_frame_status::too_long: return firmware_document_status::too_long;
    case ptn_frame_status::too_big: return firmware_document_status::too_big;
    case ptn_frame_status::unreadable: return firmware_document_status::unreadable;
    case ptn_frame_status::no_memory: break;
    }
    return firmware_document_status::no_memory;
}

} // namespace

firmware_document_status firmware_document_find(const firmware_ptn_table& table, const char* name,
                                                firmware_source& source, firmware_document& out,
                                                const firmware_document_check& check)
{
    out = firmware_document{};
    out.image_size = source.size();
    // Every entry of the name counts, whatever its size and wherever an upgrade
    // would stop: one that cannot be read fails the document even when a later
    // one could be, so that no reader settles on a different entry.
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const firmware_ptn_entry& entry = table.entries[i];
        if (!firmware_ptn_name_is(entry, name))
            continue;
        out.index = static_cast<int>(i);
        out.entry = &entry;
        out.status = document_load(entry, source, out.doc);
        if (out.status == firmware_document_status::ok && check && check(out.doc) != 0)
            out.status = firmware_document_status::refused;
        if (out.status != firmware_document_status::ok)
            return out.status;
    }
    return out.status;
}
