// SPDX-License-Identifier: Apache-2.0
#include "crypto/base64.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

std::string decoded(const char* text, std::size_t capacity = 64, bool* ok = nullptr)
{
    std::array<std::uint8_t, 64> out{};
    std::size_t len = 99;
    const bool good = base64_decode(text, std::strlen(text), std::span(out).first(capacity), len);
    if (ok != nullptr)
        *ok = good;
    return good ? std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(len)) : "<false>";
}

TEST(base64_decode, rfc_4648_vectors_and_partial_groups)
{
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("Zg=="), "f");
    EXPECT_EQ(decoded("Zm8="), "fo");
    EXPECT_EQ(decoded("Zm9v"), "foo");
    EXPECT_EQ(decoded("Zm9vYg=="), "foob");
    EXPECT_EQ(decoded("Zm9vYmE="), "fooba");
    EXPECT_EQ(decoded("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decoded("+/+/"), "\xFB\xFF\xBF");
    // A trailing incomplete group is ignored.
    EXPECT_EQ(decoded("Zm9vYg"), "foo");
    EXPECT_EQ(decoded("Zm9"), "");
}

TEST(base64_decode, bad_characters_and_a_full_buffer_are_refused)
{
    for (const char* bad : {"Zm9*", "Z m9", "=m9v", "Z=9v", "Zm9\n", "Zm9\xC3"})
        EXPECT_EQ(decoded(bad), "<false>") << bad;

    bool ok = false;
    EXPECT_EQ(decoded("Zm9vYmFy", 6, &ok), "foobar");
    EXPECT_TRUE(ok);
    EXPECT_EQ(decoded("Zm9vYmFy", 5, &ok), "<false>");
    EXPECT_EQ(decoded("Zm9vYg==", 4, &ok), "foob");
    EXPECT_EQ(decoded("Zm9vYg==", 3, &ok), "<false>");
}

} // namespace
