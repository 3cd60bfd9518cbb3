// SPDX-License-Identifier: Apache-2.0
#include "crypto/rsa_pkcs1.h"

#include <array>
#include <cstddef>

#include "crypto/bignum.h"
#include "crypto/rsa_key_blob.h"
#include "crypto/sha1.h"

namespace {

constexpr unsigned k_signature_max = 256;

// The zero byte that ends the PKCS#1 v1.5 padding, then the DER prefix of a
// SHA-1 DigestInfo:
//   00 01 FF .. FF | 00 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14 | SHA-1 (20)
constexpr std::array<std::uint8_t, 16> k_sha1_digest_info = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                                                             0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr std::int32_t k_digest_info_top = 35; // byte position of the 00 separator
constexpr std::int32_t k_sha1_len = 20;

} // namespace

int rsa_verify_sha1(const char* key_text, unsigned key_text_len, const std::uint8_t* message, std::int32_t message_len,
                    const std::uint8_t* signature, unsigned signature_len)
{
    if (signature == nullptr || signature_len > k_signature_max || message == nullptr || message_len < 0)
        return 0;
    rsa_public_key key;
    if (!rsa_key_blob_read(key_text, key_text_len, key))
        return 0;

    bignum_ptr s = bignum_from_le_bytes(signature, static_cast<std::int32_t>(signature_len));

    // s and s + n would otherwise both verify (RFC 8017, RSAVP1 step 1).
    if (bignum_compare(s.get(), key.n.get()) >= 0)
        return 0;
    // Null for a modulus below 2, outside what the arithmetic takes.
    const bignum_ptr x = bignum_mod_exp(s.get(), key.e.get(), key.n.get());
    s.reset();
    if (!x)
        return 0;

    const std::int32_t k = (bignum_bit_length(key.n.get()) + 7) / 8;

    std::array<std::uint8_t, k_sha1_len> digest;
    sha1(message, message_len, digest.data());

    // Every position is compared whatever the earlier ones held.
    unsigned diff = 0;
    diff |= bignum_byte(x.get(), k - 1) ^ 0x00u;
    diff |= bignum_byte(x.get(), k - 2) ^ 0x01u;
    for (std::int32_t pos = k - 3; pos > k_digest_info_top; --pos)
        diff |= bignum_byte(x.get(), pos) ^ 0xFFu;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(k_sha1_digest_info.size()); ++i)
        diff |= bignum_byte(x.get(), k_digest_info_top - i) ^ k_sha1_digest_info[static_cast<std::size_t>(i)];
    for (std::int32_t i = 0; i < k_sha1_len; ++i)
        diff |= bignum_byte(x.get(), k_sha1_len - 1 - i) ^ digest[static_cast<std::size_t>(i)];

    return diff == 0 ? 1 : 0;
}
