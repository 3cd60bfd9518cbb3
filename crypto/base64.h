// SPDX-License-Identifier: Apache-2.0
#pragma once
// Decoding of the standard base64 alphabet (RFC 4648), as the key text uses it.
#include <cstddef>
#include <cstdint>
#include <span>

/// Decodes the whole groups of four characters in text[0..len) into `out` and sets
/// `out_len` to the bytes written; a trailing incomplete group is ignored. '='
/// ends a group early. False on a character that has no place there, or when
/// `out` cannot take every byte.
[[nodiscard]] bool base64_decode(const char* text, std::size_t len, std::span<std::uint8_t> out, std::size_t& out_len);
