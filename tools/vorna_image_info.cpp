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

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
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

/// How the text form names one signature block.
struct block_words {
    const char* head;    ///< "strong signatures: "
    const char* missing; ///< after the head when there is no block
    const char* block;   ///< "the signature block"
    const char* digest;  ///< "the strong digest"
};
constexpr block_words k_image_block{"strong signatures: ", "none (no signature block)", "the signature block",
                                    "the strong digest"};
constexpr block_words k_index_block{"index signatures: ", "none (the index is unsigned)", "the index's signature block",
                                    "the index digest"};

/// Prints the signatures of one block of an account (signatures_json, index_json),
/// each with its key identifier and, where a --key matches, whether it verifies.
/// 0 when the block is sound and every given key signed validly, else 1.
int print_block_signatures(const cJSON* account, bool have_digest, const block_words& words)
{
    const cJSON* block = cJSON_GetObjectItem(account, "signature_block");
    const std::string status = cJSON_GetObjectItem(block, "status")->valuestring;
    const int count = cJSON_GetObjectItem(block, "count")->valueint;
    if (status == "missing") {
        std::printf("%s%s\n", words.head, words.missing);
    } else if (status != "ok") {
        std::printf("%s%s is malformed (%s)\n", words.head, words.block,
                    cJSON_GetObjectItem(block, "reason")->valuestring);
        return 1;
    } else {
        std::printf("%s%d\n", words.head, count);
    }
    if (count > 0 && !have_digest)
        return fail(k_command, "cannot compute %s", words.digest);
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

/// Keeps what is printed on stdout while it lives, to be printed where the
/// record's printer puts it: vorna's readers report on stdout, which --json
/// keeps for the document.
class stdout_captured {
public:
    stdout_captured() : file_(::memfd_create("vorna-image-said", MFD_CLOEXEC)), saved_(::dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        if (file_ && saved_)
            ::dup2(file_.get(), STDOUT_FILENO);
    }
    stdout_captured(const stdout_captured&) = delete;
    stdout_captured& operator=(const stdout_captured&) = delete;
    ~stdout_captured() { (void)text(); }

    /// Ends the capture (once) and gives what was printed.
    std::string text()
    {
        if (!file_ || !saved_)
            return {};
        std::fflush(stdout);
        ::dup2(saved_.get(), STDOUT_FILENO);
        saved_.reset();
        std::string said;
        std::array<char, 4096> piece{};
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(file_.get(), piece.data(), piece.size(), at);
            if (n <= 0)
                break;
            said.append(piece.data(), static_cast<std::size_t>(n));
            at += n;
        }
        return said;
    }

private:
    unique_fd file_;
    unique_fd saved_;
};

void add_number(cJSON* object, const char* key, double value)
{
    cJSON_AddItemToObject(object, key, cJSON_CreateNumber(value));
}

/// The support list as vorna reads it: "present", "readable" and the entries;
/// vorna's messages while it reads go to `said`.
cJSON* support_list_json(const firmware_ptn_table& table, const std::vector<std::uint8_t>& image, std::string& said)
{
    cJSON* out = cJSON_CreateObject();
    firmware_document found;
    const bool present = find_document(table, image, "support-list", found) != firmware_document_status::none;
    cJSON_AddBoolToObject(out, "present", present);
    if (!present)
        return out;
    std::unique_ptr<support_list> list;
    {
        stdout_captured capture;
        // vorna's own reader, so that what is shown is what a device would see.
        list = support_list_from_image(&table, image);
        said = capture.text();
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

/// Everything info shows about an image, built once and printed as text or JSON.
struct image_info {
    std::string path;
    std::vector<std::uint8_t> image;
    std::unique_ptr<firmware_header> header;
    firmware_dual_digests digests{};
    bool magic_ok = false;
    bool length_ok = false;
    const char* blob_path = nullptr;
    bool key_failed = false;     ///< the key blob could not be loaded (printed)
    bool legacy_checked = false; ///< a key blob judged the legacy signature
    bool legacy_verified = false;
    public_keys keys;
    cjson_ptr account{nullptr}; ///< signatures_json's account
    bool all_verify = false;
    std::unique_ptr<firmware_ptn_table> table; ///< null when the table lies outside the file
    cjson_ptr support_list{nullptr};
    std::string vorna_said; ///< vorna's messages while it read the support list
    cjson_ptr firmware_info{nullptr};
    std::string info_why;
    cjson_ptr index{nullptr}; ///< index_json's account
    bool index_ok = true;     ///< a sound index, and every --key signed it validly
};

/// Judges the header and the signatures of `info.image`. The key blob is loaded
/// where a printer needs it: always for --json, for text only when the image
/// has room for the signature.
void judge_signatures(image_info& info, bool json)
{
    info.magic_ok = info.header->magic == k_firmware_magic;
    info.length_ok = info.header->total_len == info.image.size();
    const bool has_room = info.image.size() >= k_firmware_min_len;
    if (info.blob_path != nullptr && (json || has_room)) {
        info.key_failed = load_legacy_public_key(k_command, info.blob_path, info.keys.legacy.emplace_back()) != 0;
        if (info.key_failed)
            return;
        info.legacy_checked = has_room;
        info.legacy_verified =
            has_room && legacy_signature_verifies(info.image, info.digests, info.keys.legacy.front());
    }
    info.account.reset(signatures_json(info.image, info.digests, info.keys, info.all_verify));
}

/// Builds the record of the image at `path`. 0, or 1 after printing.
int build_info(const std::string& path, const char* blob_path, const std::vector<strong_public_key>& strong_keys,
               bool json, image_info& info)
{
    info.path = path;
    info.blob_path = blob_path;
    info.keys.strong = strong_keys;
    if (read_whole(k_command, path, info.image) != 0)
        return 1;
    info.header = firmware_header_decode(info.image);
    if (!info.header)
        return fail(k_command, "out of memory");
    info.digests = image_digests(info.image);
    judge_signatures(info, json);
    if (info.key_failed || firmware_table_within(*info.header, info.image.size()).len < k_firmware_ptn_table_len)
        return 0;
    info.table = firmware_ptn_table_decode(std::span(info.image).subspan(info.header->ptn_table_offset));
    if (!info.table)
        return fail(k_command, "out of memory");
    info.support_list.reset(support_list_json(*info.table, info.image, info.vorna_said));
    info.firmware_info.reset(firmware_info_json(*info.table, info.image, &info.info_why));
    info.index.reset(index_json(info.image, info.keys, info.index_ok));
    return 0;
}

/// `info --json`: what the text form prints, as one object, with the same exit status.
int print_info_json(image_info& info)
{
    if (info.key_failed)
        return 1;
    std::fputs(info.vorna_said.c_str(), stderr);
    const firmware_header& header = *info.header;
    cjson_ptr doc(cJSON_CreateObject());
    cJSON* root = doc.get();
    cJSON_AddStringToObject(root, "image", info.path.c_str());
    add_number(root, "bytes", static_cast<double>(info.image.size()));
    add_number(root, "first_word", header.first_word);
    add_number(root, "magic", header.magic);
    cJSON_AddBoolToObject(root, "magic_ok", info.magic_ok);
    add_number(root, "ptn_table_offset", header.ptn_table_offset);
    add_number(root, "total_len", header.total_len);
    cJSON_AddBoolToObject(root, "total_len_ok", info.length_ok);
    int status = info.magic_ok && info.length_ok ? 0 : 1;
    const char* signature = "not checked";
    if (info.image.size() < k_firmware_min_len) {
        signature = "none";
        status = 1;
    } else if (info.legacy_checked) {
        signature = info.legacy_verified ? "verifies" : "does not verify";
        cJSON_AddStringToObject(root, "key", info.blob_path);
        status |= info.legacy_verified ? 0 : 1;
    }
    cJSON_AddStringToObject(root, "signature", signature);
    // Every signature, the legacy one first, as verify --json gives them.
    if (!info.keys.strong.empty() && !info.all_verify)
        status = 1;
    for (const char* member : {"signatures", "signature_block", "keys_without_signature"})
        cJSON_AddItemToObject(root, member, cJSON_DetachItemFromObject(info.account.get(), member));
    const char* block_status = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "signature_block"), "status")->valuestring;
    if (std::strcmp(block_status, "malformed") == 0)
        status = 1;
    if (!info.table) {
        cJSON_AddNullToObject(root, "entries");
        status = 1;
    } else {
        cJSON_AddItemToObject(root, "entries", entries_json(*info.table, info.image.size()));
        cJSON_AddItemToObject(root, "support_list", info.support_list.release());
        cJSON_AddItemToObject(root, "firmware_info", info.firmware_info.release());
        cJSON_AddItemToObject(root, "index", info.index.release());
        status |= info.index_ok ? 0 : 1;
    }
    return print_json(k_command, root) != 0 ? 1 : status;
}

/// The header lines of the text form. 0 when the header is sound, else 1.
int print_header_text(const image_info& info)
{
    const firmware_header& header = *info.header;
    std::printf("image:            %s, %zu bytes\n", info.path.c_str(), info.image.size());
    std::printf("first_word:       0x%08X\n", header.first_word);
    std::printf("magic:            0x%08X%s\n", header.magic, info.magic_ok ? "" : " (wrong, not an image)");
    std::printf("ptn_table_offset: 0x%08X\n", header.ptn_table_offset);
    std::printf("total_len:        0x%08X (%u)%s\n", header.total_len, header.total_len,
                info.length_ok ? "" : " (differs from the file's size)");
    return info.magic_ok && info.length_ok ? 0 : 1;
}

/// The entry lines of the text form.
void print_entries_text(const firmware_ptn_table& table, std::size_t image_size)
{
    std::printf("entries:\n");
    std::printf("   #  %-31s  %-10s  %-10s  %-10s  %-10s  type\n", "name", "base", "size", "offset", "length");
    const std::size_t walked = firmware_walked_entries(table).size();
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const firmware_ptn_entry& e = table.entries[i];
        const char* note = i == walked ? " (an upgrade stops here)" : "";
        if (firmware_ptn_entry_blank(e))
            continue;
        std::printf("  %2zu  %-31.32s  0x%08X  0x%08X  0x%08X  0x%08X  %s%s%s\n", i, e.name.data(), e.base, e.size,
                    e.content_offset, e.content_size, type_name(e.type),
                    firmware_ptn_contents_inside(e, image_size) ? "" : " (contents outside the file)", note);
    }
}

/// `info`: the record as text.
int print_info_text(const image_info& info)
{
    int status = print_header_text(info);
    if (info.key_failed)
        return 1;
    if (info.image.size() < k_firmware_min_len) {
        std::printf("signature:        none (the file is too short)\n");
        status = 1;
    } else if (info.legacy_checked) {
        std::printf("signature:        %s with %s\n", info.legacy_verified ? "verifies" : "does NOT verify",
                    info.blob_path);
        status |= info.legacy_verified ? 0 : 1;
    } else {
        std::printf("signature:        not checked (no key blob given)\n");
    }
    if (print_block_signatures(info.account.get(), info.digests.strong_rc == 0, k_image_block) != 0)
        status = 1;
    if (!info.table) {
        std::printf("entries:          none (the table lies outside the file)\n");
        return 1;
    }
    print_entries_text(*info.table, info.image.size());
    std::fputs(info.vorna_said.c_str(), stdout);
    print_support_list(info.support_list.get());
    print_firmware_info(info.firmware_info.get(), info.info_why);
    std::printf("chunk index:      %s\n", index_summary(info.index.get()).c_str());
    if (cJSON_GetObjectItem(info.index.get(), "signature_block") != nullptr &&
        print_block_signatures(info.index.get(), true, k_index_block) != 0)
        status = 1;
    return info.index_ok ? status : 1;
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
                "public key), whether its signature verifies. Then the chunk index: whether\n"
                "the image has one, whether it is well-formed, whether its block digests\n"
                "match the contents, whether the image is in stream order, and its\n"
                "signatures as the strong ones. With --json, the same as one JSON object;\n"
                "vorna's own messages then go to stderr.\n"
                "\n"
                "Exit status: 0 when the image is sound (and, with a key blob, its signature\n"
                "verifies, and every --key signed it, and its index, validly), 1 otherwise; a\n"
                "malformed index or block digests that differ from the contents are unsound.\n");
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
    image_info info;
    if (build_info(argv[1], argc == 3 ? argv[2] : nullptr, strong_keys, json, info) != 0)
        return 1;
    return json ? print_info_json(info) : print_info_text(info);
}
