// Image signature: RSASSA-PKCS1-v1_5 with SHA-1 over the MD5 digest of the image,
// checked against the built-in public key.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "crypto/bignum.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "vorna/vorna_firmware.h"

namespace {

constexpr unsigned k_key_text_max = 256;
constexpr std::size_t k_key_blob_max = k_key_text_max / 4 * 3; // 192
constexpr unsigned k_signature_max = 256;
constexpr std::uint32_t k_modulus_bits_max = 2048;

// Key blob:
//   0   8 bytes blob header (not examined)
//   8   "RSA1"
//   12  modulus length in bits, 32-bit little-endian
//   16  public exponent, 32-bit little-endian
//   20  modulus, bits / 8 bytes, least significant first
constexpr std::size_t k_blob_magic_at = 8;
constexpr std::size_t k_blob_bits_at = 12;
constexpr std::size_t k_blob_exponent_at = 16;
constexpr std::size_t k_blob_modulus_at = 20;

// The zero byte that ends the PKCS#1 v1.5 padding, then the DER prefix of a
// SHA-1 DigestInfo:
//   00 01 FF .. FF | 00 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14 | SHA-1 (20)
constexpr std::array<std::uint8_t, 16> k_sha1_digest_info = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B,
                                                             0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr std::int32_t k_digest_info_top = 35; // byte position of the 00 separator
constexpr std::int32_t k_sha1_len = 20;

struct key_blob {
    std::array<std::uint8_t, k_key_blob_max> bytes{};
    std::size_t len = 0;
};

/// The public key, built for one verification and wiped with it.
struct rsa_public_key {
    bignum_ptr n;
    bignum_ptr e;
};

/// 6-bit value of a base64 character; -1 outside the alphabet.
int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

/// Decodes the whole groups of four characters in text[0..len); a trailing
/// incomplete group is ignored. False on a character that has no place there.
bool base64_decode(const char* text, std::size_t len, key_blob& blob)
{
    for (std::size_t g = 0; g + 4 <= len; g += 4) {
        const char* c = text + g;
        const int v1 = base64_value(c[0]);
        const int v2 = base64_value(c[1]);
        const int v3 = base64_value(c[2]);
        const int v4 = base64_value(c[3]);
        // Characters with a code of 128 or more fall out here as well.
        if (v1 < 0 || v2 < 0 || (v3 < 0 && c[2] != '=') || (v4 < 0 && c[3] != '='))
            return false;

        // At most 256 / 4 groups of three bytes: the blob cannot overflow.
        blob.bytes[blob.len++] = static_cast<std::uint8_t>(v1 * 4 + v2 / 16);
        if (c[2] == '=')
            continue;
        blob.bytes[blob.len++] = static_cast<std::uint8_t>((v2 % 16) * 16 + v3 / 4);
        if (c[3] == '=')
            continue;
        blob.bytes[blob.len++] = static_cast<std::uint8_t>((v3 % 4) * 64 + v4);
    }
    return true;
}

std::uint32_t load_le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

/// The little-endian integer bytes[0..len) as a number (len <= 256).
bignum_ptr number_from_le(const std::uint8_t* bytes, std::size_t len)
{
    std::array<std::uint8_t, 256> be{};
    std::reverse_copy(bytes, bytes + len, be.begin());
    return bignum_from_bytes(be.data(), static_cast<std::int32_t>(len));
}

void md5_feed(md5_ctx& ctx, std::span<const std::uint8_t> bytes)
{
    // One md5_update call takes at most 2^32 - 1 bytes.
    constexpr std::size_t chunk = std::size_t{1} << 30;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), chunk);
        md5_update(&ctx, bytes.data(), static_cast<std::uint32_t>(n));
        bytes = bytes.subspan(n);
    }
}

} // namespace

int rsa_verify_sha1(const char* key_text, unsigned key_text_len, const std::uint8_t* message,
                    std::int32_t message_len, const std::uint8_t* signature, unsigned signature_len)
{
    if (key_text == nullptr || key_text_len > k_key_text_max)
        return 0;
    std::size_t skip = 0;
    if (key_text_len >= 2 && key_text[0] == '+' && key_text[1] == ' ')
        skip = 2;
    if (key_text_len == skip)
        return 0;

    key_blob blob;
    if (!base64_decode(key_text + skip, key_text_len - skip, blob) || blob.len == 0)
        return 0;

    if (signature == nullptr || signature_len > k_signature_max || message == nullptr || message_len < 0)
        return 0;

    if (std::memcmp(blob.bytes.data() + k_blob_magic_at, "RSA1", 4) != 0)
        return 0;
    const std::uint32_t bits = load_le32(blob.bytes.data() + k_blob_bits_at);
    const std::uint32_t exponent = load_le32(blob.bytes.data() + k_blob_exponent_at);
    if (bits > k_modulus_bits_max)
        return 0;
    const std::size_t modulus_len = bits / 8;
    if (blob.len < k_blob_modulus_at + modulus_len)
        return 0;

    rsa_public_key key;
    key.e = bignum_from_u32(exponent);
    key.n = number_from_le(blob.bytes.data() + k_blob_modulus_at, modulus_len);
    bignum_ptr s = number_from_le(signature, signature_len);

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

void firmware_signed_digest_update(md5_ctx& ctx, std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    // A signature cannot cover itself, so its field counts as zeros. The zeros are
    // fed in its place instead of being written into the image: the image is only
    // read, and a killed or concurrent check must never alter a file.
    const std::uint64_t end = offset + bytes.size();
    auto piece = [&](std::uint64_t from, std::uint64_t to) {
        from = std::max(from, offset);
        to = std::min(to, end);
        return from < to ? bytes.subspan(from - offset, to - from) : std::span<const std::uint8_t>{};
    };
    md5_feed(ctx, piece(k_firmware_signed_from, k_firmware_signature_offset));
    const std::array<std::uint8_t, k_firmware_signature_len> zeros{};
    md5_feed(ctx, std::span(zeros).first(piece(k_firmware_signature_offset, k_firmware_min_len).size()));
    md5_feed(ctx, piece(k_firmware_min_len, end));
}

void firmware_signed_digest(std::span<const std::uint8_t> image, std::array<std::uint8_t, 16>& digest)
{
    md5_ctx ctx;
    md5_init(&ctx);
    firmware_signed_digest_update(ctx, 0, image);
    md5_final(digest.data(), &ctx);
}

int firmware_verify_digest(const std::array<std::uint8_t, 16>& digest,
                           std::span<const std::uint8_t, k_firmware_signature_len> signature)
{
    const int valid = rsa_verify_sha1(firmware_public_key, firmware_public_key_len, digest.data(),
                                      static_cast<std::int32_t>(digest.size()), signature.data(),
                                      static_cast<unsigned>(signature.size()));
    return valid == 1 ? 0 : -1;
}

int firmware_verify_signature(std::span<const std::uint8_t> image)
{
    if (image.size() < k_firmware_min_len)
        return -1;

    std::array<std::uint8_t, 16> digest;
    firmware_signed_digest(image, digest);
    return firmware_verify_digest(digest, image.subspan(k_firmware_signature_offset).first<k_firmware_signature_len>());
}
