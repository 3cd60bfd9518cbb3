// SPDX-License-Identifier: Apache-2.0
#pragma once
// Zero-filled heap records and buffers that report an exhausted heap as null
// instead of throwing, so that each caller can print its own allocation message.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

/// A new zero-filled record, or null when the heap is exhausted.
template <class T> std::unique_ptr<T> make_record()
{
    return std::unique_ptr<T>(new (std::nothrow) T{});
}

/// A new zero-filled byte buffer of `size` bytes, or null when it cannot be had.
inline std::unique_ptr<std::uint8_t[]> make_buffer(std::size_t size)
{
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]());
}
