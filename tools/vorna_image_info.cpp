// SPDX-License-Identifier: Apache-2.0
// vorna-image info: shows what an image holds, read with vorna's own decoders.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_keys.h"
#include "tools/vorna_image_strong.h"

#include "vorna/storage/unique_fd.h"
#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_source.h"
#include "vorna/partition/vorna_ptn_header.h"
#include "vorna/identity/vorna_ptn_support_list.h"

#include <openssl/evp.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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

/// The image's document named `name` by vorna's own rule (firmware_document_find).
firmware_document_status find_document(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image,
                                       const char* name, firmware_document& out)
{
    firmware_file source;
    if (source.open_bytes(image, "(image)") < 0) {
        out = firmware_document{};
        out.status = firmware_document_status::unreadable;
        return out.status;
    }
    return firmware_document_find(table, name, source, out);
}

/// Prints the strong signatures of the account signatures_json gave, each with
/// its key identifier and, where a --key matches, whether it verifies. 0 when
/// the block is sound and every given key signed the image validly, else 1.
int print_strong_signatures(const cJSON* account, const firmware_dual_digests& digests)
{
    const cJSON* block = cJSON_GetObjectItem(account, "signature_block");
    const std::string status = cJSON_GetObjectItem(block, "status")->valuestring;
    const int count = cJSON_GetObjectItem(block, "count")->valueint;
    if (status == "missing") {
        std::printf("strong signatures: none (no signature block)\n");
    } else if (status != "ok") {
        std::printf("strong signatures: the signature block is malformed (%s)\n",
                    cJSON_GetObjectItem(block, "reason")->valuestring);
        return 1;
    } else {
        std::printf("strong signatures: %d\n", count);
    }
    if (count > 0 && digests.strong_rc != 0)
        return fail(k_command, "cannot compute the strong digest");
    int result = 0;
    int i = 0;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(account, "signatures"))
    {
        if (std::strcmp(cJSON_GetObjectItem(item, "kind")->valuestring, "strong") != 0)
            continue;
        std::printf("  %d  ed25519  key %s  ", ++i, cJSON_GetObjectItem(item, "key_id")->valuestring);
        const std::string verdict = cJSON_GetObjectItem(item, "status")->valuestring;
        if (verdict == "not checked") {
            std::printf("not checked (no --key for it)\n");
            continue;
        }
        std::printf("%s with %s\n", verdict == "verifies" ? "verifies" : "does NOT verify",
                    cJSON_GetObjectItem(item, "key")->valuestring);
        result |= verdict == "verifies" ? 0 : 1;
    }
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(account, "keys_without_signature"))
    {
        std::printf("  key %s (%s): no signature by this key\n", cJSON_GetObjectItem(item, "key_id")->valuestring,
                    cJSON_GetObjectItem(item, "key")->valuestring);
        result = 1;
    }
    return result;
}

/// Sends what is printed on stdout to stderr while it lives: vorna's readers
/// report on stdout, which --json keeps for the document.
class stdout_to_stderr {
public:
    stdout_to_stderr() : saved_(::dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        if (saved_)
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    stdout_to_stderr(const stdout_to_stderr&) = delete;
    stdout_to_stderr& operator=(const stdout_to_stderr&) = delete;
    ~stdout_to_stderr()
    {
        std::fflush(stdout);
        if (saved_)
            ::dup2(saved_.get(), STDOUT_FILENO);
    }

private:
    unique_fd saved_;
};

void add_number(cJSON* object, const char* key, double value)
{
    cJSON_AddItemToObject(object, key, cJSON_CreateNumber(value));
}

/// The support list as vorna reads it: "present", "readable" and the entries.
/// vorna's messages go to stdout, or to stderr when `quiet`.
cJSON* support_list_json(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image, bool quiet)
{
    cJSON* out = cJSON_CreateObject();
    firmware_document found;
    const bool present = find_document(table, image, "support-list", found) != firmware_document_status::none;
    cJSON_AddBoolToObject(out, "present", present);
    if (!present)
        return out;
    std::unique_ptr<support_list> list;
    {
        std::optional<stdout_to_stderr> away;
        if (quiet)
            away.emplace();
        // vorna's own reader, so that what is shown is what a device would see.
        list = support_list_from_image(&table, image);
    }
    cJSON_AddBoolToObject(out, "readable", list != nullptr);
    if (!list)
        return out;
    cJSON* entries = cJSON_AddArrayToObject(out, "entries");
    for (int i = 0; i < list->count; ++i) {
        const support_entry& s = list->entries[static_cast<std::size_t>(i)];
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "product_name", s.product_name.data());
        cJSON_AddStringToObject(item, "product_version", s.product_version.data());
        cJSON_AddStringToObject(item, "special_id", s.special_id.data());
        cJSON_AddItemToArray(entries, item);
    }
    return out;
}

void print_support_list(const cJSON* list)
{
    const cJSON* entries = cJSON_GetObjectItem(list, "entries");
    if (!cJSON_IsTrue(cJSON_GetObjectItem(list, "present"))) {
        std::printf("support-list:     none (no device accepts this image)\n");
        return;
    }
    if (entries == nullptr) {
        std::printf("support-list:     not readable (see above)\n");
        return;
    }
    const int count = cJSON_GetArraySize(entries);
    std::printf("support-list:     %d entr%s\n", count, count == 1 ? "y" : "ies");
    const cJSON* s = nullptr;
    cJSON_ArrayForEach(s, entries)
    {
        std::printf("  product_name=\"%s\" product_version=\"%s\" special_id=\"%s\"\n",
                    cJSON_GetObjectItem(s, "product_name")->valuestring,
                    cJSON_GetObjectItem(s, "product_version")->valuestring,
                    cJSON_GetObjectItem(s, "special_id")->valuestring);
    }
}

/// Why vorna cannot read a document: the word info --json gives, and the text's.
struct unreadable_reason {
    firmware_document_status status;
    const char* word;
    const char* text;
};
constexpr unreadable_reason k_unreadable[] = {
    {firmware_document_status::outside, "outside", "its contents lie outside the image"},
    {firmware_document_status::no_header, "no_header", "no valid content header"},
    {firmware_document_status::too_long, "too_long", "exceeds its contents"},
    {firmware_document_status::too_big, "too_big", "exceeds the 1048576 bytes vorna reads"},
    {firmware_document_status::unreadable, "unreadable", "it cannot be read"},
    {firmware_document_status::no_memory, "unreadable", "it cannot be read"},
};
static_assert(k_firmware_document_max == 1048576, "the reason's text names the limit");

/// The "firmware-info" document as `vorna -v` judges it: "present", "readable",
/// its "bytes"; when unreadable, the "entry" at fault and the "reason", and in
/// `why` the reason as text.
cJSON* firmware_info_json(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image,
                          std::string* why = nullptr)
{
    cJSON* out = cJSON_CreateObject();
    firmware_document info;
    const firmware_document_status status = find_document(table, image, "firmware-info", info);
    cJSON_AddBoolToObject(out, "present", status != firmware_document_status::none);
    if (status == firmware_document_status::none)
        return out;
    cJSON_AddBoolToObject(out, "readable", status == firmware_document_status::ok);
    if (status == firmware_document_status::ok) {
        add_number(out, "bytes", info.doc.frame.header.content_len);
        return out;
    }
    const auto reason = std::find_if(std::begin(k_unreadable), std::end(k_unreadable),
                                     [&](const unreadable_reason& r) { return r.status == status; });
    const char* word = reason == std::end(k_unreadable) ? "unreadable" : reason->word;
    std::string text = reason == std::end(k_unreadable) ? "it cannot be read" : reason->text;
    if (status == firmware_document_status::too_long || status == firmware_document_status::too_big)
        text = "content_len " + std::to_string(info.doc.frame.header.content_len) + " " + text;
    add_number(out, "entry", info.index);
    cJSON_AddStringToObject(out, "reason", word);
    if (why != nullptr)
        *why = "entry " + std::to_string(info.index) + ": " + text + "; vorna -v refuses the image";
    return out;
}

void print_firmware_info(const cJSON* info, const std::string& why)
{
    if (!cJSON_IsTrue(cJSON_GetObjectItem(info, "present")))
        std::printf("firmware-info:    none\n");
    else if (!cJSON_IsTrue(cJSON_GetObjectItem(info, "readable")))
        std::printf("firmware-info:    not readable (%s)\n", why.c_str());
    else
        std::printf("firmware-info:    %u bytes\n",
                    static_cast<unsigned>(cJSON_GetObjectItem(info, "bytes")->valuedouble));
}

cJSON* entries_json(const firmware_ptn_table& table, std::size_t image_size)
{
    cJSON* out = cJSON_CreateArray();
    const std::size_t walked = firmware_walked_entries(table).size();
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const firmware_ptn_entry& e = table.entries[i];
        const bool stops = i == walked;
        if (firmware_ptn_entry_blank(e))
            continue;
        cJSON* item = cJSON_CreateObject();
        add_number(item, "index", static_cast<double>(i));
        cJSON_AddStringToObject(item, "name",
                                std::string(e.name.data(), strnlen(e.name.data(), e.name.size())).c_str());
        add_number(item, "base", e.base);
        add_number(item, "size", e.size);
        add_number(item, "offset", e.content_offset);
        add_number(item, "length", e.content_size);
        cJSON_AddStringToObject(item, "type", type_name(e.type));
        add_number(item, "type_value", e.type);
        cJSON_AddBoolToObject(item, "inside", firmware_ptn_contents_inside(e, image_size));
        cJSON_AddBoolToObject(item, "upgrade_stops_here", stops);
        cJSON_AddItemToArray(out, item);
    }
    return out;
}

/// `info --json`: what the text form prints, as one object, with the same exit status.
int image_info_json(const std::string& image_path, const std::vector<std::uint8_t>& image,
                    const firmware_dual_digests& digests, const firmware_header* header, const char* blob_path,
                    const std::vector<strong_public_key>& strong_keys)
{
    cjson_ptr doc(cJSON_CreateObject());
    cJSON* root = doc.get();
    cJSON_AddStringToObject(root, "image", image_path.c_str());
    add_number(root, "bytes", static_cast<double>(image.size()));
    add_number(root, "first_word", header->first_word);
    add_number(root, "magic", header->magic);
    const bool magic_ok = header->magic == k_firmware_magic;
    cJSON_AddBoolToObject(root, "magic_ok", magic_ok);
    add_number(root, "ptn_table_offset", header->ptn_table_offset);
    add_number(root, "total_len", header->total_len);
    const bool length_ok = header->total_len == image.size();
    cJSON_AddBoolToObject(root, "total_len_ok", length_ok);
    int status = magic_ok && length_ok ? 0 : 1;

    public_keys keys;
    keys.strong = strong_keys;
    if (blob_path != nullptr && load_legacy_public_key(k_command, blob_path, keys.legacy.emplace_back()) != 0)
        return 1;
    const char* signature = "not checked";
    if (image.size() < k_firmware_min_len) {
        signature = "none";
        status = 1;
    } else if (blob_path != nullptr) {
        const bool verified = legacy_signature_verifies(image, digests, keys.legacy.front());
        signature = verified ? "verifies" : "does not verify";
        cJSON_AddStringToObject(root, "key", blob_path);
        status |= verified ? 0 : 1;
    }
    cJSON_AddStringToObject(root, "signature", signature);

    // Every signature, the legacy one first, as verify --json gives them.
    bool all_verify = false;
    cjson_ptr account(signatures_json(image, digests, keys, all_verify));
    if (!keys.strong.empty() && !all_verify)
        status = 1;
    for (const char* member : {"signatures", "signature_block", "keys_without_signature"})
        cJSON_AddItemToObject(root, member, cJSON_DetachItemFromObject(account.get(), member));
    const char* block_status = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "signature_block"), "status")->valuestring;
    if (std::strcmp(block_status, "malformed") == 0)
        status = 1;

    if (firmware_table_within(*header, image.size()).len < k_firmware_ptn_table_len) {
        cJSON_AddNullToObject(root, "entries");
        status = 1;
    } else {
        auto table = firmware_ptn_table_decode(std::span(image).subspan(header->ptn_table_offset));
        if (!table)
            return fail(k_command, "out of memory");
        cJSON_AddItemToObject(root, "entries", entries_json(*table, image.size()));
        cJSON_AddItemToObject(root, "support_list", support_list_json(*table, image, true));
        cJSON_AddItemToObject(root, "firmware_info", firmware_info_json(*table, image));
    }
    return print_json(k_command, root) != 0 ? 1 : status;
}

} // namespace

void image_info_help()
{
    std::printf("Usage: vorna-image info [--json] IMAGE [KEY_BLOB.txt]\n"
                "       vorna-image info [--json] IMAGE [KEY_BLOB.txt] --key PUBLIC_KEY.pem...\n"
                "\n"
                "Prints the header fields of IMAGE, its table entries, its support list and\n"
                "the size of its firmware-info document. With KEY_BLOB.txt (as written by\n"
                "keygen), also whether the signature verifies under that key. Lists every\n"
                "strong signature with its key identifier; for each --key (an Ed25519\n"
                "public key), whether its signature verifies. With --json, the same as one\n"
                "JSON object; vorna's own messages then go to stderr.\n"
                "\n"
                "Exit status: 0 when the image is sound (and, with a key blob, its signature\n"
                "verifies, and every --key signed it validly), 1 otherwise.\n");
}

int image_info_main(int argc, char** argv)
{
    const bool json = take_flag(argc, argv, "--json");
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
    const firmware_dual_digests digests = image_digests(image);
    if (json)
        return image_info_json(image_path, image, digests, header.get(), argc == 3 ? argv[2] : nullptr, strong_keys);

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

    public_keys keys;
    keys.strong = strong_keys;
    if (image.size() < k_firmware_min_len) {
        std::printf("signature:        none (the file is too short)\n");
        status = 1;
    } else if (argc == 3) {
        if (load_legacy_public_key(k_command, argv[2], keys.legacy.emplace_back()) != 0)
            return 1;
        const bool verified = legacy_signature_verifies(image, digests, keys.legacy.front());
        std::printf("signature:        %s with %s\n", verified ? "verifies" : "does NOT verify", argv[2]);
        if (!verified)
            status = 1;
    } else {
        std::printf("signature:        not checked (no key blob given)\n");
    }
    bool all_verify = false;
    cjson_ptr account(signatures_json(image, digests, keys, all_verify));
    if (print_strong_signatures(account.get(), digests) != 0)
        status = 1;

    if (firmware_table_within(*header, image.size()).len < k_firmware_ptn_table_len) {
        std::printf("entries:          none (the table lies outside the file)\n");
        return 1;
    }
    auto table = firmware_ptn_table_decode(std::span(image).subspan(header->ptn_table_offset));
    if (!table)
        return fail(k_command, "out of memory");
    std::printf("entries:\n");
    std::printf("   #  %-31s  %-10s  %-10s  %-10s  %-10s  type\n", "name", "base", "size", "offset", "length");
    const std::size_t walked = firmware_walked_entries(*table).size();
    for (std::size_t i = 0; i < table->entries.size(); ++i) {
        const firmware_ptn_entry& e = table->entries[i];
        const char* note = i == walked ? " (an upgrade stops here)" : "";
        if (firmware_ptn_entry_blank(e))
            continue;
        std::printf("  %2zu  %-31.32s  0x%08X  0x%08X  0x%08X  0x%08X  %s%s%s\n", i, e.name.data(), e.base, e.size,
                    e.content_offset, e.content_size, type_name(e.type),
                    firmware_ptn_contents_inside(e, image.size()) ? "" : " (contents outside the file)", note);
    }
    cjson_ptr list(support_list_json(*table, image, false));
    print_support_list(list.get());
    std::string why;
    cjson_ptr info(firmware_info_json(*table, image, &why));
    print_firmware_info(info.get(), why);
    return status;
}
