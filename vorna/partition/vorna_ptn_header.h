// SPDX-License-Identifier: Apache-2.0
#pragma once
// The 16-byte big-endian header that frames partition contents:
//   +0 first_word  +4 magic AA 55 D9 8F  +8 content_len  +12 last_word  +16 content
#include <cstdint>
#include <functional>
#include <memory>
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

/// The most content bytes a frame of `framed_len` bytes can hold behind its header.
[[nodiscard]] std::uint64_t ptn_frame_room(std::uint64_t framed_len);

enum class ptn_frame_status {
    ok,
    short_frame, ///< fewer than 16 bytes: no header at all
    bad_magic,   ///< the magic is not 0xAA55D98F
    too_long,    ///< content_len reaches past the frame
    too_big,     ///< content_len is above the caller's limit
    unreadable,  ///< (ptn_frame_read) the bytes could not be read
    no_memory,   ///< (ptn_frame_read) no buffer for the content
};

/// A frame's header and where its content lies: content_len bytes from byte 16 on.
struct ptn_frame {
    ptn_frame_status status = ptn_frame_status::short_frame;
    ptn_header header{};                   ///< decoded unless short_frame
    std::span<const std::uint8_t> content; ///< ok and the whole frame given: the content
};

/// The framed-document rule, for every reader of framed contents: `head` holds
/// the first bytes of a frame of `framed_len` bytes (the header, or the whole
/// frame); the header must be there with its magic, and its content must lie
/// within the frame and be no longer than `max_content`. Prints nothing.
[[nodiscard]] ptn_frame ptn_frame_decode(std::span<const std::uint8_t> head, std::uint64_t framed_len,
                                         std::uint32_t max_content = UINT32_MAX);

/// ptn_frame_decode, printing the line-94 message for a wrong magic: how the
/// device's readers decode a frame.
[[nodiscard]] ptn_frame ptn_frame_parse(std::span<const std::uint8_t> head, std::uint64_t framed_len,
                                        std::uint32_t max_content = UINT32_MAX);

/// Prints the line-94 message when `frame` has a wrong magic; nothing otherwise.
void ptn_frame_report(const ptn_frame& frame);

/// Reads `out.size()` bytes at `offset` of the frame into `out`: the bytes read
/// (fewer at the end of a device), or -1.
using ptn_frame_reader = std::function<long long(std::uint64_t offset, std::span<std::uint8_t> out)>;

/// A framed document read whole: its frame and the content_len bytes behind the header.
struct ptn_document {
    ptn_frame frame;
    std::unique_ptr<std::uint8_t[]> bytes; ///< frame.header.content_len bytes, zero-filled past a short read
};

/// Reads the header of a frame of `framed_len` bytes through `read` (at most 16
/// bytes), decodes it with ptn_frame_parse and, when it holds, reads the content
/// into `out.bytes`. The frame's status; unreadable when a read failed,
/// no_memory when no buffer could be had. The caller reports it in its own words.
[[nodiscard]] ptn_frame_status ptn_frame_read(std::uint64_t framed_len, std::uint32_t max_content,
                                              const ptn_frame_reader& read, ptn_document& out);

/// ptn_frame_read printing nothing, not even for a wrong magic (ptn_frame_report
/// says that later, for a caller that judges before it speaks).
[[nodiscard]] ptn_frame_status ptn_frame_load(std::uint64_t framed_len, std::uint32_t max_content,
                                              const ptn_frame_reader& read, ptn_document& out);
