// SPDX-License-Identifier: Apache-2.0
#pragma once
// MD5's block function, for md5_update and md5_final. On x86-64 it is built twice,
// with and without the BMI1 and-not instruction; the tests run both builds.
#include <array>
#include <cstddef>
#include <cstdint>

using md5_state = std::array<std::uint32_t, 4>;

/// Compresses `blocks` consecutive 64-byte blocks starting at `p` into `state`.
void md5_compress(md5_state& state, const std::uint8_t* p, std::size_t blocks);

#if defined(__x86_64__)
void md5_compress_plain(md5_state& state, const std::uint8_t* p, std::size_t blocks);
/// Only where md5_cpu_has_and_not() is true.
void md5_compress_and_not(md5_state& state, const std::uint8_t* p, std::size_t blocks);
bool md5_cpu_has_and_not();
#endif
