// SPDX-License-Identifier: Apache-2.0
#include "vorna/partition/vorna_ptn_header.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_log.h"

#include <algorithm>
#include <array>

namespace {

constexpr const char* k_module = "vorna_ptn_header";

enum line : int {
    k_line_magic = 94,
};

// Byte offsets of the four big-endian words:
//   0          4          8             12         16
//   first_word | AA55D98F | content_len | last_word | content ...
constexpr std::size_t k_at_first_word = 0;
constexpr std::size_t k_at_magic = 4;
constexpr std::size_t k_at_content_len = 8;
constexpr std::size_t k_at_last_word = 12;

} // namespace

std::unique_ptr<ptn_header> ptn_header_parse(std::span<const std::uint8_t> bytes)
{
    // Too short to hold a header: nothing is said, the caller reports the
    // partition in its own words.
    const ptn_frame frame = ptn_frame_parse(bytes, UINT64_MAX);
    auto header = frame.status == ptn_frame_status::ok ? make_record<ptn_header>() : nullptr;
    if (header)
        *header = frame.header;
    return header;
}

ptn_header ptn_header_decode(std::span<const std::uint8_t, 16> bytes)
{
    std::span<const std::uint8_t> all(bytes);
    return ptn_header{
        .first_word = load_be32_at(all, k_at_first_word),
        .magic = load_be32_at(all, k_at_magic),
        .content_len = load_be32_at(all, k_at_content_len),
        .last_word = load_be32_at(all, k_at_last_word),
    };
}

void ptn_header_encode(const ptn_header& header, std::span<std::uint8_t, 16> out)
{
    std::span<std::uint8_t> bytes(out);
    store_be32_at(bytes, k_at_first_word, header.first_word);
    store_be32_at(bytes, k_at_magic, header.magic);
    store_be32_at(bytes, k_at_content_len, header.content_len);
    store_be32_at(bytes, k_at_last_word, header.last_word);
}

std::uint64_t ptn_frame_room(std::uint64_t framed_len)
{
    return framed_len < k_ptn_header_len ? 0 : framed_len - k_ptn_header_len;
}

ptn_frame ptn_frame_decode(std::span<const std::uint8_t> head, std::uint64_t framed_len, std::uint32_t max_content)
{
    ptn_frame frame;
    if (head.size() < k_ptn_header_len || framed_len < k_ptn_header_len)
        return frame;
    frame.header = ptn_header_decode(head.first<k_ptn_header_len>());
    if (frame.header.magic != k_ptn_header_magic)
        frame.status = ptn_frame_status::bad_magic;
    else if (frame.header.content_len > ptn_frame_room(framed_len))
        frame.status = ptn_frame_status::too_long;
    else if (frame.header.content_len > max_content)
        frame.status = ptn_frame_status::too_big;
    else
        frame.status = ptn_frame_status::ok;
    if (frame.status == ptn_frame_status::ok && frame.header.content_len <= ptn_frame_room(head.size()))
        frame.content = head.subspan(k_ptn_header_len, frame.header.content_len);
    return frame;
}

ptn_frame ptn_frame_parse(std::span<const std::uint8_t> head, std::uint64_t framed_len, std::uint32_t max_content)
{
    ptn_frame frame = ptn_frame_decode(head, framed_len, max_content);
    ptn_frame_report(frame);
    return frame;
}

void ptn_frame_report(const ptn_frame& frame)
{
    if (frame.status == ptn_frame_status::bad_magic)
        log_error(k_module, k_line_magic, "Magic unmatch.magic [0x%08X -- 0x%08X]\n", frame.header.magic,
                  k_ptn_header_magic);
}

ptn_frame_status ptn_frame_read(std::uint64_t framed_len, std::uint32_t max_content, const ptn_frame_reader& read,
                                ptn_document& out)
{
    const ptn_frame_status status = ptn_frame_load(framed_len, max_content, read, out);
    // The header's own complaint, as soon as the header has been read.
    if (status == ptn_frame_status::bad_magic)
        ptn_frame_report(out.frame);
    return status;
}

ptn_frame_status ptn_frame_load(std::uint64_t framed_len, std::uint32_t max_content, const ptn_frame_reader& read,
                                ptn_document& out)
{
    // The header first, then only what it announces: the frame may be far larger
    // than the document it holds, and never more than the frame is read.
    std::array<std::uint8_t, k_ptn_header_len> raw{};
    const long long got = read(0, std::span(raw).first(std::min<std::uint64_t>(raw.size(), framed_len)));
    if (got < 0)
        return ptn_frame_status::unreadable;
    out.frame = ptn_frame_decode(std::span(raw).first(static_cast<std::size_t>(got)), framed_len, max_content);
    if (out.frame.status != ptn_frame_status::ok)
        return out.frame.status;
    const std::uint32_t len = out.frame.header.content_len;
    // Zero-filled, so that what a short device does not deliver reads as zeros.
    out.bytes = make_buffer(len);
    if (!out.bytes)
        return ptn_frame_status::no_memory;
    if (len > 0 && read(k_ptn_header_len, {out.bytes.get(), len}) < 0)
        return ptn_frame_status::unreadable;
    out.frame.content = {out.bytes.get(), len};
    return ptn_frame_status::ok;
}
