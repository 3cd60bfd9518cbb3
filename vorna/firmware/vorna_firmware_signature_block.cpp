// SPDX-License-Identifier: Apache-2.0
// Strong-signature block codec: every read is bounded by the span it was given.
#include "vorna/firmware/vorna_firmware_signature_block.h"

#include <algorithm>

namespace {

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
