// SPDX-License-Identifier: Apache-2.0
#include "crypto/rsa_key_blob.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

std::string base64(const bytes& b)
{
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(), static_cast<int>(b.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

/// A blob of `bits` bits whose modulus bytes, least significant first, are 1, 2, 3, ...
bytes blob(std::uint32_t bits, std::uint32_t exponent, std::size_t modulus_bytes)
{
    bytes b = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1'};
    for (std::uint32_t v : {bits, exponent}) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    for (std::size_t i = 0; i < modulus_bytes; ++i)
        b.push_back(static_cast<std::uint8_t>(i + 1));
    return b;
}

bool read(const std::string& text, rsa_public_key& key)
{
    return rsa_key_blob_read(text.data(), static_cast<unsigned>(text.size()), key);
}

TEST(rsa_key_blob_read, reads_the_modulus_least_significant_first_and_the_exponent)
{
    for (const std::string lead : {"", "+ "}) {
        rsa_public_key key;
        ASSERT_TRUE(read(lead + base64(blob(1024, 65537, 128)), key)) << lead;
        EXPECT_EQ(bignum_bit_length(key.n.get()), 1024);
        for (std::int32_t i = 0; i < 128; ++i)
            ASSERT_EQ(bignum_byte(key.n.get(), i), i + 1) << i;
        EXPECT_EQ(bignum_compare(key.e.get(), bignum_from_u32(65537).get()), 0);
    }
    // Bytes past the modulus are ignored; the bit length picks how many are read.
    rsa_public_key key;
    ASSERT_TRUE(read(base64(blob(64, 3, 12)), key));
    EXPECT_EQ(bignum_bit_length(key.n.get()), 60);
    EXPECT_EQ(bignum_byte(key.n.get(), 8), 0);
}

TEST(rsa_key_blob_read, refusals_leave_the_key_untouched)
{
    bytes wrong_magic = blob(1024, 65537, 128);
    wrong_magic[8] = 'D';
    const std::string cases[] = {
        "",
        "+ ",
        base64(wrong_magic),
        base64(blob(2056, 65537, 128)),                        // more bits than the arithmetic is sized for
        base64(blob(1024, 65537, 127)),                        // fewer modulus bytes than claimed
        base64(blob(1024, 65537, 128)) + std::string(57, 'A'), // 257 characters
    };
    for (const auto& text : cases) {
        rsa_public_key key;
        EXPECT_FALSE(read(text, key)) << text;
        EXPECT_FALSE(key.n);
        EXPECT_FALSE(key.e);
    }
    rsa_public_key key;
    EXPECT_FALSE(rsa_key_blob_read(nullptr, 0, key));
}

} // namespace
