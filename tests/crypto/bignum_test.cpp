// SPDX-License-Identifier: Apache-2.0
#include "crypto/bignum.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct bn_free {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_free>;
struct ctx_free {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

bn_ptr bn_from_digits(const std::vector<std::uint16_t>& msf)
{
    std::vector<std::uint8_t> b;
    for (std::uint16_t d : msf) {
        b.push_back(static_cast<std::uint8_t>(d >> 8));
        b.push_back(static_cast<std::uint8_t>(d));
    }
    return bn_ptr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

/// The same value as an OpenSSL number, read through bignum_byte.
bn_ptr to_bn(const std::uint16_t* x)
{
    std::vector<std::uint8_t> b;
    for (std::int32_t i = 2 * x[0] - 1; i >= 0; --i)
        b.push_back(bignum_byte(x, i));
    return bn_ptr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

bignum_ptr from_bn(const BIGNUM* v)
{
    std::vector<std::uint8_t> b(static_cast<std::size_t>(BN_num_bytes(v)));
    BN_bn2bin(v, b.data());
    return bignum_from_bytes(b.data(), static_cast<std::int32_t>(b.size()));
}

std::string hex_of(const BIGNUM* v)
{
    char* h = BN_bn2hex(v);
    std::string s(h);
    OPENSSL_free(h);
    return s;
}

/// Random digits, most significant first; the top one is `top` unless that is -1.
std::vector<std::uint16_t> random_digits(std::mt19937& gen, int n, int top = -1)
{
    std::vector<std::uint16_t> d(static_cast<std::size_t>(n));
    for (auto& x : d)
        x = static_cast<std::uint16_t>(gen());
    if (top >= 0)
        d[0] = static_cast<std::uint16_t>(top);
    return d;
}

class mod_exp_oracle {
public:
    /// Checks bignum_mod_exp(base, exponent, modulus) against BN_mod_exp, and that the
    /// result is trimmed and no longer than the modulus.
    void check(const std::vector<std::uint16_t>& base, const std::vector<std::uint16_t>& exponent,
               const std::vector<std::uint16_t>& modulus)
    {
        const bn_ptr b = bn_from_digits(base), e = bn_from_digits(exponent), m = bn_from_digits(modulus);
        const bn_ptr want(BN_new());
        ASSERT_EQ(BN_mod_exp(want.get(), b.get(), e.get(), m.get(), ctx_.get()), 1);

        const bignum_ptr got = bignum_mod_exp(from_bn(b.get()).get(), from_bn(e.get()).get(), from_bn(m.get()).get());
        ASSERT_TRUE(got);
        const std::uint16_t len = got.get()[0];
        EXPECT_EQ(BN_cmp(to_bn(got.get()).get(), want.get()), 0)
            << hex_of(b.get()) << " ^ " << hex_of(e.get()) << " mod " << hex_of(m.get()) << "\n  want "
            << hex_of(want.get()) << "\n  got  " << hex_of(to_bn(got.get()).get());
        EXPECT_TRUE(len == 1 || got.get()[len] != 0) << "not trimmed";
        EXPECT_LE(len, static_cast<std::uint16_t>((BN_num_bits(m.get()) + 15) / 16));
    }

private:
    std::unique_ptr<BN_CTX, ctx_free> ctx_{BN_CTX_new()};
};

TEST(bignum, construction_and_reading)
{
    const std::uint8_t one[] = {0x00, 0x00, 0x01};
    const bignum_ptr a = bignum_from_bytes(one, 3);
    EXPECT_EQ(a.get()[0], 1);
    EXPECT_EQ(a.get()[1], 1);
    EXPECT_EQ(bignum_from_bytes(one, 0).get()[0], 0);

    const std::uint8_t odd[] = {0xAB, 0xCD, 0xEF};
    const bignum_ptr b = bignum_from_bytes(odd, 3);
    EXPECT_EQ(b.get()[0], 2);
    EXPECT_EQ(b.get()[1], 0xCDEF);
    EXPECT_EQ(b.get()[2], 0x00AB);

    const bignum_ptr zero = bignum_from_u32(0);
    EXPECT_EQ(zero.get()[0], 1);
    EXPECT_EQ(zero.get()[1], 0);
    const bignum_ptr big = bignum_from_u32(65536);
    EXPECT_EQ(big.get()[0], 2);
    EXPECT_EQ(big.get()[1], 0);
    EXPECT_EQ(big.get()[2], 1);

    EXPECT_EQ(bignum_bit_length(zero.get()), 0);
    EXPECT_EQ(bignum_bit_length(bignum_from_u32(65537).get()), 17);
    EXPECT_EQ(bignum_bit_length(bignum_from_u32(0xFFFFFFFF).get()), 32);

    const bignum_ptr c = bignum_from_u32(0x1234);
    EXPECT_EQ(bignum_byte(c.get(), 0), 0x34);
    EXPECT_EQ(bignum_byte(c.get(), 1), 0x12);
    EXPECT_EQ(bignum_byte(c.get(), 2), 0);
    EXPECT_EQ(bignum_byte(c.get(), -1), 0);

    const bignum_ptr n = bignum_new(5);
    EXPECT_EQ(n.get()[0], 5);
    EXPECT_EQ(bignum_bit_length(n.get()), 0);
    EXPECT_FALSE(bignum_new(-1));
    EXPECT_FALSE(bignum_new(65536));
    EXPECT_FALSE(bignum_from_bytes(one, -1));

    // The little-endian reader gives the value of the reversed string.
    const std::uint8_t le[] = {0xEF, 0xCD, 0xAB, 0x00, 0x00};
    for (std::int32_t len : {0, 1, 2, 3, 5}) {
        std::vector<std::uint8_t> be(le, le + len);
        std::reverse(be.begin(), be.end());
        const bignum_ptr from_le = bignum_from_le_bytes(le, len);
        const bignum_ptr from_be = bignum_from_bytes(be.data(), len);
        ASSERT_EQ(from_le.get()[0], from_be.get()[0]) << len;
        for (std::int32_t i = 1; i <= from_be.get()[0]; ++i)
            EXPECT_EQ(from_le.get()[i], from_be.get()[i]) << len;
    }
    EXPECT_FALSE(bignum_from_le_bytes(le, -1));
}

TEST(bignum, compare)
{
    const std::uint8_t x[] = {0x00, 0x00, 0x01, 0x00};
    const bignum_ptr wide = bignum_new(3); // zero, untrimmed
    EXPECT_EQ(bignum_compare(wide.get(), bignum_from_u32(0).get()), 0);
    EXPECT_EQ(bignum_compare(bignum_from_bytes(x, 4).get(), bignum_from_u32(256).get()), 0);
    EXPECT_EQ(bignum_compare(bignum_from_u32(65536).get(), bignum_from_u32(65535).get()), 1);
    EXPECT_EQ(bignum_compare(bignum_from_u32(0x10000).get(), bignum_from_u32(0x20000).get()), -1);
    EXPECT_EQ(bignum_compare(bignum_from_bytes(x, 0).get(), bignum_from_u32(1).get()), -1);
}

TEST(bignum, mod_exp_rejects_inputs_outside_its_preconditions)
{
    const bignum_ptr two = bignum_from_u32(2);
    const bignum_ptr big_base = bignum_from_u32(0x10000);
    const std::uint8_t untrimmed_bytes[] = {0x00, 0x00, 0x00, 0x05};
    bignum_ptr untrimmed = bignum_from_bytes(untrimmed_bytes, 4);
    untrimmed.get()[0] = 2; // five, with a zero top digit

    EXPECT_FALSE(bignum_mod_exp(two.get(), two.get(), bignum_from_u32(0).get()));
    EXPECT_FALSE(bignum_mod_exp(two.get(), two.get(), bignum_from_u32(1).get()));
    EXPECT_FALSE(bignum_mod_exp(two.get(), two.get(), bignum_from_bytes(untrimmed_bytes, 0).get()));
    EXPECT_FALSE(bignum_mod_exp(two.get(), two.get(), untrimmed.get()));
    EXPECT_FALSE(bignum_mod_exp(big_base.get(), two.get(), bignum_from_u32(7).get()));

    const bignum_ptr r = bignum_mod_exp(two.get(), two.get(), bignum_from_u32(3).get());
    ASSERT_TRUE(r);
    EXPECT_EQ(r.get()[1], 1);
}

TEST(bignum, mod_exp_edge_cases)
{
    std::mt19937 gen(1);
    mod_exp_oracle oracle;
    for (int n : {1, 2, 5, 64}) {
        const auto m = random_digits(gen, n, 0x8001);
        oracle.check(random_digits(gen, n), {0}, m); // exponent 0 gives 1
        oracle.check({0}, {3}, m);
        oracle.check(random_digits(gen, n, 0xFFFF), {0x0001, 0x0001}, m); // base above modulus
        oracle.check(m, {0x0001, 0x0001}, m);                            // base equal to modulus
    }
    oracle.check({0}, {0}, {2}); // 0^0 taken as 1
    oracle.check({5}, {0}, {2});
    oracle.check({0xFFFF}, {0xFFFF, 0xFFFF}, {0xFFFF});

    // exponent 0 with every normalisation shift: the final correction must bring
    // 1 back down from modulus * 2^s.
    for (int s = 0; s < 16; ++s)
        oracle.check({7, 7}, {0}, random_digits(gen, 2, (0x8000 >> s) | 1));
}

TEST(bignum, mod_exp_matches_openssl_for_1_to_128_digits)
{
    std::mt19937 gen(4);
    mod_exp_oracle oracle;
    for (int n = 1; n <= 128; ++n) {
        // Every top-digit size, so that each normalisation shift is taken.
        const int top = static_cast<int>((gen() & 0xFFFF) >> (n % 16)) | 1;
        const auto m = random_digits(gen, n, top);
        const int base_len = 1 + static_cast<int>(gen() % static_cast<unsigned>(n));
        oracle.check(random_digits(gen, base_len), {0x0001, 0x0001}, m);
        oracle.check(random_digits(gen, n), random_digits(gen, 1 + static_cast<int>(gen() % 3)), m);
        if (n % 16 == 0)
            oracle.check(random_digits(gen, n), random_digits(gen, n), m);
    }
}

TEST(bignum, mod_exp_with_a_1000_bit_modulus)
{
    std::mt19937 gen(1000);
    mod_exp_oracle oracle;
    for (int round = 0; round < 20; ++round) {
        // 63 digits, the top one holding 1000 - 62 * 16 = 8 bits.
        const auto m = random_digits(gen, 63, 0x80 | static_cast<int>(gen() & 0x7F));
        oracle.check(random_digits(gen, 63), {0x0001, 0x0001}, m);
        oracle.check(random_digits(gen, 63, 0xFFFF), {3}, m);
    }
}

TEST(bignum, rem_digits_matches_openssl_on_awkward_digits)
{
    // Digits near 0, 2^15 and 2^16 make the quotient estimate too large often
    // enough to reach both of its corrections and the adding back of the divisor.
    static const std::uint16_t awkward[] = {0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
    std::mt19937 gen(16);
    const std::unique_ptr<BN_CTX, ctx_free> ctx(BN_CTX_new());
    for (int round = 0; round < 20000; ++round) {
        const int n = 1 + static_cast<int>(gen() % 6);
        const int m = n + static_cast<int>(gen() % 6);
        std::vector<std::uint16_t> u(static_cast<std::size_t>(m)), v(static_cast<std::size_t>(n));
        for (auto& d : u)
            d = round % 2 ? awkward[gen() % 6] : static_cast<std::uint16_t>(gen());
        for (auto& d : v)
            d = round % 2 ? awkward[gen() % 6] : static_cast<std::uint16_t>(gen());
        v[0] |= 0x8000;

        const bn_ptr want(BN_new());
        ASSERT_EQ(BN_mod(want.get(), bn_from_digits(u).get(), bn_from_digits(v).get(), ctx.get()), 1);
        bignum_rem_digits(u.data(), m, v.data(), n);
        ASSERT_EQ(BN_cmp(bn_from_digits(u).get(), want.get()), 0) << "round " << round;
        for (int i = 0; i < m - n; ++i)
            ASSERT_EQ(u[static_cast<std::size_t>(i)], 0) << "round " << round;
    }
}

TEST(bignum, mul_digits_matches_openssl)
{
    std::mt19937 gen(8);
    const std::unique_ptr<BN_CTX, ctx_free> ctx(BN_CTX_new());
    for (int n : {1, 2, 3, 17, 64, 128}) {
        for (int top : {0xFFFF, -1}) {
            auto a = random_digits(gen, n, top);
            auto b = random_digits(gen, n, top);
            if (top == 0xFFFF) {
                a.assign(a.size(), 0xFFFF); // the largest carries
                b.assign(b.size(), 0xFFFF);
            }
            std::vector<std::uint16_t> out(2 * static_cast<std::size_t>(n), 0x5555);
            bignum_mul_digits(a.data(), b.data(), out.data(), n);
            const bn_ptr want(BN_new());
            ASSERT_EQ(BN_mul(want.get(), bn_from_digits(a).get(), bn_from_digits(b).get(), ctx.get()), 1);
            EXPECT_EQ(BN_cmp(bn_from_digits(out).get(), want.get()), 0) << n << " digits";
        }
    }
}

} // namespace
