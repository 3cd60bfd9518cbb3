// SPDX-License-Identifier: Apache-2.0
// The signature block codec, and the two digests and the two-thread hasher fed in
// any chunking, against OpenSSL computing the same on its own. The verdict is
// exercised end to end by the command-line tests.
#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

/// The strong digest computed the plain way: prefix, then the file with 304..4095 zeroed.
sha256_digest oracle_strong(bytes image)
{
    const auto zero_from = static_cast<std::ptrdiff_t>(std::min<std::size_t>(304, image.size()));
    const auto zero_to = static_cast<std::ptrdiff_t>(std::min<std::size_t>(4096, image.size()));
    std::fill(image.begin() + zero_from, image.begin() + zero_to, 0);
    bytes message(k_strong_digest_prefix.begin(), k_strong_digest_prefix.end());
    message.insert(message.end(), image.begin(), image.end());
    sha256_digest out{};
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(message.data(), message.size(), out.data(), &len, EVP_sha256(), nullptr), 1);
    return out;
}

md5_digest oracle_legacy(bytes image)
{
    std::fill_n(image.begin() + 304, 128, 0);
    md5_digest out{};
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(image.data() + 20, image.size() - 20, out.data(), &len, EVP_md5(), nullptr), 1);
    return out;
}

/// A block of `count` entries with distinct contents, encoded into a full area.
bytes encoded_block(std::uint8_t count)
{
    signature_block block{};
    block.count = count;
    for (std::uint8_t i = 0; i < count; ++i) {
        block.entries[i].algorithm = k_signature_alg_ed25519;
        block.entries[i].key_id.fill(static_cast<std::uint8_t>(0x10 + i));
        block.entries[i].signature.fill(static_cast<std::uint8_t>(0xA0 + i));
    }
    bytes area(k_signature_block_area, 0xEE);
    EXPECT_EQ(signature_block_encode(block, area), 0);
    return area;
}

TEST(SignatureBlock, RoundTripsOneToFourEntriesAndRefusesWhatItCannotHold)
{
    for (std::uint8_t count = 1; count <= 4; ++count) {
        bytes area = encoded_block(count);
        const std::size_t used = 8 + count * 76u;
        EXPECT_TRUE(std::all_of(area.begin() + static_cast<std::ptrdiff_t>(used), area.end(),
                                [](std::uint8_t b) { return b == 0; }));
        signature_block out{};
        ASSERT_EQ(signature_block_decode(area, out), signature_block_status::ok) << int{count};
        ASSERT_EQ(out.count, count);
        for (std::uint8_t i = 0; i < count; ++i) {
            EXPECT_EQ(out.entries[i].key_id[7], 0x10 + i);
            EXPECT_EQ(out.entries[i].signature[63], 0xA0 + i);
        }
    }
    signature_block none{};
    bytes area(k_signature_block_area);
    EXPECT_EQ(signature_block_encode(none, area), -1);
    signature_block one{};
    one.count = 1;
    one.entries[0].algorithm = k_signature_alg_ed25519;
    bytes small(8 + 75);
    EXPECT_EQ(signature_block_encode(one, small), -1);
}

TEST(SignatureBlock, RefusesEveryMalformedBlockWithoutReadingPastIt)
{
    struct malformed {
        const char* what;
        std::size_t at; ///< byte of the two-entry block to set, or none
        std::uint8_t value;
        std::size_t keep; ///< bytes of the area handed to the decoder
        signature_block_status expected;
    };
    constexpr std::size_t none = SIZE_MAX;
    const malformed cases[] = {
        {"all zeros", 0, 0, k_signature_block_area, signature_block_status::missing},
        {"shorter than the block head", none, 0, 7, signature_block_status::missing},
        {"version 2", 4, 2, k_signature_block_area, signature_block_status::bad_version},
        {"count 0", 5, 0, k_signature_block_area, signature_block_status::bad_count},
        {"count 5", 5, 5, k_signature_block_area, signature_block_status::bad_count},
        {"count 255", 5, 255, k_signature_block_area, signature_block_status::bad_count},
        {"reserved head byte", 7, 1, k_signature_block_area, signature_block_status::reserved_not_zero},
        {"second entry algorithm 2", 8 + 76, 2, k_signature_block_area, signature_block_status::unknown_algorithm},
        {"first entry algorithm 0", 8, 0, k_signature_block_area, signature_block_status::unknown_algorithm},
        {"length 65", 8 + 3, 65, k_signature_block_area, signature_block_status::bad_length},
        {"length 0xFF40", 8 + 2, 0xFF, k_signature_block_area, signature_block_status::bad_length},
        {"count 3 over two entries and zeros", 5, 3, k_signature_block_area, signature_block_status::unknown_algorithm},
        {"second entry cut in its signature", none, 0, 8 + 76 + 12 + 63, signature_block_status::truncated},
        {"second entry cut in its head", none, 0, 8 + 76 + 5, signature_block_status::truncated},
        {"a byte after the block", 8 + 2 * 76, 1, k_signature_block_area, signature_block_status::not_zero_after},
        {"last byte of the area", k_signature_block_area - 1, 1, k_signature_block_area,
         signature_block_status::not_zero_after},
    };
    for (const malformed& c : cases) {
        bytes area = encoded_block(2);
        if (c.what == std::string("all zeros"))
            std::fill(area.begin(), area.end(), 0);
        else if (c.at != none)
            area[c.at] = c.value;
        // The decoder gets a heap copy of exactly `keep` bytes, so that a read past
        // them is caught by the sanitizer builds.
        bytes cut(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(c.keep));
        signature_block out{};
        EXPECT_EQ(signature_block_decode(cut, out), c.expected) << c.what;
        EXPECT_EQ(out.count, 0) << c.what;
    }
}

TEST(StrongDigest, EqualsTheOracleHoweverTheImageIsChunked)
{
    for (std::size_t size : {std::size_t{20}, std::size_t{431}, std::size_t{4000}, std::size_t{70001}}) {
        const bytes image = test_support::random_bytes(size, static_cast<std::uint32_t>(size));
        const sha256_digest want_strong = oracle_strong(image);
        const md5_digest want_legacy = size > 432 ? oracle_legacy(image) : md5_digest{};
        for (std::size_t chunk : {std::size_t{1}, std::size_t{19}, std::size_t{304}, std::size_t{433},
                                  std::size_t{4096}, std::size_t{1} << 20}) {
            if (chunk == 1 && size > 5000)
                continue;
            strong_digest s;
            legacy_digest l;
            firmware_dual_hasher dual;
            for (std::size_t at = 0; at < size; at += chunk) {
                auto piece = std::span(image).subspan(at, std::min(chunk, size - at));
                ASSERT_EQ(s.update(at, piece), 0);
                ASSERT_EQ(l.update(at, piece), 0);
                ASSERT_EQ(dual.feed(at, piece), 0);
            }
            sha256_digest got{};
            md5_digest got_legacy{};
            ASSERT_EQ(s.final(got), 0);
            ASSERT_EQ(l.final(got_legacy), 0);
            const firmware_dual_digests d = dual.finish();
            ASSERT_EQ(d.strong_rc, 0);
            ASSERT_EQ(d.legacy_rc, 0);
            EXPECT_EQ(got, want_strong) << size << " by " << chunk;
            EXPECT_EQ(d.strong, want_strong) << size << " by " << chunk;
            if (size > 432) {
                EXPECT_EQ(got_legacy, want_legacy) << size << " by " << chunk;
                EXPECT_EQ(d.legacy, want_legacy) << size << " by " << chunk;
            }
        }
    }
}

TEST(StrongDigest, ChunksOutOfOrderFailForGood)
{
    const bytes image = test_support::random_bytes(8192, 3);
    strong_digest s;
    EXPECT_EQ(s.update(0, std::span(image).first(100)), 0);
    EXPECT_EQ(s.update(200, std::span(image).subspan(200, 100)), -1);
    EXPECT_EQ(s.update(100, std::span(image).subspan(100)), -1);
    sha256_digest out{};
    EXPECT_EQ(s.final(out), -1);

    firmware_dual_hasher dual;
    EXPECT_EQ(dual.feed(0, std::span(image).first(100)), 0);
    EXPECT_EQ(dual.feed(50, std::span(image).subspan(50)), -1);
    const firmware_dual_digests d = dual.finish();
    EXPECT_EQ(d.strong_rc, -1);
    EXPECT_EQ(d.legacy_rc, -1);
}

TEST(LegacyDigest, SkippedOnlyWhereAZeroFieldIsWaivedWhateverTheDigest)
{
    struct decision {
        const char* what;
        std::size_t set;  ///< byte of the header made non-zero, or none
        std::size_t keep; ///< bytes of the header handed over
        bool required;    ///< the build requires the legacy signature
        bool strong;      ///< its strong check runs
        bool needed;
    };
    constexpr std::size_t none = SIZE_MAX;
    const decision cases[] = {
        {"strong-only, field zero", none, 4096, false, true, false},
        {"strong-only, first byte of the field set", 304, 4096, false, true, true},
        {"strong-only, last byte of the field set", 431, 4096, false, true, true},
        {"strong-only, header cut inside the field", none, 431, false, true, true},
        {"strong-only, header just holding the field", none, 432, false, true, false},
        {"legacy required, field zero", none, 4096, true, true, true},
        {"no strong check, field zero", none, 4096, false, false, true},
    };
    for (const decision& c : cases) {
        // Every byte around the field is set: only the field decides.
        bytes header(4096, 0x5A);
        std::fill_n(header.begin() + 304, 128, 0);
        if (c.set != none)
            header[c.set] = 1;
        const bytes cut(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(c.keep));
        EXPECT_EQ(firmware_legacy_digest_needed(cut, c.required, c.strong), c.needed) << c.what;
    }
}

TEST(LegacyDigest, AHasherWithoutItKeepsTheHeaderAndTheStrongDigest)
{
    const bytes image = test_support::random_bytes(3 * k_firmware_chunk_len + 77, 11);
    firmware_dual_hasher dual(true, nullptr, false);
    for (std::size_t at = 0; at < image.size(); at += k_firmware_chunk_len) {
        const auto piece = std::span(image).subspan(at, std::min(k_firmware_chunk_len, image.size() - at));
        dual.legacy_part().consume(at, piece);
        dual.strong_part().consume(at, piece);
    }
    EXPECT_TRUE(std::equal(dual.header_bytes().begin(), dual.header_bytes().end(), image.begin()));
    const firmware_dual_digests d = dual.finish();
    EXPECT_EQ(d.legacy_rc, -1);
    ASSERT_EQ(d.strong_rc, 0);
    EXPECT_EQ(d.strong, oracle_strong(image));
}

} // namespace
