// SPDX-License-Identifier: Apache-2.0
// vorna-image sign: signs an existing image again, for instance after it was
// edited by hand or when the key changed.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_index.h"
#include "tools/vorna_image_strong.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_command = "sign";

/// Each --drop KEY_ID (16 hexadecimal digits) as an identifier. 0, or 1 after printing.
int parse_key_ids(const std::vector<std::string>& words, std::vector<firmware_key_id>& ids)
{
    for (const std::string& word : words) {
        firmware_key_id id{};
        const bool hex = word.size() == 2 * id.size() && std::all_of(word.begin(), word.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                         });
        if (!hex)
            return fail(k_command, "--drop %s: expected a key identifier of 16 hexadecimal digits", word.c_str());
        for (std::size_t i = 0; i < id.size(); ++i)
            id[i] = static_cast<std::uint8_t>(std::stoul(word.substr(2 * i, 2), nullptr, 16));
        ids.push_back(id);
    }
    return 0;
}

bool holds(std::span<const firmware_key_id> ids, const firmware_key_id& id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

/// The earlier whole-file signatures that a changed index signature area would
/// break and that nothing else disposes of: not made again (--key), not dropped
/// (--drop), and not already failing their --check over the image as it came.
std::vector<firmware_key_id> broken_by_index(std::span<const std::uint8_t> image, std::span<const firmware_key_id> keys,
                                             const earlier_signatures& earlier)
{
    signature_block block{};
    std::vector<firmware_key_id> broken;
    sha256_digest digest{};
    if (signature_block_decode(image.subspan(k_signature_block_offset, k_signature_block_area), block) !=
            signature_block_status::ok ||
        strong_digest_of(image, digest) != 0)
        return broken;
    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        if (holds(keys, e.key_id) || holds(earlier.drop, e.key_id))
            continue;
        const auto check = std::find_if(earlier.check.begin(), earlier.check.end(),
                                        [&](const strong_public_key& k) { return k.id == e.key_id; });
        if (check != earlier.check.end() && firmware_ed25519_verify(check->raw, digest, e.signature) != 1)
            continue;
        broken.push_back(e.key_id);
    }
    return broken;
}

int refuse_broken(const std::vector<firmware_key_id>& broken)
{
    std::string ids;
    for (std::size_t i = 0; i < broken.size(); ++i)
        ids += std::string(i == 0                   ? ""
                           : i + 1 == broken.size() ? " and "
                                                    : ", ") +
               firmware_key_id_text(broken[i]).data();
    return fail(k_command,
                "the new index signature would break the strong signature%s by key%s %s, which covers the index: give "
                "that key again with --key, or leave its signature out with --drop KEY_ID (nothing was written)",
                broken.size() > 1 ? "s" : "", broken.size() > 1 ? "s" : "", ids.c_str());
}

/// Signs the image's chunk index and then the whole file with the strong keys,
/// as pack does, after writing the index's block digests anew from the
/// contents (an image edited by hand). The earlier signatures of both blocks
/// are kept or dropped by the same options; `lines` says what became of them,
/// an index signature only where its fate differs from its key's whole-file
/// signature. Nothing changes when refused. 0, or 1 after printing.
int resign_with_index(std::vector<std::uint8_t>& image, const image_index& index, const std::vector<pkey_ptr>& keys,
                      const earlier_signatures& earlier, std::vector<std::string>& lines)
{
    if (index.status == firmware_index_status::duplicate || index.status == firmware_index_status::outside)
        return refuse_unusable_index(k_command, index);
    std::vector<std::uint8_t> work = image;
    std::vector<firmware_key_id> ids;
    sha256_digest digest{};
    // An image edited by hand into one whose index cannot be written anew (a
    // test image, say) is still signed: a streamed install refuses it before
    // its first write, as it refuses every malformed index.
    const char* kept_as_is = index_rewrite_refusal(image, index);
    if (kept_as_is != nullptr)
        lines.push_back(std::string("the chunk index is left as it stands (") + kept_as_is + ")");
    if ((kept_as_is == nullptr && write_index(k_command, work, index) != 0) || key_ids_of(k_command, keys, ids) != 0 ||
        index_signing_digest(k_command, work, index.where, digest) != 0)
        return 1;
    auto header_area = std::span(work).subspan(k_signature_block_offset, k_signature_block_area);
    auto index_area = index_signature_area(work, index.where);
    const std::vector<firmware_key_id> image_ids = block_key_ids(header_area);
    const std::vector<firmware_key_id> index_ids = block_key_ids(index_area);
    const std::vector<std::uint8_t> index_before(index_area.begin(), index_area.end());
    const bool resigns = !keys.empty() || !earlier.check.empty() || !earlier.drop.empty();
    std::vector<signature_note> index_notes;
    std::vector<signature_note> image_notes;
    if (resigns &&
        resign_area(k_command, index_area, digest, keys, earlier, signature_place::index, image_ids, index_notes) != 0)
        return 1;
    if (!std::equal(index_area.begin(), index_area.end(), index_before.begin())) {
        const std::vector<firmware_key_id> broken = broken_by_index(image, ids, earlier);
        if (!broken.empty())
            return refuse_broken(broken);
    }
    if (resigns &&
        (strong_digest_of(work, digest) != 0 || resign_area(k_command, header_area, digest, keys, earlier,
                                                            signature_place::image, index_ids, image_notes) != 0))
        return 1;
    for (const signature_note& n : index_notes) {
        const bool same = std::any_of(image_notes.begin(), image_notes.end(), [&](const signature_note& m) {
            return n.what != signature_note::fate::other && m.id == n.id && m.what == n.what;
        });
        if (!same)
            lines.push_back(n.text);
    }
    for (signature_note& n : image_notes)
        lines.push_back(std::move(n.text));
    image = std::move(work);
    return 0;
}

/// The strong signatures of `image`, the index's first when it has one. 0, or 1 after printing.
int resign_strong(std::vector<std::uint8_t>& image, const std::vector<pkey_ptr>& keys,
                  const earlier_signatures& earlier, std::vector<std::string>& lines)
{
    const image_index index = find_index(image);
    if (image.size() < k_firmware_header_len || !index.present())
        return resign_image_strong(k_command, image, keys, earlier, lines);
    return resign_with_index(image, index, keys, earlier, lines);
}

} // namespace

void image_sign_help()
{
    std::printf("Usage: vorna-image sign IMAGE PRIVATE_KEY.pem\n"
                "       vorna-image sign IMAGE PRIVATE_KEY.pem [--key STRONG_KEY.pem]...\n"
                "                        [--check STRONG_KEY.pub.pem]... [--drop KEY_ID]...\n"
                "\n"
                "Computes the signature of IMAGE with PRIVATE_KEY.pem and stores it in the\n"
                "image's signature field. Nothing else of the image changes: its header words\n"
                "(total_len included) stay as they are. The signed image is written to a\n"
                "temporary file beside IMAGE and renamed over it, keeping IMAGE's mode.\n"
                "Each --key (an Ed25519 private key) adds a strong signature to those already\n"
                "in the signature block; one there by the same key is made again in its place.\n"
                "The block is written first, then the RSA signature over the result.\n"
                "An image with a chunk index gets its block digests written anew from the\n"
                "contents and its index signed first, by the same keys and options (a line\n"
                "for an index signature only where its fate differs from the whole-file one).\n"
                "A new index signature changes bytes the whole-file signatures cover: an\n"
                "earlier whole-file signature by a key not given again is then refused\n"
                "unless --drop names it (or --check shows it no longer verifies).\n"
                "A signature already there is kept, unless:\n"
                "  --check STRONG_KEY.pub.pem  its key's public half is given: it is kept when\n"
                "                              it verifies, dropped when it does not\n"
                "  --drop KEY_ID               it is by this key (16 hexadecimal digits, as\n"
                "                              info lists them): it is dropped\n"
                "One line says what became of each signature already there. The block holds at\n"
                "most 4: more is refused and nothing is written. Without --key, --check and\n"
                "--drop an existing block is kept as it is.\n"
                "--passin pass:TEXT|env:VAR|file:PATH|fd:N gives an encrypted key's pass\n"
                "phrase (as the openssl tools take it). A key may be a pkcs11: URI.\n"
                "\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

int image_sign_main(int argc, char** argv)
{
    std::vector<std::string> strong_paths;
    std::vector<std::string> check_paths;
    std::vector<std::string> drop_words;
    earlier_signatures earlier;
    if (take_signing_options(k_command, argc, argv, strong_paths) != 0 ||
        take_repeated_option(k_command, argc, argv, "--check", check_paths, "--check needs a public key file") != 0 ||
        take_repeated_option(k_command, argc, argv, "--drop", drop_words, "--drop needs a key identifier") != 0 ||
        parse_key_ids(drop_words, earlier.drop) != 0)
        return 1;
    if (argc != 3)
        return fail(k_command, "expected IMAGE PRIVATE_KEY.pem (see vorna-image sign --help)");
    const std::string image_path = argv[1];
    std::vector<std::uint8_t> image;
    unsigned mode = 0;
    if (load_strong_public_keys(k_command, check_paths, earlier.check) != 0 ||
        read_whole_keeping_mode(k_command, image_path, image, mode) != 0)
        return 1;
    pkey_ptr key = load_private_key(k_command, argv[2]);
    std::vector<pkey_ptr> strong_keys;
    std::vector<std::string> notes;
    if (!key || load_strong_private_keys(k_command, strong_paths, strong_keys) != 0 ||
        resign_strong(image, strong_keys, earlier, notes) != 0 || sign_image(k_command, image, key.get()) != 0 ||
        replace_file(k_command, image_path, image, mode) != 0)
        return 1;
    // Said once the image is written, so that no line tells of a change that did not happen.
    for (const std::string& note : notes)
        std::printf("%s: %s\n", image_path.c_str(), note.c_str());
    std::printf("%s: signed\n", image_path.c_str());
    return 0;
}
