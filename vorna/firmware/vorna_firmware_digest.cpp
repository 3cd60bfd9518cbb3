// SPDX-License-Identifier: Apache-2.0
// The legacy and the strong digest of an image, fed in file order.
#include "vorna/firmware/vorna_firmware_digest.h"

#include "vorna/firmware/vorna_firmware.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

/// Hands `bytes` (standing at `offset` of the image) to `sink`: what lies before
/// `from` is left out, what lies in [zero_from, zero_to) is given as zeros.
template <class Sink>
void feed_masked(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::uint64_t from, std::uint64_t zero_from,
                 std::uint64_t zero_to, Sink&& sink)
{
    static constexpr std::array<std::uint8_t, 4096> k_zeros{};
    const std::uint64_t end = offset + bytes.size();
    std::uint64_t pos = offset;
    while (pos < end) {
        if (pos < from) {
            pos = std::min(end, from);
        } else if (pos < zero_from) {
            const std::uint64_t to = std::min(end, zero_from);
            sink(bytes.subspan(pos - offset, to - pos));
            pos = to;
        } else if (pos < zero_to) {
            const std::uint64_t n = std::min({end, zero_to, pos + k_zeros.size()}) - pos;
            sink(std::span<const std::uint8_t>(k_zeros).first(n));
            pos += n;
        } else {
            sink(bytes.subspan(pos - offset));
            pos = end;
        }
    }
}

} // namespace

legacy_digest::legacy_digest()
{
    md5_init(&ctx_);
}

int legacy_digest::update(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset != next_)
        failed_ = true;
    if (failed_)
        return -1;
    next_ += bytes.size();
    firmware_signed_digest_update(ctx_, offset, bytes);
    return 0;
}

int legacy_digest::final(md5_digest& out)
{
    if (failed_)
        return -1;
    md5_final(out.data(), &ctx_);
    return 0;
}

void evp_md_ctx_deleter::operator()(evp_md_ctx_st* ctx) const
{
    EVP_MD_CTX_free(ctx);
}

strong_digest::strong_digest() : ctx_(EVP_MD_CTX_new())
{
    failed_ = !ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1 ||
              EVP_DigestUpdate(ctx_.get(), k_strong_digest_prefix.data(), k_strong_digest_prefix.size()) != 1;
}

int strong_digest::update(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset != next_)
        failed_ = true;
    if (failed_)
        return -1;
    next_ += bytes.size();
    feed_masked(offset, bytes, 0, k_strong_zero_from, k_strong_zero_to, [this](std::span<const std::uint8_t> piece) {
        if (!failed_ && EVP_DigestUpdate(ctx_.get(), piece.data(), piece.size()) != 1)
            failed_ = true;
    });
    return failed_ ? -1 : 0;
}

int strong_digest::final(sha256_digest& out)
{
    unsigned len = 0;
    if (failed_ || EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1 || len != out.size()) {
        failed_ = true;
        return -1;
    }
    return 0;
}

int strong_digest_of(std::span<const std::uint8_t> image, sha256_digest& out)
{
    strong_digest d;
    if (d.update(0, image) != 0)
        return -1;
    return d.final(out);
}
