// vorna-image info: shows what an image holds, read with vorna's own decoders.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_strong.h"

#include "crypto/rsa_pkcs1.h"
#include "vorna/vorna_firmware.h"
#include "vorna/vorna_ptn_header.h"
#include "vorna/vorna_ptn_support_list.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;

constexpr const char* k_command = "info";

const char* type_name(std::uint32_t type)
{
    switch (type) {
    case k_firmware_type_nor:
        return "nor";
    case k_firmware_type_emmc:
        return "emmc";
    default:
        return "invalid";
    }
}

bool blank(const firmware_ptn_entry& e)
{
    return std::all_of(e.name.begin(), e.name.end(), [](char c) { return c == '\0'; }) && e.base == 0 &&
           e.size == 0 && e.content_offset == 0 && e.content_size == 0 && e.type == 0;
}

/// The last entry named `name` (the one vorna uses), or null.
const firmware_ptn_entry* last_named(const firmware_ptn_table& table, const char* name)
{
    const firmware_ptn_entry* found = nullptr;
    for (const firmware_ptn_entry& e : table.entries) {
        if (firmware_ptn_name_is(e, name))
            found = &e;
    }
    return found;
}

/// Whether the signature of `image` verifies under the key blob in `blob_path`. 0, or 1 after printing.
int check_signature(const std::vector<std::uint8_t>& image, const std::string& blob_path, bool& verified)
{
    std::vector<std::uint8_t> text;
    if (read_whole(k_command, blob_path, text) != 0)
        return 1;
    while (!text.empty() && std::isspace(text.back()) != 0)
        text.pop_back();
    std::array<std::uint8_t, 16> digest{};
    firmware_signed_digest(image, digest);
    verified = rsa_verify_sha1(reinterpret_cast<const char*>(text.data()), static_cast<unsigned>(text.size()),
                               digest.data(), static_cast<std::int32_t>(digest.size()),
                               image.data() + k_firmware_signature_offset,
                               static_cast<unsigned>(k_firmware_signature_len)) == 1;
    return 0;
}

void print_support_list(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image)
{
    if (last_named(table, "support-list") == nullptr) {
        std::printf("support-list:     none (no device accepts this image)\n");
        return;
    }
    // vorna's own reader, so that what is shown is what a device would see.
    auto list = support_list_from_image(&table, image);
    if (!list) {
        std::printf("support-list:     not readable (see above)\n");
        return;
    }
    std::printf("support-list:     %d entr%s\n", list->count, list->count == 1 ? "y" : "ies");
    for (int i = 0; i < list->count; ++i) {
        const support_entry& s = list->entries[static_cast<std::size_t>(i)];
        std::printf("  product_name=\"%s\" product_version=\"%s\" special_id=\"%s\"\n", s.product_name.data(),
                    s.product_version.data(), s.special_id.data());
    }
}

void print_firmware_info(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image)
{
    const firmware_ptn_entry* e = last_named(table, "firmware-info");
    if (e == nullptr) {
        std::printf("firmware-info:    none\n");
        return;
    }
    auto contents = firmware_ptn_contents(*e, image);
    if (!contents || contents->size() < k_ptn_header_len) {
        std::printf("firmware-info:    not readable (its contents do not fit the image)\n");
        return;
    }
    ptn_header h = ptn_header_decode(contents->first<k_ptn_header_len>());
    if (h.magic != k_ptn_header_magic || !ptn_header_content(h, *contents))
        std::printf("firmware-info:    not readable (no valid content header)\n");
    else
        std::printf("firmware-info:    %u bytes\n", h.content_len);
}

} // namespace

void image_info_help()
{
    std::printf("Usage: vorna-image info IMAGE [KEY_BLOB.txt]\n"
                "       vorna-image info IMAGE [KEY_BLOB.txt] --key PUBLIC_KEY.pem...\n"
                "\n"
                "Prints the header fields of IMAGE, its table entries, its support list and\n"
                "the size of its firmware-info document. With KEY_BLOB.txt (as written by\n"
                "keygen), also whether the signature verifies under that key. Lists every\n"
                "strong signature with its key identifier; for each --key (an Ed25519\n"
                "public key), whether its signature verifies.\n"
                "\n"
                "Exit status: 0 when the image is sound (and, with a key blob, its signature\n"
                "verifies, and every --key signed it validly), 1 otherwise.\n");
}

int image_info_main(int argc, char** argv)
{
    std::vector<std::string> strong_paths;
    std::vector<strong_public_key> strong_keys;
    if (take_key_options(k_command, argc, argv, strong_paths) != 0 ||
        load_strong_public_keys(k_command, strong_paths, strong_keys) != 0)
        return 1;
    if (argc != 2 && argc != 3)
        return fail(k_command, "expected IMAGE [KEY_BLOB.txt] (see vorna-image info --help)");
    const std::string image_path = argv[1];
    std::vector<std::uint8_t> image;
    if (read_whole(k_command, image_path, image) != 0)
        return 1;
    auto header = firmware_header_decode(image);
    if (!header)
        return fail(k_command, "out of memory");

    int status = 0;
    std::printf("image:            %s, %zu bytes\n", image_path.c_str(), image.size());
    std::printf("first_word:       0x%08X\n", header->first_word);
    std::printf("magic:            0x%08X%s\n", header->magic,
                header->magic == k_firmware_magic ? "" : " (wrong, not an image)");
    std::printf("ptn_table_offset: 0x%08X\n", header->ptn_table_offset);
    bool length_ok = header->total_len == image.size();
    std::printf("total_len:        0x%08X (%u)%s\n", header->total_len, header->total_len,
                length_ok ? "" : " (differs from the file's size)");
    if (header->magic != k_firmware_magic || !length_ok)
        status = 1;

    if (image.size() < k_firmware_min_len) {
        std::printf("signature:        none (the file is too short)\n");
        status = 1;
    } else if (argc == 3) {
        bool verified = false;
        if (check_signature(image, argv[2], verified) != 0)
            return 1;
        std::printf("signature:        %s with %s\n", verified ? "verifies" : "does NOT verify", argv[2]);
        if (!verified)
            status = 1;
    } else {
        std::printf("signature:        not checked (no key blob given)\n");
    }
    if (print_strong_signatures(k_command, image, strong_keys) != 0)
        status = 1;

    if (std::uint64_t{header->ptn_table_offset} + k_firmware_ptn_table_len > image.size()) {
        std::printf("entries:          none (the table lies outside the file)\n");
        return 1;
    }
    auto table = firmware_ptn_table_decode(std::span(image).subspan(header->ptn_table_offset));
    if (!table)
        return fail(k_command, "out of memory");
    std::printf("entries:\n");
    std::printf("   #  %-31s  %-10s  %-10s  %-10s  %-10s  type\n", "name", "base", "size", "offset", "length");
    bool walked = true;
    for (std::size_t i = 0; i < table->entries.size(); ++i) {
        const firmware_ptn_entry& e = table->entries[i];
        const char* note = "";
        if (walked && e.size == 0) {
            walked = false;
            note = " (an upgrade stops here)";
        }
        if (blank(e))
            continue;
        std::printf("  %2zu  %-31.32s  0x%08X  0x%08X  0x%08X  0x%08X  %s%s%s\n", i, e.name.data(), e.base, e.size,
                    e.content_offset, e.content_size, type_name(e.type),
                    firmware_ptn_contents_inside(e, image.size()) ? "" : " (contents outside the file)", note);
    }
    print_support_list(*table, image);
    print_firmware_info(*table, image);
    return status;
}
