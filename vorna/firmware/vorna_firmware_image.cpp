// SPDX-License-Identifier: Apache-2.0
// Decoding, encoding and the header check of the firmware image. The decoders
// copy what they convert; the image bytes are never written.
#include "vorna/firmware/vorna_firmware.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_bytes.h"
#include "vorna/firmware/vorna_firmware_strong.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

// Entry layout: name[32] base size content_offset content_size type
constexpr std::size_t k_entry_base = 32;
constexpr std::size_t k_entry_size = 36;
constexpr std::size_t k_entry_content_offset = 40;
constexpr std::size_t k_entry_content_size = 44;
constexpr std::size_t k_entry_type = 48;

} // namespace

bool firmware_ptn_name_is(const firmware_ptn_entry& entry, const char* name)
{
    std::size_t stored = ::strnlen(entry.name.data(), entry.name.size());
    std::size_t wanted = std::strlen(name);
    return stored == wanted && std::memcmp(entry.name.data(), name, stored) == 0;
}

std::unique_ptr<firmware_header> firmware_header_decode(std::span<const std::uint8_t> image)
{
    auto header = make_record<firmware_header>();
    if (!header) {
        log_error(k_module, k_line_header_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_header_len));
        return nullptr;
    }
    // A short image leaves the rest of the copy zero, as a mapping in whole
    // pages would show it; nothing past the end of the file is read.
    std::array<std::uint8_t, k_firmware_header_len> raw{};
    std::copy_n(image.begin(), std::min(image.size(), raw.size()), raw.begin());
    std::span<const std::uint8_t> bytes(raw);
    header->first_word = load_be32_at(bytes, k_firmware_first_word_at);
    header->magic = load_be32_at(bytes, k_firmware_magic_at);
    header->ptn_table_offset = load_be32_at(bytes, k_firmware_ptn_table_offset_at);
    header->total_len = load_be32_at(bytes, k_firmware_total_len_at);
    std::copy(raw.begin() + k_firmware_words_len, raw.end(), header->rest.begin());
    return header;
}

std::unique_ptr<firmware_ptn_table> firmware_ptn_table_decode(std::span<const std::uint8_t> table_bytes)
{
    if (table_bytes.size() < k_firmware_ptn_table_len) {
        log_error(k_module, k_line_table_short, "firmware ptn_table needs %d bytes, only %zu left in the file.\n",
                  static_cast<int>(k_firmware_ptn_table_len), table_bytes.size());
        return nullptr;
    }
    auto table = make_record<firmware_ptn_table>();
    if (!table) {
        log_error(k_module, k_line_table_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_ptn_table_len));
        return nullptr;
    }
    for (std::size_t i = 0; i < table->entries.size(); ++i) {
        auto raw = table_bytes.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        firmware_ptn_entry& e = table->entries[i];
        std::memcpy(e.name.data(), raw.data(), e.name.size());
        e.base = load_be32_at(raw, k_entry_base);
        e.size = load_be32_at(raw, k_entry_size);
        e.content_offset = load_be32_at(raw, k_entry_content_offset);
        e.content_size = load_be32_at(raw, k_entry_content_size);
        e.type = load_be32_at(raw, k_entry_type);
    }
    return table;
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

int firmware_header_check_with(const firmware_header* header, std::uint64_t image_size,
                               const std::function<int(firmware_strong_pending&, const firmware_header*&)>& verify)
{
    if (header == nullptr)
        return -2;
    if (header->magic != k_firmware_magic) {
        log_error(k_module, k_line_bad_magic, "Invalid magic number.\n");
        return -2;
    }
    if (std::uint64_t{header->total_len} != image_size) {
        log_error(k_module, k_line_size_mismatch,
                  "firmware size un-match, firmware_size is %lld header[total_len] is %d.\n",
                  static_cast<long long>(image_size), static_cast<std::int32_t>(header->total_len));
        return -2;
    }
    // The signature field itself must be inside the file before it can be checked.
    if (image_size < k_firmware_min_len) {
        log_error(k_module, k_line_too_short, "firmware too short, firmware_size is %d, at least %d bytes needed.\n",
                  static_cast<int>(image_size), static_cast<int>(k_firmware_min_len));
        return -2;
    }
    firmware_strong_pending strong;
    // From here on only the header the pass read counts: the signatures were
    // checked over those bytes, not over the copy read before.
    const firmware_header* verified = nullptr;
    const int verdict = verify(strong, verified);
    if ((verdict != 0 && verdict != -4) || verified == nullptr)
        return -1;
    if (verdict == -4 && firmware_legacy_signature_waived(*verified, strong))
        return firmware_strong_report(*verified, strong);
    if (verdict == -4) {
        log_error(k_module, k_line_rsa_failed, "firmware RSA verify failed\n\n");
        return -4;
    }
    log_info(k_module, k_line_rsa_pass, "rsa check pass\n");
    return firmware_strong_report(*verified, strong);
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

std::optional<std::span<const std::uint8_t>> firmware_ptn_contents(const firmware_ptn_entry& entry,
                                                                   std::span<const std::uint8_t> image)
{
    if (!firmware_ptn_contents_inside(entry, image.size()))
        return std::nullopt;
    return image.subspan(entry.content_offset, entry.content_size);
}

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

void firmware_document_report(const firmware_document& found, const firmware_document_lines& lines)
{
    if (found.entry == nullptr)
        return;
    const firmware_ptn_entry& entry = *found.entry;
    switch (found.status) {
    case firmware_document_status::outside:
        log_error(lines.module, lines.outside,
                  "firmware partition [0x%08x] content {0x%08x:0x%08x} lies outside the %s (%llu bytes).\n",
                  entry.content_offset, entry.content_offset, entry.content_size, lines.image_word,
                  static_cast<unsigned long long>(found.image_size));
        return;
    case firmware_document_status::no_header:
        ptn_frame_report(found.doc.frame);
        log_error(lines.module, lines.no_header, "firmware partition [0x%08x] is not a valid partition.\n",
                  entry.content_offset);
        return;
    case firmware_document_status::too_long:
        log_error(lines.module, lines.too_long,
                  "firmware partition [0x%08x] content_len %u exceeds its %u content bytes.\n", entry.content_offset,
                  found.doc.frame.header.content_len, static_cast<unsigned>(ptn_frame_room(entry.content_size)));
        return;
    case firmware_document_status::too_big:
        log_error(lines.module, lines.too_big, "firmware partition [0x%08x] content_len %u exceeds %u.\n",
                  entry.content_offset, found.doc.frame.header.content_len, k_firmware_document_max);
        return;
    case firmware_document_status::none:
    case firmware_document_status::ok:
    case firmware_document_status::unreadable:
    case firmware_document_status::no_memory:
    case firmware_document_status::refused: return;
    }
}
