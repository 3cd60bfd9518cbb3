// SPDX-License-Identifier: Apache-2.0
#include "crypto/rsa_pkcs1.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/sha1.h"
#include "tests/support/test_support.h"
#include "vorna/support/vorna_common.h"

namespace {

using bytes = std::vector<std::uint8_t>;
namespace ts = test_support;

bytes from_hex(const char* h)
{
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    bytes out;
    for (std::size_t i = 0; h != nullptr && h[i] != '\0' && h[i + 1] != '\0'; i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(h[i]) * 16 + nibble(h[i + 1])));
    return out;
}

std::string base64(const bytes& b)
{
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < b.size(); i += 3) {
        const std::uint32_t v =
            (std::uint32_t{b[i]} << 16) | (i + 1 < b.size() ? b[i + 1] << 8 : 0) | (i + 2 < b.size() ? b[i + 2] : 0);
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += i + 1 < b.size() ? a[(v >> 6) & 63] : '=';
        out += i + 2 < b.size() ? a[v & 63] : '=';
    }
    return out;
}

bytes reversed(bytes b)
{
    std::reverse(b.begin(), b.end());
    return b;
}

/// The key blob: header, "RSA1", bit length and exponent little-endian, modulus
/// least significant byte first.
bytes key_blob(const bytes& modulus_be, std::uint32_t exponent, std::uint32_t bits)
{
    bytes blob = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1'};
    for (std::uint32_t v : {bits, exponent}) {
        for (int i = 0; i < 4; ++i)
            blob.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    const bytes le = reversed(modulus_be);
    blob.insert(blob.end(), le.begin(), le.end());
    return blob;
}

int verify(const std::string& key, const bytes& msg, const bytes& sig)
{
    // An empty message is still a message: never hand over a null pointer for it.
    static const std::uint8_t none = 0;
    return rsa_verify_sha1(key.data(), static_cast<unsigned>(key.size()), msg.empty() ? &none : msg.data(),
                           static_cast<std::int32_t>(msg.size()), sig.empty() ? &none : sig.data(),
                           static_cast<unsigned>(sig.size()));
}

struct vector_case {
    bytes msg;
    bytes sig_le;
};

struct vector_group {
    std::string sha;
    bytes modulus_be;
    bytes private_exponent_be;
    std::uint32_t exponent = 0;
    std::string key_text;
    std::vector<vector_case> cases;
};

std::vector<vector_group> load_vectors(const std::string& name)
{
    const std::string text = ts::read_text(std::string(VORNA_TEST_DATA_DIR) + "/wycheproof/" + name);
    const cjson_ptr root(cJSON_Parse(text.c_str()));
    std::vector<vector_group> groups;
    if (!root)
        return groups;
    const cJSON* group_item = nullptr;
    cJSON_ArrayForEach(group_item, cJSON_GetObjectItem(root.get(), "testGroups"))
    {
        vector_group g;
        const cJSON* key = cJSON_GetObjectItem(group_item, "privateKey");
        g.sha = cJSON_GetStringValue(cJSON_GetObjectItem(group_item, "sha"));
        g.modulus_be = from_hex(cJSON_GetStringValue(cJSON_GetObjectItem(key, "modulus")));
        while (!g.modulus_be.empty() && g.modulus_be.front() == 0)
            g.modulus_be.erase(g.modulus_be.begin());
        g.private_exponent_be = from_hex(cJSON_GetStringValue(cJSON_GetObjectItem(key, "privateExponent")));
        for (std::uint8_t b : from_hex(cJSON_GetStringValue(cJSON_GetObjectItem(key, "publicExponent"))))
            g.exponent = (g.exponent << 8) | b;
        const auto bits = static_cast<std::uint32_t>(g.modulus_be.size() * 8);
        g.key_text = base64(key_blob(g.modulus_be, g.exponent, bits));
        const cJSON* test = nullptr;
        cJSON_ArrayForEach(test, cJSON_GetObjectItem(group_item, "tests"))
        {
            g.cases.push_back({from_hex(cJSON_GetStringValue(cJSON_GetObjectItem(test, "msg"))),
                               reversed(from_hex(cJSON_GetStringValue(cJSON_GetObjectItem(test, "sig"))))});
        }
        groups.push_back(std::move(g));
    }
    return groups;
}

const vector_group& sha1_group_1024()
{
    static const std::vector<vector_group> groups = load_vectors("rsa_pkcs1_1024_sig_gen_test.json");
    for (const auto& g : groups) {
        if (g.sha == "SHA-1")
            return g;
    }
    static const vector_group none;
    return none;
}

TEST(rsa_verify_sha1, accepts_the_sha1_vectors_and_rejects_other_hashes)
{
    const auto groups = load_vectors("rsa_pkcs1_1024_sig_gen_test.json");
    ASSERT_GE(groups.size(), 2u);
    int accepted = 0;
    int rejected = 0;
    for (const auto& g : groups) {
        ASSERT_EQ(g.key_text.size(), 200u);
        ASSERT_FALSE(g.cases.empty());
        const int want = g.sha == "SHA-1" ? 1 : 0;
        for (const auto& c : g.cases) {
            EXPECT_EQ(verify(g.key_text, c.msg, c.sig_le), want) << g.sha << " msg of " << c.msg.size() << " bytes";
            EXPECT_EQ(verify("+ " + g.key_text, c.msg, c.sig_le), want) << g.sha << " with \"+ \"";
            (want == 1 ? accepted : rejected) += 1;
        }
    }
    EXPECT_EQ(accepted, 8);
    EXPECT_GT(rejected, 0);
}

TEST(rsa_verify_sha1, one_flipped_bit_is_rejected)
{
    const auto& g = sha1_group_1024();
    ASSERT_FALSE(g.cases.empty());
    const auto& c = g.cases.back();
    ASSERT_FALSE(c.msg.empty());
    ASSERT_EQ(verify(g.key_text, c.msg, c.sig_le), 1);

    for (std::size_t bit = 0; bit < c.sig_le.size() * 8; ++bit) {
        bytes sig = c.sig_le;
        sig[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_EQ(verify(g.key_text, c.msg, sig), 0) << "signature bit " << bit;
    }
    for (std::size_t bit = 0; bit < c.msg.size() * 8; ++bit) {
        bytes msg = c.msg;
        msg[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_EQ(verify(g.key_text, msg, c.sig_le), 0) << "message bit " << bit;
    }
    for (std::size_t bit = 0; bit < g.modulus_be.size() * 8; ++bit) {
        bytes n = g.modulus_be;
        n[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_EQ(verify(base64(key_blob(n, g.exponent, 1024)), c.msg, c.sig_le), 0) << "modulus bit " << bit;
    }
}

/// The PKCS#1 v1.5 SHA-1 encoding of `msg` for a k-byte modulus, most significant first.
bytes encode_sha1(const bytes& msg, std::size_t k)
{
    bytes em(k, 0xFF);
    em[0] = 0x00;
    em[1] = 0x01;
    const bytes info = {0x00, 0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    std::copy(info.begin(), info.end(), em.end() - 36);
    sha1(msg.data(), static_cast<std::int32_t>(msg.size()), em.data() + k - 20);
    return em;
}

/// Raw RSA with the group's private exponent: the little-endian signature whose
/// public operation gives `em`.
bytes raw_sign(const vector_group& g, const bytes& em)
{
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* x = BN_bin2bn(em.data(), static_cast<int>(em.size()), nullptr);
    BIGNUM* d = BN_bin2bn(g.private_exponent_be.data(), static_cast<int>(g.private_exponent_be.size()), nullptr);
    BIGNUM* n = BN_bin2bn(g.modulus_be.data(), static_cast<int>(g.modulus_be.size()), nullptr);
    BIGNUM* s = BN_new();
    bytes out(g.modulus_be.size());
    const bool ok = BN_mod_exp(s, x, d, n, ctx) == 1 &&
                    BN_bn2binpad(s, out.data(), static_cast<int>(out.size())) == static_cast<int>(out.size());
    BN_free(s);
    BN_free(n);
    BN_free(d);
    BN_free(x);
    BN_CTX_free(ctx);
    EXPECT_TRUE(ok);
    return reversed(out);
}

TEST(rsa_verify_sha1, every_byte_of_the_encoding_is_checked)
{
    const auto& g = sha1_group_1024();
    ASSERT_FALSE(g.cases.empty());
    const bytes msg = {'i', 'm', 'a', 'g', 'e'};
    const bytes em = encode_sha1(msg, g.modulus_be.size());
    ASSERT_EQ(verify(g.key_text, msg, raw_sign(g, em)), 1);

    for (std::size_t at = 0; at < em.size(); ++at) {
        for (std::uint8_t flip : {0x01, 0x80}) {
            bytes bad = em;
            bad[at] ^= flip;
            ASSERT_EQ(verify(g.key_text, msg, raw_sign(g, bad)), 0) << "byte " << at << " ^ " << int{flip};
        }
    }
}

TEST(rsa_verify_sha1, signature_plus_modulus_is_rejected)
{
    const auto& g = sha1_group_1024();
    ASSERT_FALSE(g.cases.empty());
    const auto& c = g.cases.front();

    BIGNUM* s = BN_bin2bn(reversed(c.sig_le).data(), static_cast<int>(c.sig_le.size()), nullptr);
    BIGNUM* n = BN_bin2bn(g.modulus_be.data(), static_cast<int>(g.modulus_be.size()), nullptr);
    ASSERT_EQ(BN_add(s, s, n), 1);
    bytes shifted(129);
    ASSERT_EQ(BN_bn2binpad(s, shifted.data(), 129), 129);
    BN_free(s);
    BN_free(n);

    bytes padded = c.sig_le;
    padded.push_back(0);
    EXPECT_EQ(verify(g.key_text, c.msg, padded), 1);
    EXPECT_EQ(verify(g.key_text, c.msg, reversed(shifted)), 0);
}

TEST(rsa_verify_sha1, length_limits_of_key_text_and_signature)
{
    const auto& g = sha1_group_1024();
    ASSERT_FALSE(g.cases.empty());
    const auto& c = g.cases.front();

    // Groups past the key blob decode to bytes that nothing reads.
    std::string key = g.key_text;
    while (key.size() < 256)
        key += "AAAA";
    EXPECT_EQ(verify(key, c.msg, c.sig_le), 1);
    EXPECT_EQ(verify(key + "A", c.msg, c.sig_le), 0);
    EXPECT_EQ(verify("+ " + key.substr(0, 254), c.msg, c.sig_le), 1);
    // Two characters after the last whole group are ignored, not read as a group.
    EXPECT_EQ(verify("+ " + g.key_text + "AA", c.msg, c.sig_le), 1);

    bytes sig = c.sig_le;
    sig.resize(256, 0); // high zero bytes keep the value
    EXPECT_EQ(verify(g.key_text, c.msg, sig), 1);
    sig.push_back(0);
    EXPECT_EQ(verify(g.key_text, c.msg, sig), 0);
}

TEST(rsa_verify_sha1, malformed_keys_and_inputs_are_rejected)
{
    const auto& g = sha1_group_1024();
    ASSERT_FALSE(g.cases.empty());
    const auto& c = g.cases.front();
    const bytes blob = key_blob(g.modulus_be, g.exponent, 1024);

    bytes no_magic = blob;
    no_magic[11] = '2';
    EXPECT_EQ(verify(base64(no_magic), c.msg, c.sig_le), 0);

    EXPECT_EQ(verify("", c.msg, c.sig_le), 0);
    EXPECT_EQ(verify("+ ", c.msg, c.sig_le), 0);
    EXPECT_EQ(verify("+ AB", c.msg, c.sig_le), 0);

    for (char bad : {'*', ' ', '\n', static_cast<char>(0xC3)}) {
        std::string key = g.key_text;
        key[100] = bad;
        EXPECT_EQ(verify(key, c.msg, c.sig_le), 0) << static_cast<int>(bad);
    }

    // The blob claims 128 modulus bytes but holds fewer.
    EXPECT_EQ(verify(g.key_text.substr(0, 192), c.msg, c.sig_le), 0);
    // A bit length the arithmetic is not sized for.
    bytes too_long = blob;
    too_long[13] = 0x08; // 2048 + 8 bits
    too_long[12] = 0x08;
    EXPECT_EQ(verify(base64(too_long), c.msg, c.sig_le), 0);

    // Moduli of 0 and 1 and a zero-bit key: rejected, not computed.
    for (std::uint8_t v : {0, 1}) {
        EXPECT_EQ(verify(base64(key_blob({v}, 65537, 8)), c.msg, bytes{0}), 0);
        EXPECT_EQ(verify(base64(key_blob({v}, 65537, 8)), c.msg, bytes{}), 0);
    }
    EXPECT_EQ(verify(base64(key_blob({}, 65537, 0)), c.msg, bytes{0}), 0);

    EXPECT_EQ(rsa_verify_sha1(g.key_text.data(), 200, nullptr, 0, c.sig_le.data(), 128), 0);
    EXPECT_EQ(
        rsa_verify_sha1(g.key_text.data(), 200, c.msg.data(), static_cast<std::int32_t>(c.msg.size()), nullptr, 0), 0);
    EXPECT_EQ(rsa_verify_sha1(nullptr, 0, c.msg.data(), 1, c.sig_le.data(), 128), 0);
}

TEST(rsa_verify_sha1, mod_exp_of_2048_bit_vectors_gives_the_encoded_digest)
{
    const auto groups = load_vectors("rsa_pkcs1_2048_sig_gen_test.json");
    int checked = 0;
    for (const auto& g : groups) {
        if (g.sha != "SHA-1")
            continue;
        ASSERT_EQ(g.modulus_be.size(), 256u);
        const bignum_ptr n = bignum_from_bytes(g.modulus_be.data(), 256);
        const bignum_ptr e = bignum_from_u32(g.exponent);
        for (const auto& c : g.cases) {
            const bytes want = encode_sha1(c.msg, 256);

            const bytes s_be = reversed(c.sig_le);
            const bignum_ptr x = bignum_mod_exp(bignum_from_bytes(s_be.data(), 256).get(), e.get(), n.get());
            ASSERT_TRUE(x);
            bytes got;
            for (int i = 255; i >= 0; --i)
                got.push_back(bignum_byte(x.get(), i));
            EXPECT_EQ(got, want);
            // Their key text is longer than the 256 characters the verifier takes.
            EXPECT_EQ(verify(g.key_text, c.msg, c.sig_le), 0);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 8);
}

} // namespace
