// Strong signatures end to end: vorna built without trusted keys and with them
// (the vorna_strong_* programs trust test keys A, B or C), and the image tool's
// --key, keygen --ed25519 and info.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

using namespace firmware_cli;
using test_support::lines_of;
using test_support::random_bytes;
using test_support::temp_dir;

std::string key_file(const std::string& name)
{
    return std::string(VORNA_TEST_DATA_DIR) + "/strong/" + name;
}

/// The identifier vorna prints for a public key: SHA-256 of the raw key, first 8 bytes, in hex.
std::string key_id(const std::string& public_pem)
{
    std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(public_pem.c_str(), "r"), &std::fclose);
    if (!f)
        return "no key file " + public_pem;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_PUBKEY(f.get(), nullptr, nullptr, nullptr),
                                                            &EVP_PKEY_free);
    unsigned char raw[32];
    std::size_t len = sizeof raw;
    unsigned char hash[32];
    unsigned hash_len = 0;
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), raw, &len) != 1 ||
        EVP_Digest(raw, len, hash, &hash_len, EVP_sha256(), nullptr) != 1)
        return "unreadable key " + public_pem;
    std::string hex;
    for (int i = 0; i < 8; ++i)
        hex += format("%02x", hash[i]);
    return hex;
}

const std::string k_id_a = key_id(key_file("key_a.pub.pem"));
const std::string k_id_b = key_id(key_file("key_b.pub.pem"));

std::string strong_pass(const std::string& id)
{
    return "[INFO]vorna_firmware:665 | strong signature check pass, key " + id;
}
const std::string k_missing = "[ERROR]vorna_firmware:650 | firmware strong signature missing: no signature block";
const std::string k_malformed = "[ERROR]vorna_firmware:653 | firmware strong signature block malformed ";
const std::string k_unknown = "[ERROR]vorna_firmware:656 | firmware strong signature by unknown keys only ";
std::string bad_signature(const std::string& id)
{
    return "[ERROR]vorna_firmware:659 | firmware strong signature verify failed, key " + id;
}

/// `bin -c|-u -b 0x10000 -d TABLE -f IMAGE`, -u through the lock's retry.
test_support::cli_result run_with(const char* bin, const char* mode, const board& b, const std::string& image)
{
    std::vector<std::string> argv = {bin, mode, "-b", format("0x%X", k_table_base), "-d", b.table, "-f", image};
    return std::string(mode) == "-u" ? run_locked(argv) : test_support::run_cli(argv);
}

test_support::cli_result export_with(const char* bin, const std::string& image, const std::string& out)
{
    return test_support::run_cli({bin, "-v", "-f", image, "-o", out});
}

class StrongSignatures : public testing::Test {
protected:
    image_plan plan(std::vector<std::string> keys)
    {
        image_plan p;
        p.parts = {{"bootloader", 0x0, 0x40000, "\"nor\"", random_bytes(70000, 1)},
                   {"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(50000, 2)}};
        p.firmware_info = R"({"version":"3.0"})";
        p.strong_keys = std::move(keys);
        return p;
    }
    board b;
    temp_dir work;
};

TEST_F(StrongSignatures, DualSignedImagesPassEveryBuildAndLegacyOnesOnlyTheOld)
{
    const std::string dual = pack(work, plan({key_file("key_a.pem")}), "dual.bin");
    const std::string legacy = pack(work, plan({}), "legacy.bin");

    // A build without trusted keys: today's lines, byte for byte.
    auto r = run_mode("-c", b, dual);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_upgradable}));
    r = export_with(VORNA_BIN, dual, work.file("info-old.json"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), std::vector<std::string>{k_pass});

    r = run_with(VORNA_STRONG_A_BIN, "-c", b, dual);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_a), k_upgradable}));
    r = export_with(VORNA_STRONG_A_BIN, dual, work.file("info.json"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_a)}));
    EXPECT_EQ(test_support::read_text(work.file("info.json")), R"({"version":"3.0"})");
    r = run_with(VORNA_STRONG_A_BIN, "-u", b, dual);
    EXPECT_EQ(r.status, 0);
    const auto& parts = plan({}).parts;
    EXPECT_EQ(after_lock(r), (std::vector<std::string>{k_pass, strong_pass(k_id_a), k_upgradable, update_line(parts[0]),
                                                       update_line(parts[1])}));

    // A legacy-only image is refused by every mode of a strong build, before anything is written.
    const bytes nor_before = whole(b.nor);
    const bytes emmc_before = whole(b.emmc);
    const std::vector<std::string> refused = {k_pass, k_missing};
    r = run_with(VORNA_STRONG_A_BIN, "-c", b, legacy);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), refused);
    r = run_with(VORNA_STRONG_A_BIN, "-u", b, legacy);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(after_lock(r), refused);
    EXPECT_EQ(whole(b.nor), nor_before);
    EXPECT_EQ(whole(b.emmc), emmc_before);
    r = export_with(VORNA_STRONG_A_BIN, legacy, work.file("legacy-info.json"));
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), refused);
    EXPECT_FALSE(std::filesystem::exists(work.file("legacy-info.json")));
}

TEST_F(StrongSignatures, TheTableOffsetIsGuardedOnlyByStrongSignatures)
{
    image_plan p = plan({key_file("key_a.pem")});
    p.parts.push_back({"rootfs", 0x200000, 0x200000, "\"emmc\"", random_bytes(3000, 3)});
    const std::string image = pack(work, p);
    // The table now starts one entry later: an upgrade would skip the bootloader.
    patch_be32(image, 8, 4096 + 52);

    auto r = run_mode("-c", b, image);
    EXPECT_EQ(r.status, 0) << "the legacy check's documented limit";
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_upgradable}));
    r = run_with(VORNA_STRONG_A_BIN, "-c", b, image);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, bad_signature(k_id_a)}));
}

TEST_F(StrongSignatures, RotationPassesEitherTrustedKeyAndRefusesNeither)
{
    const std::string image = pack(work, plan({key_file("key_a.pem"), key_file("key_b.pem")}));
    auto r = run_with(VORNA_STRONG_A_BIN, "-c", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_a), k_upgradable}));
    r = run_with(VORNA_STRONG_B_BIN, "-c", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_b), k_upgradable}));
    r = run_with(VORNA_STRONG_C_BIN, "-c", b, image);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, k_unknown + "(" + k_id_a + " " + k_id_b + ")"}));
    // -V names the key each build trusts, after the legacy key.
    for (const auto& [bin, id] : {std::pair{VORNA_STRONG_A_BIN, k_id_a}, std::pair{VORNA_STRONG_B_BIN, k_id_b}}) {
        r = test_support::run_cli({bin, "-V"});
        EXPECT_EQ(r.status, 0);
        auto out = lines_of(r.out);
        ASSERT_EQ(out.size(), 3u) << r.out;
        EXPECT_EQ(out[2], "strong key: " + id);
    }
}

TEST_F(StrongSignatures, AnyFlippedBitFailsTheStrongCheck)
{
    const std::string image = pack(work, plan({key_file("key_a.pem")}));
    const std::size_t size = whole(image).size();
    struct flip {
        std::size_t at;
        std::uint8_t mask;
        std::string expected; ///< the strong check's line
    };
    const flip flips[] = {
        {0, 0x80, bad_signature(k_id_a)},  // first_word
        {9, 0x01, bad_signature(k_id_a)},  // ptn_table_offset
        {16, 0x01, bad_signature(k_id_a)}, // last bytes outside the legacy range
        {19, 0x40, bad_signature(k_id_a)},
        {20, 0x01, bad_signature(k_id_a)}, // first legacy-signed byte
        {303, 0x10, bad_signature(k_id_a)},
        {4096, 0x02, bad_signature(k_id_a)},                 // the table
        {size - 1, 0x01, bad_signature(k_id_a)},             // the last byte
        {432, 0x01, k_missing},                              // the block's magic
        {432 + 5, 0x04, k_malformed + "(count not 1 to 4)"}, // count 1 -> 5
        {432 + 8, 0x03, k_malformed + "(unknown algorithm)"},
        {432 + 11, 0x01, k_malformed + "(wrong signature length)"},
        {432 + 8 + 12, 0x01, bad_signature(k_id_a)}, // the signature itself
        {4095, 0x01, k_malformed + "(bytes after the block not zero)"},
    };
    for (const flip& f : flips) {
        bytes data = whole(image);
        data[f.at] ^= f.mask;
        const std::string copy = work.file("flipped.bin");
        test_support::write_file(copy, data);
        // The legacy signature is made again, so that only the strong check can refuse.
        resign(copy);
        auto r = run_with(VORNA_STRONG_A_BIN, "-c", b, copy);
        EXPECT_EQ(r.status, 252) << "byte " << f.at;
        EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, f.expected})) << "byte " << f.at;
    }
}

class ImageToolStrongKeys : public testing::Test {
protected:
    temp_dir work;
    image_plan plan;
    ImageToolStrongKeys() { plan.parts = {{"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(5000, 4)}}; }
};

TEST_F(ImageToolStrongKeys, KeygenMakesKeysAsOpensslDoesAndInfoChecksEachSignature)
{
    const std::string priv = work.file("new.pem");
    const std::string pub = work.file("new.pub.pem");
    auto r = vorna_image({"keygen", "--ed25519", priv, pub});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("key id      " + key_id(pub)), std::string::npos) << r.out;
    const std::string derived = work.file("derived.pub.pem");
    ASSERT_EQ(std::system(("openssl pkey -in '" + priv + "' -pubout -out '" + derived + "'").c_str()), 0);
    EXPECT_EQ(test_support::read_text(derived), test_support::read_text(pub));
    EXPECT_EQ(std::filesystem::status(priv).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    plan.strong_keys = {priv, key_file("key_a.pem")};
    const std::string image = pack(work, plan);
    r = vorna_image({"info", image, "--key", pub, "--key", key_file("key_a.pub.pem")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto lines = lines_of(r.out);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("strong signatures: 2")) << r.out;
    EXPECT_TRUE(has("  1  ed25519  key " + key_id(pub) + "  verifies with " + pub)) << r.out;
    EXPECT_TRUE(has("  2  ed25519  key " + k_id_a + "  verifies with " + key_file("key_a.pub.pem"))) << r.out;

    // Without keys each signature is listed unchecked; a key that signed nothing fails.
    r = vorna_image({"info", image, "--key", key_file("key_c.pub.pem")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("  1  ed25519  key " + key_id(pub) + "  not checked (no --key for it)"), std::string::npos);
    EXPECT_NE(r.out.find("(" + key_file("key_c.pub.pem") + "): no signature by this key"), std::string::npos);

    bytes data = whole(image);
    data.back() ^= 1;
    test_support::write_file(image, data);
    r = vorna_image({"info", image, "--key", pub});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("key " + key_id(pub) + "  does NOT verify with " + pub), std::string::npos) << r.out;
}

TEST_F(ImageToolStrongKeys, SignAddsStrongSignaturesUnderTheLegacyOne)
{
    const std::string image = pack(work, plan);
    auto r = vorna_image({"sign", image, dev_private_key(), "--key", key_file("key_b.pem")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(openssl_verifies(image)) << "the legacy signature covers the block";
    r = vorna_image({"info", image, "--key", key_file("key_b.pub.pem")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Signing again without --key keeps the block.
    resign(image);
    r = vorna_image({"info", image, "--key", key_file("key_b.pub.pem")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(ImageToolStrongKeys, AKeyOfTheWrongKindHasItsOwnMessage)
{
    const std::string image = pack(work, plan);
    const std::string out = work.file("out.bin");
    const std::string manifest = work.file("fw.bin.json");
    struct wrong {
        std::vector<std::string> args;
        std::string message;
    };
    const wrong cases[] = {
        {{"pack", manifest, dev_private_key(), out, "--key", dev_private_key()},
         dev_private_key() + " is not an Ed25519 private key (PEM), which --key needs"},
        {{"sign", image, dev_private_key(), "--key", key_file("key_a.pub.pem")},
         key_file("key_a.pub.pem") + " is not an Ed25519 private key (PEM), which --key needs"},
        {{"info", image, "--key", key_file("key_a.pem")},
         key_file("key_a.pem") + " is not an Ed25519 public key (PEM), which --key needs"},
        {{"info", image, "--key", dev_key_blob()},
         dev_key_blob() + " is not an Ed25519 public key (PEM), which --key needs"},
        {{"pack", manifest, key_file("key_a.pem"), out}, key_file("key_a.pem") + " is not a 1024-bit RSA key"},
        {{"sign", image, dev_private_key(), "--key"}, "--key needs a key file"},
        {{"sign", image, dev_private_key(), "--key", key_file("key_a.pem"), "--key", key_file("key_b.pem"), "--key",
          key_file("key_a.pem"), "--key", key_file("key_b.pem"), "--key", key_file("key_a.pem")},
         "at most 4 --key options"},
        {{"sign", image, dev_private_key(), "--key", key_file("key_a.pem"), "--key", key_file("key_a.pem")},
         "the same strong key is given twice"},
    };
    const bytes before = whole(image);
    for (const wrong& c : cases) {
        auto r = vorna_image(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("does NOT verify"), std::string::npos);
    }
    EXPECT_EQ(whole(image), before);
    EXPECT_FALSE(std::filesystem::exists(out));
}

} // namespace
