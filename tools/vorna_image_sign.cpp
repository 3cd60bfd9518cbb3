// SPDX-License-Identifier: Apache-2.0
// vorna-image sign: signs an existing image again, for instance after it was
// edited by hand or when the key changed.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
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
        resign_image_strong(k_command, image, strong_keys, earlier, notes) != 0 ||
        sign_image(k_command, image, key.get()) != 0 || replace_file(k_command, image_path, image, mode) != 0)
        return 1;
    // Said once the image is written, so that no line tells of a change that did not happen.
    for (const std::string& note : notes)
        std::printf("%s: %s\n", image_path.c_str(), note.c_str());
    std::printf("%s: signed\n", image_path.c_str());
    return 0;
}
