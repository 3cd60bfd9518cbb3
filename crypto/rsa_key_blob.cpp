// SPDX-License-Identifier: Apache-2.0
#include "crypto/rsa_key_blob.h"

#include <array>
#include <cstring>

#include "crypto/base64.h"
#include "crypto/byte_order.h"

namespace {

constexpr std::size_t k_key_blob_max = k_rsa_key_text_max / 4 * 3; // 192
constexpr std::size_t k_blob_magic_at = 8;
constexpr std::size_t k_blob_bits_at = 12;
constexpr std::size_t k_blob_exponent_at = 16;
constexpr std::size_t k_blob_modulus_at = 20;

} // namespace

bool rsa_key_blob_read(const char* key_text, unsigned key_text_len, rsa_public_key& key)
{
    if (key_text == nullptr || key_text_len > k_rsa_key_text_max)
        return false;
    std::size_t skip = 0;
    if (key_text_len >= 2 && key_text[0] == '+' && key_text[1] == ' ')
        skip = 2;
    if (key_text_len == skip)
        return false;

    // Zero-filled, so that the fields of a short blob read as zeros.
    std::array<std::uint8_t, k_key_blob_max> blob{};
    std::size_t blob_len = 0;
    if (!base64_decode(key_text + skip, key_text_len - skip, blob, blob_len) || blob_len == 0)
        return false;

    if (std::memcmp(blob.data() + k_blob_magic_at, "RSA1", 4) != 0)
        return false;
    const std::uint32_t bits = load_le32(blob.data() + k_blob_bits_at);
    const std::uint32_t exponent = load_le32(blob.data() + k_blob_exponent_at);
    if (bits > k_rsa_modulus_bits_max)
        return false;
    const std::size_t modulus_len = bits / 8;
    if (blob_len < k_blob_modulus_at + modulus_len)
        return false;

    key.e = bignum_from_u32(exponent);
    key.n = bignum_from_le_bytes(blob.data() + k_blob_modulus_at, static_cast<std::int32_t>(modulus_len));
    return true;
}
