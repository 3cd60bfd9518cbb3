// SPDX-License-Identifier: Apache-2.0
// Public keys of the checking subcommands. The legacy check is vorna's own
// verifier, so that what the tool reports is what a device decides.
#include "tools/vorna_image_keys.h"

#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_source.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorna_image {

namespace {

/// The base64 line of a 148-byte key blob with the "RSA1" magic, as keygen writes it.
bool is_key_blob_text(const std::vector<std::uint8_t>& text)
{
    constexpr std::size_t k_text_len = 200;
    if (text.size() != k_text_len)
        return false;
    std::array<unsigned char, k_text_len / 4 * 3> blob{};
    if (EVP_DecodeBlock(blob.data(), text.data(), static_cast<int>(text.size())) != static_cast<int>(blob.size()))
        return false;
    return std::memcmp(blob.data() + 8, "RSA1", 4) == 0;
}

bool is_pem(const std::vector<std::uint8_t>& text)
{
    constexpr std::string_view k_begin = "-----BEGIN ";
    return std::search(text.begin(), text.end(), k_begin.begin(), k_begin.end()) != text.end();
}

} // namespace

int refuse_token_public_key(const char* command, const std::string& path)
{
    const std::string name = printable_key_name(path);
    if (name == path)
        return 0;
    return fail(command, "%s: a public key is given as a file, not as a token URI", name.c_str());
}

int load_legacy_public_key(const char* command, const std::string& path, legacy_public_key& key)
{
    std::vector<std::uint8_t> text;
    if (refuse_token_public_key(command, path) != 0 || read_whole(command, path, text) != 0)
        return 1;
    while (!text.empty() && std::isspace(text.back()) != 0)
        text.pop_back();
    if (!is_key_blob_text(text))
        return fail(command, "%s is not a key blob (the base64 line of 148 bytes that keygen writes)", path.c_str());
    key.path = path;
    key.text.assign(text.begin(), text.end());
    return 0;
}

int load_public_keys(const char* command, const std::vector<std::string>& paths, public_keys& keys)
{
    for (const std::string& path : paths) {
        std::vector<std::uint8_t> text;
        if (refuse_token_public_key(command, path) != 0 || read_whole(command, path, text) != 0)
            return 1;
        if (is_pem(text)) {
            std::vector<strong_public_key> one;
            if (load_strong_public_keys(command, {path}, one) != 0)
                return 1;
            keys.strong.push_back(one.front());
            continue;
        }
        legacy_public_key legacy;
        if (load_legacy_public_key(command, path, legacy) != 0)
            return 1;
        keys.legacy.push_back(legacy);
    }
    return 0;
}

firmware_dual_digests image_digests(const std::vector<std::uint8_t>& image)
{
    firmware_file file;
    firmware_dual_digests digests{};
    if (file.open_bytes(image, "(image)") < 0 || firmware_image_digests(file, digests) < 0)
        digests.legacy_rc = digests.strong_rc = -1;
    return digests;
}

bool legacy_signature_verifies(const std::vector<std::uint8_t>& image, const firmware_dual_digests& digests,
                               const legacy_public_key& key)
{
    if (image.size() < k_firmware_min_len || digests.legacy_rc != 0)
        return false;
    const auto field = std::span(image).subspan(k_firmware_signature_offset).first<k_firmware_signature_len>();
    return firmware_verify_digest(digests.legacy, field, key.text) == 0;
}

bool legacy_signature_absent(const std::vector<std::uint8_t>& image)
{
    if (image.size() < k_firmware_min_len)
        return true;
    const auto field = std::span(image).subspan(k_firmware_signature_offset, k_firmware_signature_len);
    return std::all_of(field.begin(), field.end(), [](std::uint8_t b) { return b == 0; });
}

int print_json(const char* command, const cJSON* doc)
{
    std::unique_ptr<char, void (*)(void*)> text(cJSON_Print(doc), cJSON_free);
    if (!text)
        return fail(command, "out of memory");
    std::printf("%s\n", text.get());
    return 0;
}

std::string hex_text(std::span<const std::uint8_t> bytes)
{
    static constexpr char k_hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (std::uint8_t b : bytes) {
        out += k_hex[b >> 4];
        out += k_hex[b & 0x0F];
    }
    return out;
}

} // namespace vorna_image
