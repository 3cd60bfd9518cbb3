#pragma once
// Explicit big-endian encoding of the 32-bit words that every stored format uses.
#include <cstdint>
#include <span>

inline std::uint32_t load_be32(std::span<const std::uint8_t, 4> b)
{
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

inline void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v)
{
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
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
