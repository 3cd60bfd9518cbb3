// SPDX-License-Identifier: Apache-2.0
#include "vorna/partition/vorna_ptn_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <span>
#include <utility>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

/// Parses `in` and returns the record (or null) with everything printed meanwhile.
std::unique_ptr<ptn_header> parse_capturing(const bytes& in, std::string& out)
{
    testing::internal::CaptureStdout();
    auto header = ptn_header_parse(in);
    out = testing::internal::GetCapturedStdout();
    return header;
}

const bytes k_example = {0x00, 0x00, 0x00, 0x01, 0xAA, 0x55, 0xD9, 0x8F,
                         0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02};

TEST(PtnHeaderParse, DecodesTheFourBigEndianWords)
{
    std::string out;
    auto header = parse_capturing(k_example, out);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->first_word, 1u);
    EXPECT_EQ(header->magic, 0xAA55D98Fu);
    EXPECT_EQ(header->content_len, 256u);
    EXPECT_EQ(header->last_word, 2u);
    EXPECT_EQ(out, "");
}

TEST(PtnHeaderParse, NeedsSixteenBytesAndSaysNothingWhenShort)
{
    std::string out;
    bytes fifteen(k_example.begin(), k_example.begin() + 15);
    EXPECT_EQ(parse_capturing(fifteen, out), nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(parse_capturing({}, out), nullptr);
    EXPECT_EQ(out, "");
}

TEST(PtnHeaderParse, AcceptsAContentLengthBeyondTheBytesGiven)
{
    // Only the magic is tested; the callers hold the length against their partition.
    bytes in = k_example;
    in[8] = 0xFF;
    std::string out;
    auto header = parse_capturing(in, out);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->content_len, 0xFF000100u);
    EXPECT_EQ(out, "");
}

TEST(PtnHeaderParse, RejectsALittleEndianMagic)
{
    bytes in = k_example;
    in[4] = 0x8F;
    in[5] = 0xD9;
    in[6] = 0x55;
    in[7] = 0xAA;
    std::string out;
    EXPECT_EQ(parse_capturing(in, out), nullptr);
    EXPECT_EQ(out, "[ERROR]vorna_ptn_header:94 | Magic unmatch.magic [0x8FD955AA -- 0xAA55D98F]\n");
}

TEST(PtnHeaderParse, RejectsErasedFlash)
{
    std::string out;
    EXPECT_EQ(parse_capturing(bytes(4096, 0xFF), out), nullptr);
    EXPECT_EQ(out, "[ERROR]vorna_ptn_header:94 | Magic unmatch.magic [0xFFFFFFFF -- 0xAA55D98F]\n");
}

TEST(PtnHeaderParse, RejectsEveryMagicOneBitOff)
{
    for (int bit = 0; bit < 32; ++bit) {
        bytes in = k_example;
        in[4 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        std::string out;
        EXPECT_EQ(parse_capturing(in, out), nullptr) << "bit " << bit;
        EXPECT_NE(out.find(":94 | Magic unmatch"), std::string::npos) << "bit " << bit;
    }
}

TEST(PtnHeaderCodec, EncodesTheWorkedExample)
{
    std::array<std::uint8_t, 16> out{};
    ptn_header_encode(ptn_header{1, k_ptn_header_magic, 256, 2}, out);
    EXPECT_EQ(bytes(out.begin(), out.end()), k_example);
}

TEST(PtnHeaderCodec, DecodeTakesAnyMagicAndRoundTrips)
{
    auto in = test_support::random_bytes(16, 7);
    std::array<std::uint8_t, 16> raw{};
    std::copy(in.begin(), in.end(), raw.begin());
    ptn_header header = ptn_header_decode(raw);
    EXPECT_EQ(header.magic, (std::uint32_t{in[4]} << 24) | (std::uint32_t{in[5]} << 16) |
                                (std::uint32_t{in[6]} << 8) | in[7]);
    std::array<std::uint8_t, 16> again{};
    ptn_header_encode(header, again);
    EXPECT_EQ(again, raw);
}

} // namespace

TEST(PtnHeaderCodec, TheContentMustFitTheFrame)
{
    ptn_header h{0, k_ptn_header_magic, 100, 0};
    std::array<std::uint8_t, 16> raw{};
    auto fits = [&](std::uint64_t framed_len) {
        ptn_header_encode(h, raw);
        return ptn_frame_decode(raw, framed_len).status == ptn_frame_status::ok;
    };
    EXPECT_TRUE(fits(116));
    EXPECT_FALSE(fits(115));
    EXPECT_FALSE(fits(15));     // no room even for the header
    h.content_len = 0xFFFFFFFF; // no wrap-around of 16 + content_len
    EXPECT_FALSE(fits(0xFFFFFFFF));
    EXPECT_TRUE(fits(0x10000000FULL));

    std::vector<std::uint8_t> framed(20, 7);
    h.content_len = 4;
    ptn_header_encode(h, std::span(framed).first<16>());
    ptn_frame frame = ptn_frame_decode(framed, framed.size());
    ASSERT_EQ(frame.status, ptn_frame_status::ok);
    EXPECT_EQ(frame.content.data(), framed.data() + 16);
    EXPECT_EQ(frame.content.size(), 4u);
    h.content_len = 5;
    ptn_header_encode(h, std::span(framed).first<16>());
    EXPECT_EQ(ptn_frame_decode(framed, framed.size()).status, ptn_frame_status::too_long);
}

TEST(PtnFrame, EveryReaderGetsOneVerdictAndOnlyTheDeviceFlavourPrints)
{
    bytes framed = k_example;
    framed.resize(16 + 256, 0x5A);
    // The header alone of a large enough frame: ok, the content is left to the reader.
    ptn_frame frame = ptn_frame_decode(std::span(framed).first(16), 272);
    EXPECT_EQ(frame.status, ptn_frame_status::ok);
    EXPECT_TRUE(frame.content.empty());
    EXPECT_EQ(ptn_frame_decode(framed, 271).status, ptn_frame_status::too_long);
    EXPECT_EQ(ptn_frame_decode(framed, 272, 255).status, ptn_frame_status::too_big);
    EXPECT_EQ(ptn_frame_decode(framed, 272, 256).status, ptn_frame_status::ok);
    EXPECT_EQ(ptn_frame_decode(std::span(framed).first(15), 272).status, ptn_frame_status::short_frame);
    EXPECT_EQ(ptn_frame_decode(framed, 15).status, ptn_frame_status::short_frame);

    framed[7] ^= 1;
    testing::internal::CaptureStdout();
    frame = ptn_frame_decode(framed, 272);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(frame.status, ptn_frame_status::bad_magic);
    EXPECT_EQ(frame.header.magic, 0xAA55D98Eu);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ptn_frame_parse(framed, 272).status, ptn_frame_status::bad_magic);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ERROR]vorna_ptn_header:94 | Magic unmatch.magic [0xAA55D98E -- 0xAA55D98F]\n");

    EXPECT_EQ(ptn_frame_room(15), 0u);
    EXPECT_EQ(ptn_frame_room(16), 0u);
    EXPECT_EQ(ptn_frame_room(0x10000), 0x10000u - 16);
}

TEST(PtnFrame, ReadTakesTheHeaderThenOnlyWhatItAnnounces)
{
    bytes device = k_example;
    device[10] = 0;
    device[11] = 10; // content_len 10
    auto content = test_support::random_bytes(10, 3);
    device.insert(device.end(), content.begin(), content.end());
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;
    std::size_t deliver = SIZE_MAX; // a short device: bytes past it are not there
    int fail_at = -1;
    const ptn_frame_reader read = [&](std::uint64_t at, std::span<std::uint8_t> out) -> long long {
        if (static_cast<int>(reads.size()) == fail_at)
            return -1;
        reads.emplace_back(at, out.size());
        const std::size_t n = std::min({out.size(), device.size() - at, deliver - at});
        std::copy_n(device.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
        return static_cast<long long>(n);
    };

    ptn_document doc;
    ASSERT_EQ(ptn_frame_read(1u << 20, 64, read, doc), ptn_frame_status::ok);
    EXPECT_EQ(reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 16}, {16, 10}}));
    EXPECT_EQ(bytes(doc.frame.content.begin(), doc.frame.content.end()), content);

    // What a short device does not deliver reads as zeros.
    reads.clear();
    deliver = 20;
    ASSERT_EQ(ptn_frame_read(1u << 20, 64, read, doc), ptn_frame_status::ok);
    EXPECT_EQ(bytes(doc.bytes.get(), doc.bytes.get() + 10),
              (bytes{content[0], content[1], content[2], content[3], 0, 0, 0, 0, 0, 0}));
    deliver = SIZE_MAX;

    // Never more than the frame, and nothing behind a header that does not hold.
    reads.clear();
    EXPECT_EQ(ptn_frame_read(8, 64, read, doc), ptn_frame_status::short_frame);
    EXPECT_EQ(reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, 8}}));
    reads.clear();
    EXPECT_EQ(ptn_frame_read(25, 64, read, doc), ptn_frame_status::too_long);
    EXPECT_EQ(ptn_frame_read(26, 9, read, doc), ptn_frame_status::too_big);
    EXPECT_EQ(reads.size(), 2u);

    for (int at : {0, 1}) {
        reads.clear();
        fail_at = at;
        EXPECT_EQ(ptn_frame_read(26, 64, read, doc), ptn_frame_status::unreadable) << at;
    }
}
