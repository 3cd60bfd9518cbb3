// SPDX-License-Identifier: Apache-2.0
#pragma once
// MD5 (RFC 1321) over a caller-owned context: md5_init, md5_update any number of
// times, md5_final once. No heap, no global state.
#include <array>
#include <cstdint>

struct md5_ctx {
    std::array<std::uint32_t, 2> bit_count; ///< message bits fed so far, low word first
    std::array<std::uint32_t, 4> state;     ///< A, B, C, D
    std::array<std::uint8_t, 64> block;     ///< bytes not yet compressed
    std::array<std::uint8_t, 16> digest;    ///< written by md5_final
};

void md5_init(md5_ctx* ctx);
void md5_update(md5_ctx* ctx, const std::uint8_t* data, std::uint32_t length);
void md5_final(std::uint8_t digest[16], md5_ctx* ctx);
