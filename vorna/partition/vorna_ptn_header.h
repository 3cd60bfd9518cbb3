// SPDX-License-Identifier: Apache-2.0
#pragma once
// The 16-byte big-endian header that frames partition contents:
//   +0 first_word  +4 magic AA 55 D9 8F  +8 content_len  +12 last_word  +16 content
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

constexpr std::uint32_t k_ptn_header_magic = 0xAA55D98F;
constexpr std::uint32_t k_ptn_header_len = 16;

struct ptn_header {
    std::uint32_t first_word;
    std::uint32_t magic;
    std::uint32_t content_len;
    std::uint32_t last_word;
};

/// Decodes the header at the start of `bytes`. Null (silently) when fewer than 16
/// bytes are given; null after the line-94 message when the magic is wrong.
/// content_len is not compared with what follows: callers check it.
[[nodiscard]] std::unique_ptr<ptn_header> ptn_header_parse(std::span<const std::uint8_t> bytes);

/// Decodes the four words of 16 header bytes as they stand, magic unchecked.
[[nodiscard]] ptn_header ptn_header_decode(std::span<const std::uint8_t, 16> bytes);

/// Encodes `header` into 16 bytes.
void ptn_header_encode(const ptn_header& header, std::span<std::uint8_t, 16> out);

/// True when the header's content_len fits in a frame of `framed_len` bytes, the
/// 16 header bytes included.
[[nodiscard]] bool ptn_header_content_fits(const ptn_header& header, std::uint64_t framed_len);

/// The content_len bytes behind the header at the start of `framed`; nothing when
/// they do not fit in it.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> ptn_header_content(const ptn_header& header,
                                                                              std::span<const std::uint8_t> framed);
