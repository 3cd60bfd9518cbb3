// SPDX-License-Identifier: Apache-2.0
#include "crypto/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using bytes = std::vector<std::uint8_t>;

using test_support::hex;

std::string sha1_hex(const bytes& m)
{
    std::uint8_t d[20];
    sha1(m.data(), static_cast<std::int32_t>(m.size()), d);
    return hex(d, 20);
}

/// Feeds `m` through sha1_update in pieces that end at each of `cuts`.
std::string sha1_pieces(const bytes& m, const std::vector<std::size_t>& cuts)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        sha1_update(&ctx, m.data() + at, static_cast<std::int32_t>(cut - at));
        at = cut;
    }
    sha1_update(&ctx, m.data() + at, static_cast<std::int32_t>(m.size() - at));
    std::uint8_t d[20];
    sha1_final(&ctx, d);
    return hex(d, 20);
}

std::string openssl_sha1(const bytes& m)
{
    std::uint8_t d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(m.data(), m.size(), d, &n, EVP_sha1(), nullptr), 1);
    return hex(d, n);
}

bytes text(const std::string& s)
{
    return {s.begin(), s.end()};
}

TEST(sha1, fips180_examples)
{
    EXPECT_EQ(sha1_hex(text("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // 56 bytes: the length no longer fits behind the 0x80 in the same block.
    EXPECT_EQ(sha1_hex(text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(bytes(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1_hex(text("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(sha1, padding_boundaries_match_openssl)
{
    for (std::size_t n : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u}) {
        const bytes m = test_support::random_bytes(n, static_cast<std::uint32_t>(n) + 100);
        EXPECT_EQ(sha1_hex(m), openssl_sha1(m)) << n << " bytes";
    }
}

TEST(sha1, any_split_gives_the_same_digest)
{
    const bytes m = test_support::random_bytes(200, 5);
    const std::string whole = sha1_hex(m);
    std::vector<std::size_t> every_byte;
    for (std::size_t i = 1; i < m.size(); ++i)
        every_byte.push_back(i);
    EXPECT_EQ(sha1_pieces(m, every_byte), whole);
    for (std::size_t a = 0; a <= m.size(); ++a)
        ASSERT_EQ(sha1_pieces(m, {a}), whole) << "split at " << a;
}

TEST(sha1, random_lengths_and_splits_match_openssl)
{
    std::mt19937 gen(99);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = round < 200 ? static_cast<std::size_t>(round) : gen() % 10000;
        const bytes m = test_support::random_bytes(n, gen());
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; n > 0;) {
            at += gen() % 150;
            if (at >= n)
                break;
            cuts.push_back(at);
        }
        ASSERT_EQ(sha1_pieces(m, cuts), openssl_sha1(m)) << n << " bytes";
    }
}

} // namespace
