// SPDX-License-Identifier: Apache-2.0
#include "vorna/partition/vorna_ptn_header.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_log.h"

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
    // Too short to hold a header: the caller reports the partition in its own words.
    if (bytes.data() == nullptr || bytes.size() < k_ptn_header_len)
        return nullptr;
    auto header = make_record<ptn_header>();
    if (!header)
        return nullptr;
    *header = ptn_header_decode(bytes.first<k_ptn_header_len>());
    if (header->magic != k_ptn_header_magic) {
        log_error(k_module, k_line_magic, "Magic unmatch.magic [0x%08X -- 0x%08X]\n", header->magic,
                  k_ptn_header_magic);
        return nullptr;
    }
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

bool ptn_header_content_fits(const ptn_header& header, std::uint64_t framed_len)
{
    return framed_len >= k_ptn_header_len && header.content_len <= framed_len - k_ptn_header_len;
}

std::optional<std::span<const std::uint8_t>> ptn_header_content(const ptn_header& header,
                                                                std::span<const std::uint8_t> framed)
{
    if (!ptn_header_content_fits(header, framed.size()))
        return std::nullopt;
    return framed.subspan(k_ptn_header_len, header.content_len);
}
