// SPDX-License-Identifier: Apache-2.0
#include "tests/support/capture.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include "vorna/support/vorna_bytes.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

using test_support::printed;

/// The device's verification of `image`, handed over as a memfd: the verdict and
/// its printed lines. 0, -1, -2 or -4.
int verify_bytes(std::span<const std::uint8_t> image)
{
    firmware_file file;
    if (file.open_bytes(image, "(memory)") < 0)
        return -1;
    firmware_chunk_digests chunks;
    const firmware_verdict verdict = firmware_verify(file, chunks, firmware_trusted_keys());
    return firmware_verdict_report(verdict, file);
}

const std::string k_error = "[ERROR]vorna_firmware:";

/// An image of `size` random bytes with the given header words.
bytes make_image(std::size_t size, std::uint32_t magic, std::uint32_t total_len, std::uint32_t seed = 7)
{
    bytes image = test_support::random_bytes(size, seed);
    std::span<std::uint8_t> b(image);
    if (size >= 16) {
        store_be32_at(b, 4, magic);
        store_be32_at(b, 8, 4096);
        store_be32_at(b, 12, total_len);
    }
    return image;
}

/// Signs `image` in place with the development key, computed with OpenSSL alone:
/// SHA-1 PKCS#1 v1.5 over the MD5 of bytes 20.. with the field zeroed, stored little-endian.
void sign_with_dev_key(bytes& image)
{
    std::string key_path = test_support::dev_private_key();
    std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(key_path.c_str(), "r"), &std::fclose);
    ASSERT_NE(f, nullptr) << key_path;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr),
                                                            &EVP_PKEY_free);
    ASSERT_NE(key, nullptr);
    std::fill_n(image.begin() + 304, 128, 0);
    unsigned char md5[16];
    unsigned md5_len = 0;
    ASSERT_EQ(EVP_Digest(image.data() + 20, image.size() - 20, md5, &md5_len, EVP_md5(), nullptr), 1);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key.get()), 1);
    unsigned char sig[128];
    std::size_t sig_len = sizeof sig;
    ASSERT_EQ(EVP_DigestSign(ctx.get(), sig, &sig_len, md5, sizeof md5), 1);
    ASSERT_EQ(sig_len, 128u);
    std::reverse_copy(sig, sig + 128, image.begin() + 304);
}

TEST(FirmwareHeader, DecodesTheFourWordsAndKeepsTheRest)
{
    bytes image = test_support::random_bytes(5000, 1);
    std::copy_n(bytes{0xDE, 0xAD, 0xBE, 0xEF, 0xAA, 0x55, 0xD9, 0x8F, 0, 0, 0x10, 0, 0, 0, 0x13, 0x88}.begin(), 16,
                image.begin());
    auto h = firmware_header_decode(image);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->first_word, 0xDEADBEEFu);
    EXPECT_EQ(h->magic, 0xAA55D98Fu);
    EXPECT_EQ(h->ptn_table_offset, 4096u);
    EXPECT_EQ(h->total_len, 5000u);
    EXPECT_TRUE(std::equal(h->rest.begin(), h->rest.end(), image.begin() + 16));

    std::array<std::uint8_t, 4096> out{};
    firmware_header_encode(*h, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), image.begin()));
}

TEST(FirmwareHeader, AShortImageIsZeroFilledNotOverread)
{
    // Exactly-sized heap block, so that a read past it is caught by the sanitizers.
    auto image = std::make_unique<std::uint8_t[]>(100);
    bytes random = test_support::random_bytes(100, 2);
    std::copy(random.begin(), random.end(), image.get());
    auto h = firmware_header_decode({image.get(), 100});
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(std::equal(h->rest.begin(), h->rest.begin() + 84, random.begin() + 16));
    EXPECT_TRUE(std::all_of(h->rest.begin() + 84, h->rest.end(), [](std::uint8_t b) { return b == 0; }));

    auto tiny = firmware_header_decode(std::span<const std::uint8_t>(random).first(6));
    ASSERT_NE(tiny, nullptr);
    EXPECT_EQ(tiny->first_word, load_be32_at(random, 0));
    EXPECT_EQ(tiny->magic, (std::uint32_t{random[4]} << 24) | (std::uint32_t{random[5]} << 16));
    EXPECT_EQ(tiny->total_len, 0u);
}

TEST(FirmwarePtnTable, DecodesAll32EntriesWhateverTheyHold)
{
    bytes raw = test_support::random_bytes(k_firmware_ptn_table_len, 3);
    std::span<std::uint8_t> b(raw);
    store_be32_at(b, 2 * 52 + 36, 0); // third entry of size 0
    auto t = firmware_ptn_table_decode(raw);
    ASSERT_NE(t, nullptr);
    for (std::size_t i = 0; i < 32; ++i) {
        const auto& e = t->entries[i];
        std::size_t at = i * 52;
        EXPECT_EQ(std::memcmp(e.name.data(), raw.data() + at, 32), 0);
        EXPECT_EQ(e.base, load_be32_at(raw, at + 32));
        EXPECT_EQ(e.size, load_be32_at(raw, at + 36));
        EXPECT_EQ(e.content_offset, load_be32_at(raw, at + 40));
        EXPECT_EQ(e.content_size, load_be32_at(raw, at + 44));
        EXPECT_EQ(e.type, load_be32_at(raw, at + 48));
    }
    EXPECT_EQ(t->entries[2].size, 0u);

    std::array<std::uint8_t, k_firmware_ptn_table_len> out{};
    firmware_ptn_table_encode(*t, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), raw.begin()));
}

TEST(FirmwarePtnTable, ATableCutShortByTheFileIsRefused)
{
    auto raw = std::make_unique<std::uint8_t[]>(k_firmware_ptn_table_len - 1);
    std::string out = printed([&] {
        EXPECT_EQ(firmware_ptn_table_decode({raw.get(), k_firmware_ptn_table_len - 1}), nullptr);
        EXPECT_EQ(firmware_ptn_table_decode({}), nullptr);
    });
    EXPECT_EQ(out, k_error + "281 | firmware ptn_table needs 1664 bytes, only 1663 left in the file.\n" + k_error +
                       "281 | firmware ptn_table needs 1664 bytes, only 0 left in the file.\n");
}

TEST(FirmwarePtnName, ComparesExactlyWithinThe32Bytes)
{
    firmware_ptn_entry e{};
    std::string name = "support-list";
    std::copy(name.begin(), name.end(), e.name.begin());
    EXPECT_TRUE(firmware_ptn_name_is(e, "support-list"));
    EXPECT_FALSE(firmware_ptn_name_is(e, "Support-list"));
    EXPECT_FALSE(firmware_ptn_name_is(e, "support-lis"));
    EXPECT_FALSE(firmware_ptn_name_is(e, "support-list2"));
    // Bytes after the NUL are not part of the name.
    e.name[13] = 'x';
    EXPECT_TRUE(firmware_ptn_name_is(e, "support-list"));

    // A name that fills all 32 bytes without a NUL.
    auto full = std::make_unique<firmware_ptn_entry>();
    std::fill(full->name.begin(), full->name.end(), 'a');
    full->base = 0x61616161; // would extend the name if it were overread
    EXPECT_TRUE(firmware_ptn_name_is(*full, std::string(32, 'a').c_str()));
    EXPECT_FALSE(firmware_ptn_name_is(*full, std::string(33, 'a').c_str()));
    EXPECT_FALSE(firmware_ptn_name_is(*full, std::string(31, 'a').c_str()));
}

TEST(FirmwareHeaderCheck, RefusalsBeforeTheSignatureInTheirOrder)
{
    bytes wrong_length = make_image(6000, k_firmware_magic, 6001);
    sign_with_dev_key(wrong_length);
    bytes length_minus_one = wrong_length;
    store_be32_at(length_minus_one, 12, 0xFFFFFFFF);
    bytes too_short(431, 0);
    store_be32_at(too_short, 4, k_firmware_magic);
    store_be32_at(too_short, 12, 431);
    struct refusal {
        const char* what;
        bytes image;
        std::string said;
    };
    const refusal cases[] = {
        // A wrong magic is refused before the length is looked at.
        {"magic", make_image(6000, 0x8FD955AA, 1), "190 | Invalid magic number.\n"},
        {"length", wrong_length, "196 | firmware size un-match, firmware_size is 6000 header[total_len] is 6001.\n"},
        {"length -1", length_minus_one,
         "196 | firmware size un-match, firmware_size is 6000 header[total_len] is -1.\n"},
        {"too short", too_short, "199 | firmware too short, firmware_size is 431, at least 432 bytes needed.\n"},
    };
    for (const refusal& r : cases) {
        const std::string out = printed([&] { EXPECT_EQ(verify_bytes(r.image), -2) << r.what; });
        EXPECT_EQ(out, k_error + r.said) << r.what;
    }
}

TEST(FirmwareHeaderCheck, SignatureDecides)
{
    bytes image = make_image(9000, k_firmware_magic, 9000);
    sign_with_dev_key(image);
    const bytes signed_image = image;
    auto h = firmware_header_decode(image);
    std::string out = printed([&] { EXPECT_EQ(verify_bytes(image), 0); });
    EXPECT_EQ(out, "[INFO]vorna_firmware:207 | rsa check pass\n");
    EXPECT_EQ(image, signed_image);

    // Bytes 0..19 lie outside what is signed.
    image[0] ^= 0xFF;
    image[19] ^= 0x01;
    EXPECT_EQ(printed([&] { EXPECT_EQ(verify_bytes(image), 0); }).size(),
              std::string("[INFO]vorna_firmware:207 | rsa check pass\n").size());

    for (std::size_t at : {std::size_t{20}, std::size_t{303}, std::size_t{304}, std::size_t{431}, std::size_t{432},
                           std::size_t{8999}}) {
        bytes broken = signed_image;
        broken[at] ^= 0x04;
        out = printed([&] { EXPECT_EQ(verify_bytes(broken), -4) << at; });
        EXPECT_EQ(out, k_error + "204 | firmware RSA verify failed\n\n") << at;
    }
}

TEST(FirmwareCheckArgs, MissingPathsOrAZeroBaseAreRefusedBeforeAnythingIsOpened)
{
    // Image path first, device second, the base in capital hexadecimal.
    const char* image = "/nonexistent/fw.bin";
    const char* dev = "/nonexistent/dev";
    auto expected = [](const void* a, const void* b, const char* base) {
        char text[160];
        std::snprintf(text, sizeof text, "392 | Invalid pass-in args, (%p,%p,0x%s)\n", a, b, base);
        return k_error + text;
    };
    std::string out = printed([&] { EXPECT_EQ(firmware_check(image, dev, 0), -1); });
    EXPECT_EQ(out, expected(image, dev, "0"));
    out = printed([&] { EXPECT_EQ(firmware_upgrade(image, nullptr, 0xABCDEF), -1); });
    EXPECT_EQ(out, expected(image, nullptr, "ABCDEF"));
    out = printed([&] { EXPECT_EQ(firmware_check_and_upgrade(nullptr, dev, 0x10000, 0), -1); });
    EXPECT_EQ(out, expected(nullptr, dev, "10000"));
}

} // namespace
