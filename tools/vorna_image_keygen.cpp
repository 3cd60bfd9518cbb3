// SPDX-License-Identifier: Apache-2.0
// vorna-image keygen: a new signing key, and the public key blob text that a
// vorna build takes as its built-in key.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_strong.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_command = "keygen";
constexpr int k_bits = 1024;
constexpr unsigned k_exponent = 65537;

struct bn_deleter {
    void operator()(BIGNUM* n) const { BN_free(n); }
};
struct bio_deleter {
    void operator()(BIO* b) const { BIO_free(b); }
};

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

/// The public key blob, base64 without line breaks:
///   06 02 00 00 00 A4 00 00 | "RSA1" | bits (LE32) | exponent (LE32) | modulus (LE, bits/8 bytes)
int key_blob_text(EVP_PKEY* key, std::string& text)
{
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &raw) != 1)
        return fail(k_command, "cannot read the modulus of the new key");
    std::unique_ptr<BIGNUM, bn_deleter> n(raw);
    std::vector<std::uint8_t> blob = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1'};
    put_le32(blob, k_bits);
    put_le32(blob, k_exponent);
    std::array<std::uint8_t, k_bits / 8> modulus{};
    if (BN_bn2lebinpad(n.get(), modulus.data(), static_cast<int>(modulus.size())) != static_cast<int>(modulus.size()))
        return fail(k_command, "the modulus does not fit %d bits", k_bits);
    blob.insert(blob.end(), modulus.begin(), modulus.end());

    std::vector<unsigned char> encoded(4 * ((blob.size() + 2) / 3) + 1);
    int len = EVP_EncodeBlock(encoded.data(), blob.data(), static_cast<int>(blob.size()));
    text.assign(encoded.begin(), encoded.begin() + len);
    return 0;
}

} // namespace

void image_keygen_help()
{
    std::printf("Usage: vorna-image keygen [--force] PRIVATE_KEY.pem KEY_BLOB.txt\n"
                "       vorna-image keygen [--force] --ed25519 PRIVATE_KEY.pem PUBLIC_KEY.pem\n"
                "\n"
                "Makes a new 1024-bit RSA key (public exponent 65537) for signing images.\n"
                "PRIVATE_KEY.pem   the private key, PEM (PKCS#8), mode 0600; pack and sign\n"
                "                  take it\n"
                "KEY_BLOB.txt      the public key as base64 text of a 148-byte key blob on one\n"
                "                  line (200 characters and a newline): build vorna with\n"
                "                  -DVORNA_PUBLIC_KEY_FILE=KEY_BLOB.txt to accept images signed\n"
                "                  with this key; info takes it to verify a signature\n"
                "\n"
                "With --ed25519, makes a strong signing key instead: the private key as PEM\n"
                "(PKCS#8, mode 0600), which pack and sign take with --key, and its public key\n"
                "as PEM, which vorna is built with (-DVORNA_TRUSTED_KEYS=PUBLIC_KEY.pem) and\n"
                "info takes with --key; the key identifier is printed.\n"
                "Existing files are kept: keygen refuses to replace them unless --force is\n"
                "given.\n"
                "\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

int image_keygen_main(int argc, char** argv)
{
    const bool force = take_flag(argc, argv, "--force");
    if (take_flag(argc, argv, "--ed25519")) {
        if (argc != 3)
            return fail(k_command, "expected --ed25519 PRIVATE_KEY.pem PUBLIC_KEY.pem (see vorna-image keygen --help)");
        // A replaced private key cannot be had back, and every image signed with it dies with it.
        if (!force && (refuse_to_replace(k_command, argv[1]) != 0 || refuse_to_replace(k_command, argv[2]) != 0))
            return 1;
        return keygen_ed25519(k_command, argv[1], argv[2]);
    }
    if (argc != 3)
        return fail(k_command, "expected PRIVATE_KEY.pem KEY_BLOB.txt (see vorna-image keygen --help)");
    const std::string private_path = argv[1];
    const std::string blob_path = argv[2];
    // A replaced private key cannot be had back, and every image signed with it dies with it.
    if (!force && (refuse_to_replace(k_command, private_path) != 0 || refuse_to_replace(k_command, blob_path) != 0))
        return 1;

    pkey_ptr key(EVP_RSA_gen(k_bits));
    if (!key)
        return fail(k_command, "key generation failed: %s", ERR_reason_error_string(ERR_get_error()));

    std::unique_ptr<BIO, bio_deleter> pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(k_command, "cannot encode the private key");
    char* pem_data = nullptr;
    long pem_len = BIO_get_mem_data(pem.get(), &pem_data);
    std::vector<std::uint8_t> pem_bytes(pem_data, pem_data + pem_len);

    std::string blob;
    if (key_blob_text(key.get(), blob) != 0)
        return 1;
    blob += '\n';
    std::vector<std::uint8_t> blob_bytes(blob.begin(), blob.end());

    if (replace_file(k_command, private_path, pem_bytes, 0600) != 0 ||
        replace_file(k_command, blob_path, blob_bytes, 0644) != 0)
        return 1;
    std::printf("private key %s\nkey blob    %s\n", private_path.c_str(), blob_path.c_str());
    return 0;
}
