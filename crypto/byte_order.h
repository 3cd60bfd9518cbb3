// SPDX-License-Identifier: Apache-2.0
#pragma once
// Explicit encoding of 32-bit words in both byte orders: the stored formats and
// SHA-1 are big-endian, MD5 and the RSA key blob little-endian.
#include <cstddef>
#include <cstdint>
#include <span>

/// The pointer forms read or write exactly the four bytes at `p`.
inline std::uint32_t load_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void store_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// The compilers merge the four byte loads into one load at any alignment.
inline std::uint32_t load_le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

inline void store_le32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t load_be32(std::span<const std::uint8_t, 4> b)
{
    return load_be32(b.data());
}

inline void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v)
{
    store_be32(b.data(), v);
}

/// Big-endian word at byte offset `at` of `bytes`; the caller has checked at + 4 <= size.
inline std::uint32_t load_be32_at(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return load_be32(bytes.subspan(at).first<4>());
}

inline void store_be32_at(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t v)
{
    store_be32(bytes.subspan(at).first<4>(), v);
}
