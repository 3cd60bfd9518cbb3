// SPDX-License-Identifier: Apache-2.0
#include "crypto/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "crypto/md5_compress.h"
#include "tests/support/test_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

using test_support::hex;

/// Feeds `data` in pieces that end at each of `cuts` (ascending offsets).
std::string md5_pieces(const std::uint8_t* data, std::size_t size, const std::vector<std::size_t>& cuts)
{
    md5_ctx ctx;
    md5_init(&ctx);
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        md5_update(&ctx, data + at, static_cast<std::uint32_t>(cut - at));
        at = cut;
    }
    md5_update(&ctx, data + at, static_cast<std::uint32_t>(size - at));
    std::uint8_t d[16];
    md5_final(d, &ctx);
    return hex(d, 16);
}

std::string md5_hex(const bytes& m)
{
    return md5_pieces(m.data(), m.size(), {});
}

std::string openssl_md5(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data, size, d, &n, EVP_md5(), nullptr), 1);
    return hex(d, n);
}

bytes text(const std::string& s)
{
    return {s.begin(), s.end()};
}

TEST(md5, rfc1321_suite)
{
    EXPECT_EQ(md5_hex(text("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex(text("a")), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex(text("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex(text("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex(text("abcdefghijklmnopqrstuvwxyz")), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex(text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string eighty;
    for (int i = 0; i < 8; ++i)
        eighty += "1234567890";
    EXPECT_EQ(md5_hex(text(eighty)), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(md5, padding_boundaries_match_openssl)
{
    // 55 bytes leave room for the length in the same block; 56..63 push it into
    // another; 64 and 65 start a new block before padding.
    for (std::size_t n : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u}) {
        const bytes m = test_support::random_bytes(n, static_cast<std::uint32_t>(n));
        EXPECT_EQ(md5_hex(m), openssl_md5(m.data(), m.size())) << n << " bytes";
    }
}

TEST(md5, any_split_gives_the_same_digest)
{
    const bytes m = test_support::random_bytes(300, 11);
    const std::string whole = md5_hex(m);

    std::vector<std::size_t> every_byte;
    for (std::size_t i = 1; i < m.size(); ++i)
        every_byte.push_back(i);
    EXPECT_EQ(md5_pieces(m.data(), m.size(), every_byte), whole);

    for (std::size_t a = 0; a <= m.size(); ++a)
        ASSERT_EQ(md5_pieces(m.data(), m.size(), {a}), whole) << "split at " << a;
    for (std::size_t a = 0; a <= 130; ++a) {
        for (std::size_t b = a; b <= 200; b += 7)
            ASSERT_EQ(md5_pieces(m.data(), m.size(), {a, b}), whole) << "split at " << a << ", " << b;
    }
}

TEST(md5, random_lengths_and_splits_match_openssl)
{
    std::mt19937 gen(2024);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = round < 300 ? static_cast<std::size_t>(round) : gen() % 20000;
        const bytes m = test_support::random_bytes(n, gen());
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; n > 0;) {
            at += gen() % (round % 2 == 0 ? 70 : 1000);
            if (at >= n)
                break;
            cuts.push_back(at);
        }
        ASSERT_EQ(md5_pieces(m.data(), n, cuts), openssl_md5(m.data(), n)) << n << " bytes";
    }
}

/// The digest of `size` bytes at `data` through `compress` alone: the padding is
/// laid out here, so each build of the block function meets the oracle itself.
template <typename compress_fn>
std::string md5_by_blocks(compress_fn compress, const std::uint8_t* data, std::size_t size, std::size_t offset)
{
    const std::size_t padded = (size + 8) / 64 * 64 + 64;
    bytes buf(offset + padded, 0);
    std::copy(data, data + size, buf.begin() + static_cast<std::ptrdiff_t>(offset));
    buf[offset + size] = 0x80;
    const std::uint64_t bits = std::uint64_t{size} * 8;
    for (std::size_t i = 0; i < 8; ++i)
        buf[offset + padded - 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    md5_state state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    compress(state, buf.data() + offset, padded / 64);
    std::uint8_t d[16];
    for (std::size_t i = 0; i < 16; ++i)
        d[i] = static_cast<std::uint8_t>(state[i / 4] >> (8 * (i % 4)));
    return hex(d, 16);
}

TEST(md5, every_build_of_the_block_function_matches_openssl)
{
    // Lengths that end just before, at and after the room for the length, odd block
    // counts, and data at every alignment within a word.
    for (std::size_t n : {0u, 1u, 55u, 56u, 63u, 64u, 119u, 191u, 1000u, 4099u}) {
        const bytes m = test_support::random_bytes(n, static_cast<std::uint32_t>(n) + 7);
        const std::string want = openssl_md5(m.data(), n);
        for (std::size_t offset = 0; offset < 4; ++offset) {
            EXPECT_EQ(md5_by_blocks(md5_compress, m.data(), n, offset), want) << n << " bytes at +" << offset;
#if defined(__x86_64__)
            EXPECT_EQ(md5_by_blocks(md5_compress_plain, m.data(), n, offset), want) << n << " bytes at +" << offset;
            if (md5_cpu_has_and_not()) {
                EXPECT_EQ(md5_by_blocks(md5_compress_and_not, m.data(), n, offset), want)
                    << n << " bytes at +" << offset;
            }
#endif
        }
    }
}

TEST(md5, message_of_more_than_two_to_the_32_bits)
{
    // Just over 512 MiB: the bit count outgrows its low word, both within one call
    // and across two.
    const std::size_t n = (std::size_t{513} << 20) + 7;
    void* p = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    const auto* zeros = static_cast<const std::uint8_t*>(p);
    const std::string want = openssl_md5(zeros, n);
    EXPECT_EQ(md5_pieces(zeros, n, {}), want);
    EXPECT_EQ(md5_pieces(zeros, n, {(std::size_t{1} << 29) - 3}), want);
    ::munmap(p, n);
}

} // namespace
