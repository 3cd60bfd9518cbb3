// Image signature: RSASSA-PKCS1-v1_5 with SHA-1 over the MD5 digest of the image,
// checked against the built-in public key.
#include <algorithm>
#include <array>
#include <cstddef>

#include "crypto/md5.h"
#include "crypto/rsa_pkcs1.h"
#include "vorna/vorna_firmware.h"

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

void firmware_signed_digest(std::span<const std::uint8_t> image, std::array<std::uint8_t, 16>& digest)
{
    // A signature cannot cover itself, so its field counts as zeros. The zeros are
    // fed in its place instead of being written into the image: the image may be a
    // read-only mapping, and a killed or concurrent check must never alter a file.
    md5_ctx ctx;
    md5_init(&ctx);
    const std::size_t size = image.size();
    if (size > k_firmware_signed_from) {
        const std::size_t field_from = std::min(size, k_firmware_signature_offset);
        const std::size_t field_to = std::min(size, k_firmware_min_len);
        md5_feed(ctx, image.subspan(k_firmware_signed_from, field_from - k_firmware_signed_from));
        const std::array<std::uint8_t, k_firmware_signature_len> zeros{};
        md5_feed(ctx, std::span(zeros).first(field_to - field_from));
        md5_feed(ctx, image.subspan(field_to));
    }
    md5_final(digest.data(), &ctx);
}

int firmware_verify_signature(std::span<const std::uint8_t> image)
{
    if (image.size() < k_firmware_min_len)
        return -1;

    std::array<std::uint8_t, 16> digest;
    firmware_signed_digest(image, digest);

    const int valid = rsa_verify_sha1(firmware_public_key, firmware_public_key_len, digest.data(),
                                      static_cast<std::int32_t>(digest.size()),
                                      image.data() + k_firmware_signature_offset, k_firmware_signature_len);
    return valid == 1 ? 0 : -1;
}
