// SPDX-License-Identifier: Apache-2.0
// vorna-image sign: signs an existing image again, for instance after it was
// edited by hand or when the key changed.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_strong.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_command = "sign";

} // namespace

void image_sign_help()
{
    std::printf("Usage: vorna-image sign IMAGE PRIVATE_KEY.pem\n"
                "       vorna-image sign IMAGE PRIVATE_KEY.pem --key STRONG_KEY.pem...\n"
                "\n"
                "Computes the signature of IMAGE with PRIVATE_KEY.pem and stores it in the\n"
                "image's signature field. Nothing else of the image changes: its header words\n"
                "(total_len included) stay as they are. The signed image is written to a\n"
                "temporary file beside IMAGE and renamed over it, keeping IMAGE's mode.\n"
                "Each --key (an Ed25519 private key, at most 4) adds a strong signature: the\n"
                "signature block is written first, then the RSA signature over the result.\n"
                "Without --key an existing block is kept as it is.\n"
                "--passin pass:TEXT|env:VAR|file:PATH|fd:N gives an encrypted key's pass\n"
                "phrase (as the openssl tools take it). A key may be a pkcs11: URI.\n"
                "\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

int image_sign_main(int argc, char** argv)
{
    std::vector<std::string> strong_paths;
    if (take_signing_options(k_command, argc, argv, strong_paths) != 0)
        return 1;
    if (argc != 3)
        return fail(k_command, "expected IMAGE PRIVATE_KEY.pem (see vorna-image sign --help)");
    const std::string image_path = argv[1];
    std::vector<std::uint8_t> image;
    unsigned mode = 0;
    if (read_whole_keeping_mode(k_command, image_path, image, mode) != 0)
        return 1;
    pkey_ptr key = load_private_key(k_command, argv[2]);
    std::vector<pkey_ptr> strong_keys;
    if (!key || load_strong_private_keys(k_command, strong_paths, strong_keys) != 0 ||
        sign_image_strong(k_command, image, strong_keys) != 0 || sign_image(k_command, image, key.get()) != 0 ||
        replace_file(k_command, image_path, image, mode) != 0)
        return 1;
    std::printf("%s: signed\n", image_path.c_str());
    return 0;
}
