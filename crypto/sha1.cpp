// SPDX-License-Identifier: Apache-2.0
#include "crypto/sha1.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "crypto/byte_order.h"

namespace {

/// Compresses `blocks` consecutive 64-byte blocks starting at `p` into `state`.
void sha1_compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* p, std::size_t blocks)
{
    for (; blocks != 0; --blocks, p += 64) {
        // The message schedule only ever looks 16 words back, so a ring of 16 suffices.
        std::array<std::uint32_t, 16> w;
        for (std::size_t t = 0; t < 16; ++t)
            w[t] = load_be32(p + 4 * t);

        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        for (std::size_t t = 0; t < 80; ++t) {
            if (t >= 16)
                w[t & 15] = std::rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);

            std::uint32_t f;
            std::uint32_t k;
            if (t < 20) {
                f = d ^ (b & (c ^ d));
                k = 0x5a827999;
            } else if (t < 40) {
                f = b ^ c ^ d;
                k = 0x6ed9eba1;
            } else if (t < 60) {
                f = (b & c) | (d & (b | c));
                k = 0x8f1bbcdc;
            } else {
                f = b ^ c ^ d;
                k = 0xca62c1d6;
            }

            const std::uint32_t next = std::rotl(a, 5) + f + e + k + w[t & 15];
            e = d;
            d = c;
            c = std::rotl(b, 30);
            b = a;
            a = next;
        }

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

} // namespace

void sha1_init(sha1_ctx* ctx)
{
    ctx->state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    ctx->fill = 0;
    ctx->byte_count = {0, 0};
}

void sha1_update(sha1_ctx* ctx, const std::uint8_t* data, std::int32_t length)
{
    if (length <= 0)
        return;
    auto left = static_cast<std::uint32_t>(length);

    ctx->byte_count[1] += left;
    if (ctx->byte_count[1] < left)
        ++ctx->byte_count[0];

    auto fill = static_cast<std::uint32_t>(ctx->fill);
    if (fill != 0) {
        const std::uint32_t take = std::min<std::uint32_t>(64 - fill, left);
        std::memcpy(ctx->block.data() + fill, data, take);
        data += take;
        left -= take;
        fill += take;
        if (fill < 64) {
            ctx->fill = static_cast<std::int32_t>(fill);
            return;
        }
        sha1_compress(ctx->state, ctx->block.data(), 1);
    }

    const std::uint32_t blocks = left / 64;
    sha1_compress(ctx->state, data, blocks);
    data += std::size_t{blocks} * 64;
    left -= blocks * 64;

    if (left != 0)
        std::memcpy(ctx->block.data(), data, left);
    ctx->fill = static_cast<std::int32_t>(left);
}

void sha1_final(sha1_ctx* ctx, std::uint8_t digest[20])
{
    const std::uint32_t high = ctx->byte_count[0];
    const std::uint32_t low = ctx->byte_count[1];

    constexpr std::array<std::uint8_t, 64> padding = {0x80};
    const std::int32_t fill = ctx->fill;
    sha1_update(ctx, padding.data(), fill < 56 ? 56 - fill : 120 - fill);

    // The length in bits, as a 64-bit big-endian number, completes the last block.
    std::array<std::uint8_t, 8> bits;
    store_be32(bits.data(), (high << 3) | (low >> 29));
    store_be32(bits.data() + 4, low << 3);
    sha1_update(ctx, bits.data(), static_cast<std::int32_t>(bits.size()));

    for (std::size_t i = 0; i < 5; ++i)
        store_be32(digest + 4 * i, ctx->state[i]);
}

void sha1(const std::uint8_t* data, std::int32_t length, std::uint8_t digest[20])
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, data, length);
    sha1_final(&ctx, digest);
}
