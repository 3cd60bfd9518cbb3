// SPDX-License-Identifier: Apache-2.0
#include "crypto/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

TEST(VornaBytes, LoadsMostSignificantByteFirst)
{
    const std::array<std::uint8_t, 4> magic{0xAA, 0x55, 0xD9, 0x8F};
    EXPECT_EQ(load_be32(magic), 0xAA55D98Fu);

    // Bytes with the top bit set must not sign-extend into the neighbouring ones.
    const std::array<std::uint8_t, 4> high{0x80, 0xFF, 0x00, 0xFE};
    EXPECT_EQ(load_be32(high), 0x80FF00FEu);
    const std::array<std::uint8_t, 4> all{0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(load_be32(all), 0xFFFFFFFFu);
}

TEST(VornaBytes, StoresMostSignificantByteFirst)
{
    std::array<std::uint8_t, 4> out{};
    store_be32(out, 0x01020304u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0x01, 0x02, 0x03, 0x04}));
    store_be32(out, 0xFEDCBA98u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0xFE, 0xDC, 0xBA, 0x98}));
}

// Stored formats put words at any byte offset, and the target processor must read
// them there without relying on alignment; a store touches its four bytes only.
TEST(VornaBytes, WordsAtUnalignedOffsetsLeaveNeighboursAlone)
{
    const std::array<std::uint32_t, 3> words{0x00000000u, 0x7FFFFFFFu, 0xDEADBEEFu};
    for (std::size_t at = 0; at < 8; ++at) {
        for (std::uint32_t w : words) {
            std::vector<std::uint8_t> buf(16, 0xA5);
            store_be32_at(buf, at, w);
            EXPECT_EQ(load_be32_at(buf, at), w) << "offset " << at;
            for (std::size_t i = 0; i < buf.size(); ++i) {
                if (i < at || i >= at + 4) {
                    EXPECT_EQ(buf[i], 0xA5) << "byte " << i << " after a store at " << at;
                }
            }
            EXPECT_EQ(buf[at], static_cast<std::uint8_t>(w >> 24)) << "offset " << at;
            EXPECT_EQ(buf[at + 3], static_cast<std::uint8_t>(w)) << "offset " << at;
        }
    }
}

TEST(VornaBytes, LoadAtReadsTheLastWordOfABuffer)
{
    const std::vector<std::uint8_t> buf{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(load_be32_at(buf, 3), 0x33445566u);
    EXPECT_EQ(load_be32_at(buf, 0), 0x00112233u);
}

// MD5 and the RSA key blob store their words the other way round.
TEST(VornaBytes, LittleEndianWordsRoundTripLeastSignificantByteFirst)
{
    std::array<std::uint8_t, 6> buf{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    store_le32(buf.data() + 1, 0x80FF00FEu);
    EXPECT_EQ(buf, (std::array<std::uint8_t, 6>{0xA5, 0xFE, 0x00, 0xFF, 0x80, 0xA5}));
    EXPECT_EQ(load_le32(buf.data() + 1), 0x80FF00FEu);
    EXPECT_EQ(load_be32(buf.data() + 1), 0xFE00FF80u);
}

} // namespace
