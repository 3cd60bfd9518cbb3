// SPDX-License-Identifier: Apache-2.0
// Image signature: RSASSA-PKCS1-v1_5 with SHA-1 over the MD5 digest of the image,
// checked against the built-in public key.
#include <algorithm>
#include <array>
#include <cstddef>

#include "crypto/md5.h"
#include "crypto/rsa_pkcs1.h"
#include "vorna/firmware/vorna_firmware.h"

namespace {

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
                           std::span<const std::uint8_t, k_firmware_signature_len> signature, std::string_view key)
{
    if (key.empty())
        key = {firmware_public_key, firmware_public_key_len};
    const int valid = rsa_verify_sha1(key.data(), static_cast<unsigned>(key.size()), digest.data(),
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
