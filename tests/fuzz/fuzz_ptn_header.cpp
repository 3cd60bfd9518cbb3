// SPDX-License-Identifier: Apache-2.0
// The content header in front of partition contents, from any bytes: it decodes
// exactly when 16 bytes with the magic are there, into the four big-endian words,
// and encodes back to the same 16 bytes; as a frame, its content lies inside it.
#include "vorna/support/vorna_bytes.h"
#include "vorna/partition/vorna_ptn_header.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <array>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> in(data, size);
    auto header = ptn_header_parse(in);
    const bool expected = size >= k_ptn_header_len && load_be32_at(in, 4) == k_ptn_header_magic;
    FUZZ_REQUIRE((header != nullptr) == expected);
    if (!header)
        return 0;
    FUZZ_REQUIRE(header->first_word == load_be32_at(in, 0));
    FUZZ_REQUIRE(header->magic == k_ptn_header_magic);
    FUZZ_REQUIRE(header->content_len == load_be32_at(in, 8));
    FUZZ_REQUIRE(header->last_word == load_be32_at(in, 12));
    std::array<std::uint8_t, 16> out{};
    ptn_header_encode(*header, out);
    FUZZ_REQUIRE(std::equal(out.begin(), out.end(), in.begin()));

    // The same bytes as a whole frame: the content is a view inside it, exactly
    // when it fits, and never past a limit.
    const std::uint32_t limit = load_be32_at(in, 0);
    const ptn_frame frame = ptn_frame_decode(in, size, limit);
    const bool fits = header->content_len <= size - k_ptn_header_len;
    FUZZ_REQUIRE(frame.header.content_len == header->content_len);
    FUZZ_REQUIRE((frame.status == ptn_frame_status::too_long) == !fits);
    FUZZ_REQUIRE((frame.status == ptn_frame_status::too_big) == (fits && header->content_len > limit));
    if (frame.status != ptn_frame_status::ok)
        return 0;
    FUZZ_REQUIRE(frame.content.data() == data + k_ptn_header_len && frame.content.size() == header->content_len);
    return 0;
}
