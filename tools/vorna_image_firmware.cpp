// SPDX-License-Identifier: Apache-2.0
// Helpers of the image subcommands: files, the private key, and signing.
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_strong.h"

#include "vorna/storage/unique_fd.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/storage/staged_output.h"
#include "vorna/storage/vorna_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vorna_image {

namespace {

/// The newest OpenSSL error as text, for messages.
std::string openssl_error()
{
    unsigned long code = ERR_get_error();
    if (code == 0)
        return "unknown error";
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    ERR_clear_error();
    return text.data();
}

} // namespace

int read_whole(const char* command, const std::string& path, std::vector<std::uint8_t>& out)
{
    const whole_file got = read_whole_file(path.c_str(), std::numeric_limits<off_t>::max(), true, out);
    switch (got.status) {
    case whole_read::ok: return 0;
    case whole_read::not_regular: return fail(command, "%s is not a regular file", path.c_str());
    case whole_read::changed: return fail(command, "%s changed while it was read", path.c_str());
    case whole_read::failed:
    case whole_read::too_large: break;
    }
    return fail(command, "cannot read %s: %s", path.c_str(), std::strerror(got.error));
}

int read_whole_keeping_mode(const char* command, const std::string& path, std::vector<std::uint8_t>& out,
                            unsigned& mode)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return fail(command, "cannot read %s: %s", path.c_str(), std::strerror(errno));
    mode = st.st_mode & 07777;
    return read_whole(command, path, out);
}

cjson_ptr read_json_object(const char* command, const std::string& path, const char* what)
{
    std::vector<std::uint8_t> text;
    if (read_whole(command, path, text) != 0)
        return nullptr;
    cjson_ptr json(cJSON_ParseWithLength(reinterpret_cast<const char*>(text.data()), text.size()));
    if (!cJSON_IsObject(json.get())) {
        fail(command, "%s is not %s", path.c_str(), what);
        return nullptr;
    }
    return json;
}

int take_signing_options(const char* command, int& argc, char** argv, std::vector<std::string>& strong_paths)
{
    const char* passin = nullptr;
    // A pass phrase or PIN may sit in the arguments and the environment already.
    if (keep_secrets_out_of_core_dumps(command) != 0 || take_option(command, argc, argv, "--passin", passin) != 0)
        return 1;
    set_pass_phrase_source(passin);
    return take_key_options(command, argc, argv, strong_paths);
}

int replace_file(const char* command, const std::string& path, const std::vector<std::uint8_t>& bytes,
                 unsigned mode)
{
    // The temporary file stands beside the output under the output's own name.
    const std::size_t slash = path.rfind('/');
    const std::string temp_name = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".XXXXXX";
    staged_output staged(temp_name.c_str());
    if (staged.create(path) != 0)
        return fail(command, "cannot create a temporary file beside %s: %s", path.c_str(), std::strerror(errno));
    staged.set_mode(static_cast<mode_t>(mode));
    // Copied: a failure removes the temporary file, and its name is in the message.
    const std::string temp = staged.temp_path();
    if (write_fully(staged.fd(), bytes.data(), static_cast<off_t>(bytes.size())) != static_cast<off_t>(bytes.size()) ||
        staged.make_durable() != 0)
        return fail(command, "cannot write %s: %s", temp.c_str(), std::strerror(errno));
    if (staged.rename_over() != 0)
        return fail(command, "cannot rename %s to %s: %s", temp.c_str(), path.c_str(), std::strerror(errno));
    return 0;
}

pkey_ptr read_private_key_file(const char* command, const std::string& path, const char* not_a_key)
{
    const std::string name = printable_key_name(path);
    file_ptr f(std::fopen(path.c_str(), "re"));
    if (!f) {
        fail(command, "cannot read the key %s: %s", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    pass_phrase_request request{command, name.c_str()};
    pkey_ptr key(PEM_read_PrivateKey(f.get(), nullptr, pass_phrase_callback, &request));
    if (key)
        return key;
    if (request.refused)
        ERR_clear_error();
    else if (request.given)
        fail(command, "wrong pass phrase for %s (it does not decrypt the key)", name.c_str());
    else if (not_a_key != nullptr)
        fail(command, "%s %s", name.c_str(), not_a_key);
    else
        fail(command, "%s is not a PEM private key: %s", name.c_str(), openssl_error().c_str());
    ERR_clear_error();
    return nullptr;
}

pkey_ptr load_private_key(const char* command, const std::string& path)
{
    pkey_ptr key = is_pkcs11_uri(path) ? load_pkcs11_private_key(command, path) : read_private_key_file(command, path);
    if (!key)
        return nullptr;
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 1024) {
        fail(command, "%s is not a 1024-bit RSA key, which the signature field needs",
             printable_key_name(path).c_str());
        return nullptr;
    }
    return key;
}

int sign_image(const char* command, std::vector<std::uint8_t>& image, EVP_PKEY* key)
{
    if (image.size() < k_firmware_min_len)
        return fail(command, "an image of %zu bytes has no room for its signature", image.size());
    std::array<std::uint8_t, 16> digest{};
    firmware_signed_digest(image, digest);

    // EVP_DigestSign with SHA-1 hashes the 16-byte digest and pads it as PKCS#1 v1.5.
    evp_md_ctx_ptr ctx(EVP_MD_CTX_new());
    std::array<std::uint8_t, k_firmware_signature_len> signature{};
    std::size_t signature_len = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &signature_len, digest.data(), digest.size()) != 1)
        return fail(command, "signing failed: %s", openssl_error().c_str());
    if (signature_len != signature.size())
        return fail(command, "the signature has %zu bytes, not %zu", signature_len, signature.size());
    // OpenSSL gives the value most significant byte first; the field holds it the other way round.
    std::reverse_copy(signature.begin(), signature.end(),
                      image.begin() + static_cast<std::ptrdiff_t>(k_firmware_signature_offset));
    return 0;
}

} // namespace vorna_image
