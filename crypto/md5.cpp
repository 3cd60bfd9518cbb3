// SPDX-License-Identifier: Apache-2.0
#include "crypto/md5.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "crypto/byte_order.h"
#include "crypto/md5_compress.h"

namespace {

// md5_final feeds its padding from here: 0x80 and then zeros.
constexpr std::array<std::uint8_t, 64> k_padding = {0x80};

// The four round functions are written so that the terms not involving b, the
// value just computed, can start before b is known: that shortens the chain of
// dependent instructions that bounds MD5's speed. The sum of those terms goes
// through `settled` because compilers otherwise regroup the additions, some (clang)
// so that the round function's value comes first and every step waits one add more.
inline std::uint32_t settled(std::uint32_t v)
{
    asm("" : "+r"(v));
    return v;
}

template <int s> inline void step_f(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t xt)
{
    a = settled(a + xt) + (d ^ (b & (c ^ d)));
    a = std::rotl(a, s) + b;
}

template <int s> inline void step_g(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t xt)
{
    // (b & d) and (c & ~d) never share a set bit, so they may be added separately.
    a = settled(a + xt + (c & ~d)) + (b & d);
    a = std::rotl(a, s) + b;
}

template <int s> inline void step_h(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t xt)
{
    a = settled(a + xt) + (b ^ (c ^ d));
    a = std::rotl(a, s) + b;
}

// c ^ (b | ~d) is also ~(c ^ (d & ~b)), and a + ~v is a - 1 - v: where one
// instruction computes d & ~b, that form needs no separate not.
template <int s, bool and_not>
inline void step_i(std::bool_constant<and_not>, std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                   std::uint32_t xt)
{
    if constexpr (and_not)
        a = settled(a + xt - 1) - (c ^ (d & ~b));
    else
        a = settled(a + xt) + (c ^ (b | ~d));
    a = std::rotl(a, s) + b;
}

/// Compresses `blocks` consecutive 64-byte blocks starting at `p` into `state`;
/// `and_not` chooses the form of the last round (see step_i).
template <bool and_not>
[[gnu::always_inline]] inline void md5_blocks(md5_state& state, const std::uint8_t* p, std::size_t blocks)
{
    constexpr std::bool_constant<and_not> form{};
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];

    for (; blocks != 0; --blocks, p += 64) {
        const std::uint32_t x0 = load_le32(p), x1 = load_le32(p + 4), x2 = load_le32(p + 8),
                            x3 = load_le32(p + 12), x4 = load_le32(p + 16), x5 = load_le32(p + 20),
                            x6 = load_le32(p + 24), x7 = load_le32(p + 28), x8 = load_le32(p + 32),
                            x9 = load_le32(p + 36), x10 = load_le32(p + 40), x11 = load_le32(p + 44),
                            x12 = load_le32(p + 48), x13 = load_le32(p + 52), x14 = load_le32(p + 56),
                            x15 = load_le32(p + 60);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        step_f<7>(a, b, c, d, x0 + 0xd76aa478);
        step_f<12>(d, a, b, c, x1 + 0xe8c7b756);
        step_f<17>(c, d, a, b, x2 + 0x242070db);
        step_f<22>(b, c, d, a, x3 + 0xc1bdceee);
        step_f<7>(a, b, c, d, x4 + 0xf57c0faf);
        step_f<12>(d, a, b, c, x5 + 0x4787c62a);
        step_f<17>(c, d, a, b, x6 + 0xa8304613);
        step_f<22>(b, c, d, a, x7 + 0xfd469501);
        step_f<7>(a, b, c, d, x8 + 0x698098d8);
        step_f<12>(d, a, b, c, x9 + 0x8b44f7af);
        step_f<17>(c, d, a, b, x10 + 0xffff5bb1);
        step_f<22>(b, c, d, a, x11 + 0x895cd7be);
        step_f<7>(a, b, c, d, x12 + 0x6b901122);
        step_f<12>(d, a, b, c, x13 + 0xfd987193);
        step_f<17>(c, d, a, b, x14 + 0xa679438e);
        step_f<22>(b, c, d, a, x15 + 0x49b40821);

        step_g<5>(a, b, c, d, x1 + 0xf61e2562);
        step_g<9>(d, a, b, c, x6 + 0xc040b340);
        step_g<14>(c, d, a, b, x11 + 0x265e5a51);
        step_g<20>(b, c, d, a, x0 + 0xe9b6c7aa);
        step_g<5>(a, b, c, d, x5 + 0xd62f105d);
        step_g<9>(d, a, b, c, x10 + 0x02441453);
        step_g<14>(c, d, a, b, x15 + 0xd8a1e681);
        step_g<20>(b, c, d, a, x4 + 0xe7d3fbc8);
        step_g<5>(a, b, c, d, x9 + 0x21e1cde6);
        step_g<9>(d, a, b, c, x14 + 0xc33707d6);
        step_g<14>(c, d, a, b, x3 + 0xf4d50d87);
        step_g<20>(b, c, d, a, x8 + 0x455a14ed);
        step_g<5>(a, b, c, d, x13 + 0xa9e3e905);
        step_g<9>(d, a, b, c, x2 + 0xfcefa3f8);
        step_g<14>(c, d, a, b, x7 + 0x676f02d9);
        step_g<20>(b, c, d, a, x12 + 0x8d2a4c8a);

        step_h<4>(a, b, c, d, x5 + 0xfffa3942);
        step_h<11>(d, a, b, c, x8 + 0x8771f681);
        step_h<16>(c, d, a, b, x11 + 0x6d9d6122);
        step_h<23>(b, c, d, a, x14 + 0xfde5380c);
        step_h<4>(a, b, c, d, x1 + 0xa4beea44);
        step_h<11>(d, a, b, c, x4 + 0x4bdecfa9);
        step_h<16>(c, d, a, b, x7 + 0xf6bb4b60);
        step_h<23>(b, c, d, a, x10 + 0xbebfbc70);
        step_h<4>(a, b, c, d, x13 + 0x289b7ec6);
        step_h<11>(d, a, b, c, x0 + 0xeaa127fa);
        step_h<16>(c, d, a, b, x3 + 0xd4ef3085);
        step_h<23>(b, c, d, a, x6 + 0x04881d05);
        step_h<4>(a, b, c, d, x9 + 0xd9d4d039);
        step_h<11>(d, a, b, c, x12 + 0xe6db99e5);
        step_h<16>(c, d, a, b, x15 + 0x1fa27cf8);
        step_h<23>(b, c, d, a, x2 + 0xc4ac5665);

        step_i<6>(form, a, b, c, d, x0 + 0xf4292244);
        step_i<10>(form, d, a, b, c, x7 + 0x432aff97);
        step_i<15>(form, c, d, a, b, x14 + 0xab9423a7);
        step_i<21>(form, b, c, d, a, x5 + 0xfc93a039);
        step_i<6>(form, a, b, c, d, x12 + 0x655b59c3);
        step_i<10>(form, d, a, b, c, x3 + 0x8f0ccc92);
        step_i<15>(form, c, d, a, b, x10 + 0xffeff47d);
        step_i<21>(form, b, c, d, a, x1 + 0x85845dd1);
        step_i<6>(form, a, b, c, d, x8 + 0x6fa87e4f);
        step_i<10>(form, d, a, b, c, x15 + 0xfe2ce6e0);
        step_i<15>(form, c, d, a, b, x6 + 0xa3014314);
        step_i<21>(form, b, c, d, a, x13 + 0x4e0811a1);
        step_i<6>(form, a, b, c, d, x4 + 0xf7537e82);
        step_i<10>(form, d, a, b, c, x11 + 0xbd3af235);
        step_i<15>(form, c, d, a, b, x2 + 0x2ad7d2bb);
        step_i<21>(form, b, c, d, a, x9 + 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }

    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

} // namespace

#if defined(__x86_64__)
// x86-64 has an and-not instruction only with BMI1, which the baseline lacks; the
// second and last rounds use it (c & ~d, d & ~b). Both builds are made and the CPU
// chooses.
void md5_compress_plain(md5_state& state, const std::uint8_t* p, std::size_t blocks)
{
    md5_blocks<false>(state, p, blocks);
}

[[gnu::target("bmi")]] void md5_compress_and_not(md5_state& state, const std::uint8_t* p, std::size_t blocks)
{
    md5_blocks<true>(state, p, blocks);
}

bool md5_cpu_has_and_not()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi") != 0;
    }();
    return has;
}

void md5_compress(md5_state& state, const std::uint8_t* p, std::size_t blocks)
{
    if (md5_cpu_has_and_not())
        md5_compress_and_not(state, p, blocks);
    else
        md5_compress_plain(state, p, blocks);
}
#else
void md5_compress(md5_state& state, const std::uint8_t* p, std::size_t blocks)
{
    md5_blocks<false>(state, p, blocks);
}
#endif

void md5_init(md5_ctx* ctx)
{
    ctx->bit_count = {0, 0};
    ctx->state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
}

void md5_update(md5_ctx* ctx, const std::uint8_t* data, std::uint32_t length)
{
    const std::uint32_t fill = (ctx->bit_count[0] >> 3) & 63;

    const std::uint32_t low = ctx->bit_count[0] + (length << 3);
    if (low < ctx->bit_count[0])
        ++ctx->bit_count[1];
    ctx->bit_count[0] = low;
    ctx->bit_count[1] += length >> 29;

    // Also keeps a null `data` with length 0 away from memcpy.
    if (length == 0)
        return;

    if (fill != 0) {
        const std::uint32_t take = std::min<std::uint32_t>(64 - fill, length);
        std::memcpy(ctx->block.data() + fill, data, take);
        data += take;
        length -= take;
        if (fill + take < 64)
            return;
        md5_compress(ctx->state, ctx->block.data(), 1);
    }

    // Whole blocks are compressed where they lie: an image is hashed in place.
    const std::uint32_t blocks = length / 64;
    if (blocks != 0) {
        md5_compress(ctx->state, data, blocks);
        data += std::size_t{blocks} * 64;
        length -= blocks * 64;
    }

    if (length != 0)
        std::memcpy(ctx->block.data(), data, length);
}

void md5_final(std::uint8_t digest[16], md5_ctx* ctx)
{
    const std::array<std::uint32_t, 2> bits = ctx->bit_count;

    const std::uint32_t fill = (bits[0] >> 3) & 63;
    md5_update(ctx, k_padding.data(), fill < 56 ? 56 - fill : 120 - fill);

    store_le32(ctx->block.data() + 56, bits[0]);
    store_le32(ctx->block.data() + 60, bits[1]);
    md5_compress(ctx->state, ctx->block.data(), 1);

    for (std::size_t i = 0; i < 4; ++i)
        store_le32(ctx->digest.data() + 4 * i, ctx->state[i]);
    std::memcpy(digest, ctx->digest.data(), ctx->digest.size());
}
