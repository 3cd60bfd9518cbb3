// SPDX-License-Identifier: Apache-2.0
// Strong signatures end to end: vorna built without trusted keys and with them
// (the vorna_strong_* programs trust test keys A, B or C), and the image tool's
// --key, keygen --ed25519 and info.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
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

/// The index of the table entry named `name` in `image` (table at 4096).
int entry_named(const bytes& image, const char* name)
{
    for (int i = 0; i < 32; ++i) {
        const char* at = reinterpret_cast<const char*>(&image[entry_field(i, k_name)]);
        if (std::string(at, ::strnlen(at, 32)) == name)
            return i;
    }
    ADD_FAILURE() << "no entry " << name;
    return 0;
}

// Another process changes bytes 8..11 between vorna's first read of the header
// and the verification pass (the preloaded library serves other bytes at that
// first read only), so that the table would be read where the signatures never
// put it: one entry or two later, or a second table planted in signed contents.
// Every mode of a build with trusted keys refuses and changes nothing.
TEST_F(StrongSignatures, TheHeaderIsTheOneThePassRead)
{
    image_plan p = plan({key_file("key_a.pem")});
    p.parts.push_back({"rootfs", 0x200000, 0x200000, "\"emmc\"", random_bytes(0x3000, 3)});
    const bytes first = whole(pack(work, p, "first.bin"));
    // The planted table: the kernel's bytes for the boot loader, the walk ending
    // there, and the support list as the firmware-info document.
    bytes planted(first.begin() + 4096, first.begin() + 4096 + 32 * 52);
    auto field = [&](const char* name, std::size_t f) { return entry_field(entry_named(first, name), f); };
    auto set = [&](const char* name, std::size_t f, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i)
            planted[field(name, f) - 4096 + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    set("bootloader", k_content_offset, be32(first, field("kernel", k_content_offset)));
    set("bootloader", k_content_size, be32(first, field("kernel", k_content_size)));
    set("kernel", k_size, 0);
    set("firmware-info", k_content_offset, be32(first, field("support-list", k_content_offset)));
    set("firmware-info", k_content_size, be32(first, field("support-list", k_content_size)));
    std::copy(planted.begin(), planted.end(), p.parts.back().contents.begin());
    const std::string image = pack(work, p, "planted.bin");
    const bytes genuine = whole(image);
    const std::size_t rootfs_field = entry_field(entry_named(genuine, "rootfs"), k_content_offset);
    const std::uint32_t planted_at = be32(genuine, rootfs_field);
    ASSERT_EQ(planted_at, be32(first, rootfs_field)) << "the planted table points where it did";
    ASSERT_EQ(run_with(VORNA_STRONG_A_BIN, "-c", b, image).status, 0) << "a genuine image";

    const std::string changed = format("[ERROR]vorna_firmware:601 | firmware '%s' changed after the check, bytes "
                                       "{0x0:0x1000} differ from the verified image.",
                                       image.c_str());
    const bytes nor = whole(b.nor);
    const bytes emmc = whole(b.emmc);
    const std::string out = work.file("info.json");
    test_support::scoped_preload preload(VORNA_TAMPER_LIB);
    test_support::scoped_env watched("VORNA_TAMPER_IMAGE", image);
    for (const char* bin : {VORNA_STRONG_A_BIN, VORNA_STRONG_ONLY_A_BIN}) {
        for (const std::uint32_t offset : {4096u + 52, 4096u + 104, planted_at}) {
            test_support::scoped_env served("VORNA_TAMPER_SERVE", format("8:%08x", offset));
            for (const std::string mode : {"-c", "-u", "-v"}) {
                const auto r = mode == "-v" ? export_with(bin, image, out) : run_with(bin, mode.c_str(), b, image);
                const std::string what = format("%s %s at 0x%x", bin, mode.c_str(), offset);
                EXPECT_EQ(r.status, 255) << what << "\n" << r.out;
                EXPECT_EQ(mode == "-u" ? after_lock(r) : lines_of(r.out), std::vector<std::string>{changed}) << what;
            }
            EXPECT_EQ(whole(b.nor), nor) << offset;
            EXPECT_EQ(whole(b.emmc), emmc) << offset;
            EXPECT_FALSE(std::filesystem::exists(out)) << offset;
        }
    }

    // A cross build's image tool is a host program, which the preloaded library
    // (built for the product) cannot reach.
    if (test_support::emulated({VORNA_IMAGE_BIN}).size() != test_support::emulated({VORNA_BIN}).size())
        return;
    // The image tool reads the image once: what it shows and what it judges are
    // the same bytes, so the planted table comes with a strong signature that
    // does not verify, and a genuine signature is not attached over it.
    const std::string sig = work.file("a.sig");
    test_support::write_file(sig, bytes(genuine.begin() + 452, genuine.begin() + 452 + 64));
    test_support::scoped_env served("VORNA_TAMPER_SERVE", format("8:%08x", planted_at));
    auto r = vorna_image({"info", image, "--key", key_file("key_a.pub.pem")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(format("ptn_table_offset: 0x%08X\n", planted_at)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  1  ed25519  key " + k_id_a + "  does NOT verify with "), std::string::npos) << r.out;
    r = vorna_image({"verify", image, "--key", key_file("key_a.pub.pem")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(": NOT verified"), std::string::npos) << r.out;
    r = vorna_image({"attach", image, "--strong", k_id_a + ":" + sig, "--key", key_file("key_a.pub.pem")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(sig + " does not verify with key " + k_id_a), std::string::npos) << r.err;
    EXPECT_EQ(whole(image), genuine);
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

// --- signing with keys the tool never holds, and strong-only builds ---------------

/// Runs a shell command line (openssl as the external signer); its exit status.
int shell(const std::string& command)
{
    return std::system(command.c_str());
}

class ExternalSigner : public StrongSignatures {};

TEST_F(ExternalSigner, DigestSignElsewhereAttachGivesTheImagePackWouldMake)
{
    // Without a chunk index, whose signatures come first (IndexSignedElsewhere).
    image_plan no_index = plan({});
    no_index.no_index = true;
    const std::string image = pack(work, no_index, "ext.bin");
    const std::string out = work.file("");
    auto r = vorna_image({"digest", image, "--out", out});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines_of(r.out).size(), 4U);
    EXPECT_EQ(lines_of(r.out)[3].substr(0, 7), "strong ");
    ASSERT_EQ(shell("openssl pkeyutl -sign -inkey '" + key_file("key_a.pem") + "' -rawin -in '" + out +
                    "/strong.bin' -out '" + out + "/a.sig'"),
              0);
    ASSERT_EQ(shell("openssl pkeyutl -sign -inkey '" + key_file("key_b.pem") + "' -rawin -in '" + out +
                    "/strong.bin' -out '" + out + "/b.sig'"),
              0);
    const bytes before = whole(image);

    // Refused, with the image untouched: an identifier that no --key has, a
    // signature by another key, a flipped byte of the legacy signature.
    struct refusal {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<refusal> refusals = {
        {{"attach", image, "--strong", k_id_b + ":" + out + "/b.sig", "--key", key_file("key_a.pub.pem")},
         "key identifier " + k_id_b + " matches no --key"},
        {{"attach", image, "--strong", k_id_a + ":" + out + "/b.sig", "--key", key_file("key_a.pub.pem")},
         "/b.sig does not verify with key " + k_id_a},
        {{"attach", image, "--strong", "123:" + out + "/a.sig", "--key", key_file("key_a.pub.pem")},
         "expected KEYID:SIGNATURE_FILE"},
        {{"attach", image, "--legacy", out + "/a.sig", "--key", dev_key_blob()}, "holds 64 bytes"},
    };
    for (const refusal& c : refusals) {
        r = vorna_image(c.args);
        EXPECT_EQ(r.status, 1) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(whole(image), before) << c.says;
    }

    r = vorna_image({"attach", image, "--strong", k_id_a + ":" + out + "/a.sig", "--key", key_file("key_a.pub.pem")});
    ASSERT_EQ(r.status, 0) << r.err;
    // The old legacy signature covered the old block: cleared, so the image is refused until it is signed again.
    EXPECT_EQ(run_mode("-c", b, image).status, 252);
    ASSERT_EQ(vorna_image({"digest", image, "--out", out}).status, 0);
    ASSERT_EQ(shell("openssl pkeyutl -sign -inkey '" + dev_private_key() + "' -pkeyopt digest:sha1 -in '" + out +
                    "/legacy-sha1.bin' -out '" + out + "/legacy.sig'"),
              0);
    const bytes unsigned_legacy = whole(image);
    shell("cp '" + out + "/legacy.sig' '" + out + "/bad.sig' && printf x | dd of='" + out +
          "/bad.sig' bs=1 seek=100 conv=notrunc 2>/dev/null");
    r = vorna_image({"attach", image, "--legacy", out + "/bad.sig", "--key", dev_key_blob()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(whole(image), unsigned_legacy);
    r = vorna_image({"attach", image, "--legacy", out + "/legacy.sig", "--key", dev_key_blob()});
    ASSERT_EQ(r.status, 0) << r.err;

    EXPECT_TRUE(openssl_verifies(image));
    r = run_with(VORNA_STRONG_A_BIN, "-c", b, image);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_a), k_upgradable}));
    // Byte for byte what pack signs with the same keys (both signature schemes are deterministic).
    image_plan by_a = plan({key_file("key_a.pem")});
    by_a.no_index = true;
    EXPECT_EQ(whole(image), whole(pack(work, by_a, "packed.bin")));

    // verify: 0 only when every given key's signature verifies.
    EXPECT_EQ(vorna_image({"verify", image, "--key", dev_key_blob(), "--key", key_file("key_a.pub.pem")}).status, 0);
    r = vorna_image({"verify", image, "--key", key_file("key_a.pub.pem"), "--key", key_file("key_b.pub.pem")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(k_id_b + " no signature by"), std::string::npos) << r.out;
    patch_be32(image, 5000, 0x12345678);
    EXPECT_EQ(vorna_image({"verify", image, "--key", key_file("key_a.pub.pem")}).status, 1);
    EXPECT_EQ(vorna_image({"verify", image, "--key", dev_key_blob()}).status, 1);
    EXPECT_EQ(vorna_image({"verify", image}).status, 1);
}

TEST_F(StrongSignatures, AStrongOnlyBuildTakesStrongOnlyImagesThatOthersRefuse)
{
    const std::string waived = "[INFO]vorna_firmware:668 | no legacy signature, not required by this build";
    const std::vector<std::string> rsa_failed = {"[ERROR]vorna_firmware:204 | firmware RSA verify failed", ""};
    // pack leaves the manifest beside the image: the same contents, packed without a legacy key.
    const std::string manifest = pack(work, plan({}), "m.bin") + ".json";
    auto strong_only = [&](const std::string& key, const std::string& name) {
        auto r = vorna_image({"pack", "--no-legacy", manifest, work.file(name), "--key", key_file(key)});
        EXPECT_EQ(r.status, 0) << r.err;
        return work.file(name);
    };
    const std::string by_a = strong_only("key_a.pem", "only-a.bin");
    const std::string by_b = strong_only("key_b.pem", "only-b.bin");
    EXPECT_EQ(slice(by_a, 304, 128), bytes(128, 0));
    auto r = vorna_image({"pack", "--no-legacy", manifest, work.file("none.bin")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--no-legacy needs a strong signature"), std::string::npos) << r.err;

    r = run_with(VORNA_STRONG_ONLY_A_BIN, "-c", b, by_a);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{waived, strong_pass(k_id_a), k_upgradable}));
    r = run_with(VORNA_STRONG_ONLY_A_BIN, "-u", b, by_a);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_lock(r).size(), 5U);
    r = run_with(VORNA_STRONG_ONLY_A_BIN, "-c", b, by_b);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{waived, k_unknown + "(" + k_id_b + ")"}));
    // A legacy signature that is there and wrong is still refused: only an absent one is waived.
    const std::string wrong = strong_only("key_a.pem", "wrong-legacy.bin");
    patch_be32(wrong, 304, 1);
    r = run_with(VORNA_STRONG_ONLY_A_BIN, "-c", b, wrong);
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(lines_of(r.out), rsa_failed);
    // Dual-signed images pass the strong-only build as they pass every other.
    r = run_with(VORNA_STRONG_ONLY_A_BIN, "-c", b, pack(work, plan({key_file("key_a.pem")}), "dual.bin"));
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{k_pass, strong_pass(k_id_a), k_upgradable}));

    // The default build and a strong build that requires the legacy signature refuse it.
    for (const char* bin : {VORNA_BIN, VORNA_STRONG_A_BIN}) {
        r = run_with(bin, "-c", b, by_a);
        EXPECT_EQ(r.status, 252) << bin;
        EXPECT_EQ(lines_of(r.out), rsa_failed) << bin;
    }
}

/// The key identifiers of the image's signature block (or of the one at `at`),
/// in order (the block's bytes read directly).
std::vector<std::string> block_key_ids(const std::string& image, std::size_t at = 432)
{
    const bytes data = slice(image, at, 8 + 4 * 76);
    std::vector<std::string> ids;
    if (data.size() < 8 || std::string(data.begin(), data.begin() + 4) != "VSIG")
        return ids;
    for (std::size_t i = 0; i < data[5] && i < 4; ++i) {
        std::string hex;
        for (std::size_t j = 0; j < 8; ++j)
            hex += format("%02x", data[8 + i * 76 + 4 + j]);
        ids.push_back(hex);
    }
    return ids;
}

// sign --key adds to the signatures already in the block: a device that trusts
// only an earlier key still takes the image. An earlier one goes only when
// --drop names it or --check shows it no longer verifies, each said on a line.
TEST_F(StrongSignatures, SignKeepsTheSignaturesAlreadyThere)
{
    // Without a chunk index, whose signatures the whole-file ones cover (SignWithAnIndex).
    image_plan no_index = plan({key_file("key_a.pem"), key_file("key_b.pem")});
    no_index.no_index = true;
    const std::string dual = pack(work, no_index, "dual.bin");
    const bytes genuine = whole(dual);
    // The third signer's key and two more, made here: no build trusts them.
    std::vector<std::string> extra;
    for (const char* name : {"c", "d", "e"}) {
        ASSERT_EQ(vorna_image({"keygen", "--ed25519", work.file(name), work.file(std::string(name) + ".pub")}).status,
                  0);
        extra.push_back(work.file(name));
    }
    const std::string c = extra[0];
    const std::string k_id_c = key_id(work.file("c.pub"));
    const std::string pub_a = key_file("key_a.pub.pem");
    const std::string pub_b = key_file("key_b.pub.pem");
    auto kept = [](const std::string& id) {
        return "kept the strong signature by key " + id + " (not checked: no --check key for it)";
    };
    struct sign_case {
        const char* what;
        std::vector<std::string> options;
        bool edited; ///< a byte of the contents changes first
        int status;
        std::vector<std::string> lines; ///< what sign says of the earlier signatures, or its refusal
        std::vector<std::string> block; ///< the key identifiers afterwards (unchanged when refused)
    };
    const std::vector<sign_case> cases = {
        {"adds", {"--key", c}, false, 0, {kept(k_id_a), kept(k_id_b)}, {k_id_a, k_id_b, k_id_c}},
        {"checks, drops when told",
         {"--key", c, "--check", pub_a, "--drop", k_id_b},
         false,
         0,
         {"kept the strong signature by key " + k_id_a + " (verifies with " + pub_a + ")",
          "dropped the strong signature by key " + k_id_b + " (--drop)"},
         {k_id_a, k_id_c}},
        {"signs again in place",
         {"--key", key_file("key_a.pem")},
         false,
         0,
         {"signed again with key " + k_id_a, kept(k_id_b)},
         {k_id_a, k_id_b}},
        {"drops what no longer verifies",
         {"--key", c, "--check", pub_a, "--check", pub_b},
         true,
         0,
         {"dropped the strong signature by key " + k_id_a + ": it does not verify with " + pub_a,
          "dropped the strong signature by key " + k_id_b + ": it does not verify with " + pub_b},
         {k_id_c}},
        {"more than four",
         {"--key", c, "--key", extra[1], "--key", extra[2]},
         false,
         1,
         {"the signature block would hold 5 signatures, at most 4"},
         {k_id_a, k_id_b}},
        {"--drop of a key not there",
         {"--key", extra[1], "--drop", k_id_c},
         false,
         1,
         {"--drop " + k_id_c + ": the block holds no signature by that key"},
         {k_id_a, k_id_b}},
    };
    for (const sign_case& t : cases) {
        bytes start = genuine;
        start[start.size() - 1] ^= t.edited ? 1 : 0;
        test_support::write_file(dual, start);
        std::vector<std::string> args = {"sign", dual, dev_private_key()};
        args.insert(args.end(), t.options.begin(), t.options.end());
        auto r = vorna_image(args);
        EXPECT_EQ(block_key_ids(dual), t.block) << t.what;
        EXPECT_EQ(r.status, t.status) << t.what << ": " << r.err;
        if (t.status != 0) {
            EXPECT_NE(r.err.find(t.lines[0]), std::string::npos) << t.what << ": " << r.err;
            EXPECT_EQ(whole(dual), start) << t.what;
            continue;
        }
        std::vector<std::string> said;
        for (const std::string& line : t.lines)
            said.push_back(dual + ": " + line);
        said.push_back(dual + ": signed");
        EXPECT_EQ(lines_of(r.out), said) << t.what;
        // A build that trusts only one key takes the image while that key's signature is in the block.
        for (const auto& [bin, id] : {std::pair{VORNA_STRONG_A_BIN, k_id_a}, std::pair{VORNA_STRONG_B_BIN, k_id_b}}) {
            const bool trusted = std::find(t.block.begin(), t.block.end(), id) != t.block.end();
            EXPECT_EQ(run_with(bin, "-c", b, dual).status, trusted ? 0 : 252) << t.what << " " << bin;
        }
    }
}

/// Occurrences of `what` in `text`.
std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(StrongSignatures, PassPhrasesAsTheOpensslToolsTakeThemAndEachRefusalOnce)
{
    temp_dir d;
    const std::string legacy = d.file("legacy.pem");
    const std::string strong = d.file("strong.pem");
    ASSERT_EQ(shell("openssl pkey -in '" + dev_private_key() + "' -aes256 -passout pass:s3cret -out '" + legacy +
                    "' && openssl pkey -in '" + key_file("key_a.pem") + "' -aes256 -passout pass:s3cret -out '" +
                    strong + "' && printf 's3cret\\n' > '" + d.file("pw") + "' && mkfifo '" + d.file("fifo") + "'"),
              0);
    const std::string manifest = pack(d, plan({}), "plain.bin") + ".json";
    // Each case: the words between "pack" and the manifest, what the shell adds, status, what stderr says.
    struct pass_case {
        std::string options;
        std::string shell_prefix;
        int status;
        std::string says;
    };
    const std::vector<pass_case> cases = {
        {"--passin pass:s3cret", "", 0, ""},
        {"--passin env:PW", "PW=s3cret ", 0, ""},
        {"--passin file:" + d.file("pw"), "", 0, ""},
        {"--passin fd:3", "exec 3<'" + d.file("pw") + "'; ", 0, ""},
        {"", "VORNA_IMAGE_PASSPHRASE=s3cret ", 0, ""},
        {"--passin pass:wrong", "", 1, "wrong pass phrase for " + legacy},
        {"--passin env:UNSET_HERE", "", 1, "--passin env:UNSET_HERE: the variable is not set"},
        {"--passin file:" + d.file("fifo"), "", 1, "the pass-phrase file " + d.file("fifo") + " is not a regular file"},
        {"--passin word", "", 1, "expected pass:TEXT, env:VAR, file:PATH or fd:N"},
        {"", "VORNA_IMAGE_PASSPHRASE_FILE='" + d.file("fifo") + "' ", 1, "is not a regular file"},
        {"", "", 1, legacy + " is encrypted and there is no terminal to ask for its pass phrase"},
    };
    for (const pass_case& c : cases) {
        // setsid: no controlling terminal, as on a build machine; a FIFO must not make it wait.
        const std::string cmd = c.shell_prefix + "timeout 20 setsid -w '" + std::string(VORNA_IMAGE_BIN) + "' pack " +
                                c.options + " '" + manifest + "' '" + legacy + "' '" + d.file("out.bin") + "' --key '" +
                                strong + "' </dev/null 2>'" + d.file("err") + "' >/dev/null";
        const int raw = shell("unset VORNA_IMAGE_PASSPHRASE VORNA_IMAGE_PASSPHRASE_FILE; " + cmd);
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        const std::string err = test_support::read_text(d.file("err"));
        EXPECT_EQ(status, c.status) << c.options << c.shell_prefix << ": " << err;
        if (c.says.empty()) {
            EXPECT_EQ(err, "") << c.options;
            EXPECT_EQ(run_mode("-c", b, d.file("out.bin")).status, 0) << c.options;
        } else {
            EXPECT_EQ(count_of(err, c.says), 1U) << c.options << ": " << err;
            EXPECT_EQ(count_of(err, "\n"), 1U) << "one line: " << err;
        }
    }
}

namespace {

/// Where the signature block of the image's chunk index stands (the table read directly).
std::size_t index_block_at(const std::string& image)
{
    const bytes data = whole(image);
    for (int i = 0; i < 32; ++i) {
        if (std::string(reinterpret_cast<const char*>(&data[entry_field(i, k_name)])) == "chunk-index")
            return be32(data, entry_field(i, k_content_offset)) + 32;
    }
    ADD_FAILURE() << image << " has no chunk index";
    return 0;
}

// The index's signatures come first and the whole-file ones cover them: sign
// signs it with the same keys, and refuses a new index signature that would
// break an earlier whole-file one nobody gives again or drops.
TEST_F(StrongSignatures, SignWithAnIndexSignsItFirstAndBreaksNoSignatureSilently)
{
    const std::string dual = pack(work, plan({key_file("key_a.pem"), key_file("key_b.pem")}), "dual.bin");
    const bytes genuine = whole(dual);
    ASSERT_EQ(vorna_image({"keygen", "--ed25519", work.file("c"), work.file("c.pub")}).status, 0);
    const std::string c = work.file("c");
    const std::string k_id_c = key_id(work.file("c.pub"));
    const std::string pub_a = key_file("key_a.pub.pem");
    const std::string pub_b = key_file("key_b.pub.pem");
    struct sign_case {
        const char* what;
        std::vector<std::string> options;
        bool edited; ///< a byte of the last contents changes first
        int status;
        std::vector<std::string> lines; ///< what sign says, or its refusal
        std::vector<std::string> block; ///< the whole-file and the index's key identifiers afterwards
    };
    const std::vector<sign_case> cases = {
        {"adds: refused",
         {"--key", c},
         false,
         1,
         {"the new index signature would break the strong signatures by keys " + k_id_a + " and " + k_id_b},
         {k_id_a, k_id_b}},
        {"adds, dropping the others",
         {"--key", c, "--drop", k_id_a, "--drop", k_id_b},
         false,
         0,
         {"dropped the strong signature by key " + k_id_a + " (--drop)",
          "dropped the strong signature by key " + k_id_b + " (--drop)"},
         {k_id_c}},
        {"adds, giving the others again",
         {"--key", key_file("key_a.pem"), "--key", key_file("key_b.pem"), "--key", c},
         false,
         0,
         {"signed again with key " + k_id_a, "signed again with key " + k_id_b},
         {k_id_a, k_id_b, k_id_c}},
        {"signs again in place",
         {"--key", key_file("key_b.pem")},
         false,
         0,
         {"kept the strong signature by key " + k_id_a + " (not checked: no --check key for it)",
          "signed again with key " + k_id_b},
         {k_id_a, k_id_b}},
        {"edited: digests written anew",
         {"--key", c, "--check", pub_a, "--check", pub_b},
         true,
         0,
         {"dropped the strong signature by key " + k_id_a + ": it does not verify with " + pub_a,
          "dropped the strong signature by key " + k_id_b + ": it does not verify with " + pub_b},
         {k_id_c}},
    };
    for (const sign_case& t : cases) {
        bytes start = genuine;
        start[start.size() - 1] ^= t.edited ? 1 : 0;
        test_support::write_file(dual, start);
        std::vector<std::string> args = {"sign", dual, dev_private_key()};
        args.insert(args.end(), t.options.begin(), t.options.end());
        auto r = vorna_image(args);
        EXPECT_EQ(block_key_ids(dual), t.block) << t.what;
        EXPECT_EQ(block_key_ids(dual, index_block_at(dual)), t.block) << t.what;
        if (t.status != 0) {
            EXPECT_EQ(r.status, t.status) << t.what;
            EXPECT_NE(r.err.find(t.lines[0]), std::string::npos) << t.what << ": " << r.err;
            EXPECT_EQ(whole(dual), start) << t.what;
            continue;
        }
        ASSERT_EQ(r.status, 0) << t.what << ": " << r.err;
        std::vector<std::string> said;
        for (const std::string& line : t.lines)
            said.push_back(dual + ": " + line);
        said.push_back(dual + ": signed");
        EXPECT_EQ(lines_of(r.out), said) << t.what;
        // Every signature there verifies, the index's over digests of the contents as they now are.
        std::vector<std::string> verify = {"verify", dual, "--key", dev_key_blob()};
        for (const std::string& id : t.block)
            verify.insert(verify.end(), {"--key", id == k_id_a ? pub_a : id == k_id_b ? pub_b : work.file("c.pub")});
        r = vorna_image(verify);
        EXPECT_EQ(r.status, 0) << t.what << ": " << r.out;
        EXPECT_NE(r.out.find("all match the contents, in stream order"), std::string::npos) << t.what << r.out;
        const bool trusted = std::find(t.block.begin(), t.block.end(), k_id_a) != t.block.end();
        EXPECT_EQ(run_with(VORNA_STRONG_A_BIN, "-c", b, dual).status, trusted ? 0 : 252) << t.what;
    }
}

// The index's signatures made elsewhere: digest gives their input and attach
// takes them first; the steps give the image pack makes with the same key.
TEST_F(ExternalSigner, IndexSignedElsewhereFirstGivesTheImagePackWouldMake)
{
    const std::string image = pack(work, plan({}), "ext.bin");
    const std::string out = work.file("");
    const std::string pub_a = key_file("key_a.pub.pem");
    auto signed_input = [&](const std::string& input, const std::string& key, const std::string& extra) {
        EXPECT_EQ(vorna_image({"digest", image, "--out", out}).status, 0);
        const std::string sig = out + "/" + input + ".sig";
        EXPECT_EQ(shell("openssl pkeyutl -sign -inkey '" + key + "' " + extra + " -in '" + out + "/" + input +
                        "' -out '" + sig + "'"),
                  0);
        return sig;
    };
    auto r = vorna_image({"digest", image});
    ASSERT_EQ(lines_of(r.out).size(), 5U);
    EXPECT_EQ(lines_of(r.out)[4].substr(0, 6), "index ");

    // A whole-file signature made first goes when the index's signature comes.
    const std::string early = signed_input("strong.bin", key_file("key_a.pem"), "-rawin");
    ASSERT_EQ(vorna_image({"attach", image, "--strong", k_id_a + ":" + early, "--key", pub_a}).status, 0);
    r = vorna_image({"attach", image, "--index", k_id_a + ":" + early, "--key", pub_a});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(early + " does not verify with key " + k_id_a), std::string::npos) << r.err;
    const std::string index_sig = signed_input("index.bin", key_file("key_a.pem"), "-rawin");
    r = vorna_image({"attach", image, "--index", k_id_a + ":" + index_sig, "--key", pub_a});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out),
              (std::vector<std::string>{image + ": strong signatures cleared (they covered the old index)",
                                        image + ": attached 1 index signature"}));

    const std::string strong_sig = signed_input("strong.bin", key_file("key_a.pem"), "-rawin");
    ASSERT_EQ(vorna_image({"attach", image, "--strong", k_id_a + ":" + strong_sig, "--key", pub_a}).status, 0);
    const std::string legacy_sig = signed_input("legacy-sha1.bin", dev_private_key(), "-pkeyopt digest:sha1");
    ASSERT_EQ(vorna_image({"attach", image, "--legacy", legacy_sig, "--key", dev_key_blob()}).status, 0);
    EXPECT_EQ(whole(image), whole(pack(work, plan({key_file("key_a.pem")}), "packed.bin")));
    r = vorna_image({"verify", image, "--key", dev_key_blob(), "--key", pub_a});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("index   " + k_id_a + " verifies with " + pub_a), std::string::npos) << r.out;
}

} // namespace
