// SPDX-License-Identifier: Apache-2.0
// vorna-image digest and attach: signing with keys the tool never holds. digest
// prints what each signature signs; a signing service or a token signs it; attach
// puts the signatures into the image after checking each against its public key.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_index.h"
#include "tools/vorna_image_keys.h"
#include "tools/vorna_image_strong.h"

#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include <sys/stat.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_digest = "digest";
constexpr const char* k_attach = "attach";

/// The DER prefix of a SHA-1 DigestInfo, which a raw PKCS#1 v1.5 signer wraps with its padding.
constexpr std::array<std::uint8_t, 15> k_sha1_digest_info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                             0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

/// What each signature of `image` signs, in the forms signers take.
struct signing_inputs {
    std::array<std::uint8_t, 16> legacy_message{}; ///< M, the MD5 digest: for signers that hash with SHA-1 themselves
    std::array<std::uint8_t, 20> legacy_sha1{};    ///< SHA-1(M): for signers given the hash
    std::vector<std::uint8_t> legacy_digest_info;  ///< DigestInfo of SHA-1(M): for raw PKCS#1 v1.5 signers
    sha256_digest strong{};                        ///< what every Ed25519 signature signs
    bool has_index = false;
    sha256_digest index{}; ///< what the chunk index's signatures sign
};

int refuse_stale_index(const char* command, std::span<const std::uint8_t> image, const image_index& index);

int inputs_of(const char* command, const std::vector<std::uint8_t>& image, signing_inputs& in)
{
    if (image.size() < k_firmware_header_len)
        return fail(command, "an image of %zu bytes has no room for its signatures (4096 bytes of header)",
                    image.size());
    firmware_signed_digest(image, in.legacy_message);
    unsigned len = 0;
    if (EVP_Digest(in.legacy_message.data(), in.legacy_message.size(), in.legacy_sha1.data(), &len, EVP_sha1(),
                   nullptr) != 1 ||
        strong_digest_of(image, in.strong) != 0)
        return fail(command, "cannot compute the digests");
    const image_index index = find_index(image);
    in.has_index = index.present();
    if (in.has_index && (refuse_unusable_index(command, index) != 0 || refuse_stale_index(command, image, index) != 0 ||
                         index_signing_digest(command, image, index.where, in.index) != 0))
        return 1;
    in.legacy_digest_info.assign(k_sha1_digest_info.begin(), k_sha1_digest_info.end());
    in.legacy_digest_info.insert(in.legacy_digest_info.end(), in.legacy_sha1.begin(), in.legacy_sha1.end());
    return 0;
}

int write_input(const std::string& dir, const char* name, std::span<const std::uint8_t> bytes)
{
    return replace_file(k_digest, dir + "/" + name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), 0644);
}

/// Reads a signature file that must hold exactly `len` bytes. 0, or 1 after printing.
int read_signature(const std::string& path, std::size_t len, std::vector<std::uint8_t>& out)
{
    if (read_whole(k_attach, path, out) != 0)
        return 1;
    if (out.size() != len)
        return fail(k_attach, "%s holds %zu bytes; a signature of this kind has %zu", path.c_str(), out.size(), len);
    return 0;
}

/// "KEYID:SIG": 16 hexadecimal digits, a colon, a file of 64 bytes.
int parse_strong_argument(const char* option, const std::string& arg, firmware_key_id& id, std::string& path)
{
    const std::size_t colon = arg.find(':');
    const std::string hex = arg.substr(0, colon);
    if (colon == std::string::npos || hex.size() != 2 * k_key_id_len ||
        !std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return fail(k_attach, "%s %s: expected KEYID:SIGNATURE_FILE, KEYID 16 hexadecimal digits", option, arg.c_str());
    for (std::size_t i = 0; i < k_key_id_len; ++i)
        id[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    path = arg.substr(colon + 1);
    return 0;
}

/// Builds a signature block from the `option` arguments (--strong, --index),
/// each checked against the --key of its identifier over `digest`. 0, or 1 after printing.
int signed_block(const char* option, const std::vector<std::string>& args, const std::vector<strong_public_key>& keys,
                 const sha256_digest& digest, signature_block& block)
{
    if (args.size() > k_signature_block_max)
        return fail(k_attach, "at most %zu %s: the signature block holds %zu signatures", k_signature_block_max, option,
                    k_signature_block_max);
    block = signature_block{};
    block.count = static_cast<std::uint8_t>(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        signature_entry& e = block.entries[i];
        std::string path;
        if (parse_strong_argument(option, args[i], e.key_id, path) != 0)
            return 1;
        const std::string id = firmware_key_id_text(e.key_id).data();
        for (std::size_t j = 0; j < i; ++j) {
            if (block.entries[j].key_id == e.key_id)
                return fail(k_attach, "key %s is given twice", id.c_str());
        }
        const auto key =
            std::find_if(keys.begin(), keys.end(), [&](const strong_public_key& k) { return k.id == e.key_id; });
        if (key == keys.end())
            return fail(k_attach,
                        "key identifier %s matches no --key (refused: a signature is attached only once "
                        "it verifies)",
                        id.c_str());
        std::vector<std::uint8_t> signature;
        if (read_signature(path, k_ed25519_signature_len, signature) != 0)
            return 1;
        std::copy(signature.begin(), signature.end(), e.signature.begin());
        if (firmware_ed25519_verify(key->raw, digest, e.signature) != 1)
            return fail(k_attach, "%s does not verify with key %s (%s); nothing was written", path.c_str(), id.c_str(),
                        key->path.c_str());
        e.algorithm = k_signature_alg_ed25519;
    }
    return 0;
}

/// Replaces the signature block of `image` with the --strong signatures, each
/// checked first; a legacy signature not given with them is cleared (it covered
/// the old block). 0, or 1 after printing.
int attach_strong(const std::string& image_path, const std::vector<std::string>& strong_args, const public_keys& keys,
                  bool legacy_given, std::vector<std::uint8_t>& image)
{
    signature_block block{};
    sha256_digest digest{};
    if (strong_digest_of(image, digest) != 0)
        return fail(k_attach, "cannot compute the strong digest");
    if (signed_block("--strong", strong_args, keys.strong, digest, block) != 0)
        return 1;
    auto area = std::span(image).subspan(k_signature_block_offset, k_signature_block_area);
    if (signature_block_encode(block, area) != 0)
        return fail(k_attach, "cannot encode the signature block");
    if (!legacy_given && !legacy_signature_absent(image)) {
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(k_firmware_signature_offset), k_firmware_signature_len,
                    0);
        std::printf("%s: legacy signature cleared (it covered the old block)\n", image_path.c_str());
    }
    return 0;
}

/// Refuses an index whose block digests differ from the contents: a signature
/// over them would make a streamed install stop part way. 0, or 1 after printing.
int refuse_stale_index(const char* command, std::span<const std::uint8_t> image, const image_index& index)
{
    const std::uint64_t stale = stale_blocks(image, index);
    if (stale == 0)
        return 0;
    return fail(command,
                "the chunk index's digests of %llu blocks differ from the contents: sign the image again with "
                "vorna-image sign, or pack it again",
                static_cast<unsigned long long>(stale));
}

/// Replaces the index's signature block with the --index signatures, each
/// checked first over the index digest. The whole-file signatures cover the
/// index's signatures: when they change, a strong block not given with them and
/// a legacy signature not given with them are cleared. 0, or 1 after printing.
int attach_index(const std::string& image_path, const std::vector<std::string>& index_args, const public_keys& keys,
                 bool strong_given, bool legacy_given, std::vector<std::uint8_t>& image)
{
    const image_index index = find_index(image);
    if (!index.present())
        return fail(k_attach, "%s has no chunk index to sign (--index)", image_path.c_str());
    sha256_digest digest{};
    signature_block block{};
    if (refuse_unusable_index(k_attach, index) != 0 || refuse_stale_index(k_attach, image, index) != 0 ||
        index_signing_digest(k_attach, image, index.where, digest) != 0 ||
        signed_block("--index", index_args, keys.strong, digest, block) != 0)
        return 1;
    auto area = index_signature_area(image, index.where);
    const std::vector<std::uint8_t> before(area.begin(), area.end());
    if (signature_block_encode(block, area) != 0)
        return fail(k_attach, "cannot encode the index's signature block");
    if (std::equal(area.begin(), area.end(), before.begin()))
        return 0;
    auto strong_area = std::span(image).subspan(k_signature_block_offset, k_signature_block_area);
    const bool strong_there = std::any_of(strong_area.begin(), strong_area.end(), [](std::uint8_t b) { return b; });
    if (!strong_given && strong_there) {
        std::fill(strong_area.begin(), strong_area.end(), 0);
        std::printf("%s: strong signatures cleared (they covered the old index)\n", image_path.c_str());
    }
    if (!legacy_given && !legacy_signature_absent(image)) {
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(k_firmware_signature_offset), k_firmware_signature_len,
                    0);
        std::printf("%s: legacy signature cleared (it covered the old index)\n", image_path.c_str());
    }
    return 0;
}

/// Puts the --legacy signature into `image` once it verifies with a given key
/// blob. 0, or 1 after printing.
int attach_legacy(const char* legacy_path, const public_keys& keys, std::vector<std::uint8_t>& image)
{
    if (keys.legacy.empty())
        return fail(k_attach, "--legacy needs the key blob to check it against (--key KEY_BLOB.txt)");
    std::vector<std::uint8_t> signature;
    if (read_signature(legacy_path, k_firmware_signature_len, signature) != 0)
        return 1;
    // Signers write the value most significant byte first; the field holds it the other way round.
    std::reverse_copy(signature.begin(), signature.end(),
                      image.begin() + static_cast<std::ptrdiff_t>(k_firmware_signature_offset));
    const firmware_dual_digests digests = image_digests(image);
    const bool verifies = std::any_of(keys.legacy.begin(), keys.legacy.end(), [&](const legacy_public_key& k) {
        return legacy_signature_verifies(image, digests, k);
    });
    if (!verifies)
        return fail(k_attach, "%s does not verify with %s%s; nothing was written", legacy_path,
                    keys.legacy.front().path.c_str(), keys.legacy.size() > 1 ? " or the other key blobs" : "");
    return 0;
}

} // namespace

void image_digest_help()
{
    std::printf("Usage: vorna-image digest IMAGE [--out DIR]\n"
                "\n"
                "Prints what each signature of IMAGE signs, as lowercase hexadecimal, one line\n"
                "each:\n"
                "  legacy-message      M, the 16-byte MD5 digest: for signers that hash it with\n"
                "                      SHA-1 themselves (pkcs11-tool -m SHA1-RSA-PKCS)\n"
                "  legacy-sha1         SHA-1(M), 20 bytes: openssl pkeyutl -sign -pkeyopt digest:sha1\n"
                "  legacy-digest-info  the 35-byte DigestInfo of SHA-1(M): raw PKCS#1 v1.5 signers\n"
                "                      (pkcs11-tool -m RSA-PKCS, signing services)\n"
                "  strong              the 32-byte digest every Ed25519 signature signs\n"
                "                      (openssl pkeyutl -sign -rawin, pkcs11-tool -m EDDSA)\n"
                "  index               the 32-byte digest the chunk index's Ed25519 signatures\n"
                "                      sign (only for an image that has an index)\n"
                "With --out DIR, also writes them as binary files legacy-message.bin,\n"
                "legacy-sha1.bin, legacy-digest-info.bin, strong.bin and index.bin in DIR.\n"
                "Each signature covers the ones signed before it: attach the index's\n"
                "signatures first (attach --index), then take the digests again and attach\n"
                "the strong signatures, then take them again for the legacy signature.\n"
                "An index whose block digests differ from the contents is refused.\n"
                "\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

int image_digest_main(int argc, char** argv)
{
    const char* out_dir = nullptr;
    if (take_option(k_digest, argc, argv, "--out", out_dir) != 0)
        return 1;
    if (argc != 2)
        return fail(k_digest, "expected IMAGE (see vorna-image digest --help)");
    std::vector<std::uint8_t> image;
    signing_inputs in;
    if (read_whole(k_digest, argv[1], image) != 0 || inputs_of(k_digest, image, in) != 0)
        return 1;
    if (out_dir != nullptr) {
        struct stat st {};
        if (::stat(out_dir, &st) != 0 || !S_ISDIR(st.st_mode))
            return fail(k_digest, "--out %s is not a folder", out_dir);
        if (write_input(out_dir, "legacy-message.bin", in.legacy_message) != 0 ||
            write_input(out_dir, "legacy-sha1.bin", in.legacy_sha1) != 0 ||
            write_input(out_dir, "legacy-digest-info.bin", in.legacy_digest_info) != 0 ||
            write_input(out_dir, "strong.bin", in.strong) != 0 ||
            (in.has_index && write_input(out_dir, "index.bin", in.index) != 0))
            return 1;
    }
    std::printf("legacy-message %s\n", hex_text(in.legacy_message).c_str());
    std::printf("legacy-sha1 %s\n", hex_text(in.legacy_sha1).c_str());
    std::printf("legacy-digest-info %s\n", hex_text(in.legacy_digest_info).c_str());
    std::printf("strong %s\n", hex_text(in.strong).c_str());
    if (in.has_index)
        std::printf("index %s\n", hex_text(in.index).c_str());
    return 0;
}

void image_attach_help()
{
    std::printf("Usage: vorna-image attach IMAGE [--index KEYID:SIG]... [--strong KEYID:SIG]... [--legacy SIG]\n"
                "                    --key PUBLIC_KEY...\n"
                "\n"
                "Puts signatures made elsewhere into IMAGE, each checked first against the\n"
                "--key it belongs to; one that does not verify, or whose key identifier\n"
                "matches no --key, is refused and nothing is written.\n"
                "--strong KEYID:SIG  an Ed25519 signature (64 bytes) of the strong digest by\n"
                "                    the key KEYID (16 hexadecimal digits); at most 4; together\n"
                "                    they replace the signature block\n"
                "--index KEYID:SIG   an Ed25519 signature (64 bytes) of the index digest by the\n"
                "                    key KEYID; at most 4; together they replace the chunk\n"
                "                    index's signatures\n"
                "--legacy SIG        the RSA signature (128 bytes, most significant byte first,\n"
                "                    as signers write it) of the legacy input\n"
                "--key FILE          an Ed25519 public key (PEM) or a legacy key blob\n"
                "The legacy signature covers the signature block: a new block clears a legacy\n"
                "signature that is not given with it (take the digest again and attach it).\n"
                "The strong and legacy signatures cover the index's: new index signatures\n"
                "clear those not given with them. They are attached in that order: index,\n"
                "strong, legacy.\n"
                "The image is written to a temporary file and renamed over IMAGE.\n"
                "\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

int image_attach_main(int argc, char** argv)
{
    const char* legacy_path = nullptr;
    std::vector<std::string> strong_args;
    std::vector<std::string> index_args;
    std::vector<std::string> key_paths;
    if (take_option(k_attach, argc, argv, "--legacy", legacy_path) != 0 ||
        take_repeated_option(k_attach, argc, argv, "--strong", strong_args) != 0 ||
        take_repeated_option(k_attach, argc, argv, "--index", index_args) != 0 ||
        take_key_options(k_attach, argc, argv, key_paths) != 0)
        return 1;
    if (argc != 2)
        return fail(k_attach, "expected IMAGE (see vorna-image attach --help)");
    if (legacy_path == nullptr && strong_args.empty() && index_args.empty())
        return fail(k_attach, "nothing to attach: give --strong KEYID:SIG or --legacy SIG");
    const std::string image_path = argv[1];
    std::vector<std::uint8_t> image;
    unsigned mode = 0;
    public_keys keys;
    if (read_whole_keeping_mode(k_attach, image_path, image, mode) != 0 ||
        load_public_keys(k_attach, key_paths, keys) != 0)
        return 1;
    if (image.size() < k_firmware_header_len)
        return fail(k_attach, "an image of %zu bytes has no room for its signatures", image.size());

    if ((!index_args.empty() &&
         attach_index(image_path, index_args, keys, !strong_args.empty(), legacy_path != nullptr, image) != 0) ||
        (!strong_args.empty() && attach_strong(image_path, strong_args, keys, legacy_path != nullptr, image) != 0) ||
        (legacy_path != nullptr && attach_legacy(legacy_path, keys, image) != 0))
        return 1;
    if (replace_file(k_attach, image_path, image, mode) != 0)
        return 1;
    std::vector<std::string> parts;
    if (!index_args.empty())
        parts.push_back(std::to_string(index_args.size()) +
                        (index_args.size() == 1 ? " index signature" : " index signatures"));
    if (!strong_args.empty())
        parts.push_back(std::to_string(strong_args.size()) +
                        (strong_args.size() == 1 ? " strong signature" : " strong signatures"));
    if (legacy_path != nullptr)
        parts.push_back("the legacy signature");
    std::string what;
    for (std::size_t i = 0; i < parts.size(); ++i)
        what += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    std::printf("%s: attached %s\n", image_path.c_str(), what.c_str());
    return 0;
}
