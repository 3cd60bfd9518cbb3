// SPDX-License-Identifier: Apache-2.0
#pragma once
// SHA-1 (FIPS 180-4).
#include <array>
#include <cstdint>

struct sha1_ctx {
    std::array<std::uint32_t, 5> state;       ///< H0..H4
    std::array<std::uint8_t, 64> block;       ///< bytes not yet compressed
    std::int32_t fill;                        ///< bytes waiting in block, 0..63
    std::array<std::uint32_t, 2> byte_count;  ///< bytes fed so far: high word, low word
};

void sha1_init(sha1_ctx* ctx);
void sha1_update(sha1_ctx* ctx, const std::uint8_t* data, std::int32_t length);
void sha1_final(sha1_ctx* ctx, std::uint8_t digest[20]);

/// One-shot SHA-1 of `length` bytes into the 20-byte `digest`.
void sha1(const std::uint8_t* data, std::int32_t length, std::uint8_t digest[20]);
