// SPDX-License-Identifier: Apache-2.0
// vorna-image pack: builds and signs a firmware image from a JSON manifest.
#include "tools/vorna_image.h"
#include "tools/vorna_image_board_check.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_index.h"
#include "tools/vorna_image_strong.h"

#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace vorna_image;
namespace fs = std::filesystem;

constexpr const char* k_command = "pack";
constexpr const char* k_documents[] = {"support-list", "firmware-info"};
// Images are addressed with 32-bit offsets.
constexpr std::uint64_t k_image_max_len = 0xFFFFFFFFu;

struct cjson_text_deleter {
    void operator()(char* text) const { cJSON_free(text); }
};

/// The keys a manifest and its partitions may hold. Anything else is refused: a
/// misspelt key would fall back to its default without a word ("typ" became NOR).
constexpr const char* k_manifest_keys[] = {"partitions", "support-list", "firmware-info", "first-word"};
constexpr const char* k_partition_keys[] = {"name",   "base", "size",       "type",      "file",  "text",
                                            "header", "json", "first-word", "last-word", "moves", "oversize"};

/// One entry of the image table with the bytes it carries.
struct packed_entry {
    firmware_ptn_entry entry{};
    std::vector<std::uint8_t> contents;
    bool moves = false; ///< the manifest says its base differs from the board's on purpose
};

int refuse_unknown_keys(const cJSON* object, const char* where, std::span<const char* const> known)
{
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, object)
    {
        bool is_known = false;
        for (const char* key : known)
            is_known |= std::strcmp(member->string, key) == 0;
        if (!is_known)
            return fail(k_command, "%s: unknown key \"%s\"", where, member->string);
    }
    return 0;
}

/// "moves": true says that the partition is written at a base other than the
/// board's on purpose; pack --board refuses any other base change.
int parse_moves(const cJSON* ptn, const char* where, bool& out)
{
    const cJSON* moves = cJSON_GetObjectItem(ptn, "moves");
    if (moves != nullptr && !cJSON_IsBool(moves))
        return fail(k_command, "%s: \"moves\" must be true or false", where);
    out = cJSON_IsTrue(moves);
    return 0;
}

/// The upgrade writes all of an entry's contents, so they must fit its size. An
/// entry of size 0 ends the upgrade and is never written; "oversize": true lets
/// a test image carry more on purpose.
int check_contents_fit(const cJSON* ptn, const packed_entry& e, const char* where)
{
    const cJSON* oversize = cJSON_GetObjectItem(ptn, "oversize");
    if (oversize != nullptr && !cJSON_IsBool(oversize))
        return fail(k_command, "%s: \"oversize\" must be true or false", where);
    firmware_ptn_entry counted = e.entry;
    counted.content_size = static_cast<std::uint32_t>(std::min<std::size_t>(e.contents.size(), UINT32_MAX));
    const bool fits = e.contents.size() <= UINT32_MAX && firmware_entry_contents_fit(counted);
    if (e.entry.size != 0 && !fits && !cJSON_IsTrue(oversize))
        return fail(k_command, "%s: the contents (%zu bytes) are larger than the partition's size (%u bytes)", where,
                    e.contents.size(), e.entry.size);
    return 0;
}

/// vorna refuses an image with an entry it would write but that has no contents
/// (no device write takes 0 bytes): every entry before the first of size 0 must
/// have some. 0, or 1 after printing.
int refuse_empty_walked(const std::vector<packed_entry>& entries)
{
    firmware_ptn_table table{};
    for (std::size_t i = 0; i < entries.size() && i < table.entries.size(); ++i)
        table.entries[i] = entries[i].entry;
    const std::size_t walked = firmware_walked_entries(table).size();
    for (std::size_t i = 0; i < walked; ++i) {
        if (entries[i].contents.empty())
            return fail(k_command,
                        "partition %zu (%.*s): no contents, which the upgrade refuses; give contents, or size \"0\" "
                        "to end the upgrade there",
                        i, static_cast<int>(entries[i].entry.name.size()), entries[i].entry.name.data());
    }
    return 0;
}

/// A hexadecimal string as in the partition table (a "0x" prefix is optional),
/// or a JSON number. The whole text must be a number that fits 32 bits.
int word_member(const cJSON* object, const char* key, const char* where, std::uint32_t fallback,
                std::uint32_t& out)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr) {
        out = fallback;
        return 0;
    }
    if (cJSON_IsNumber(item) && item->valuedouble >= 0 && item->valuedouble <= 0xFFFFFFFFu &&
        item->valuedouble == static_cast<double>(static_cast<std::uint32_t>(item->valuedouble))) {
        out = static_cast<std::uint32_t>(item->valuedouble);
        return 0;
    }
    if (cJSON_IsString(item) && item->valuestring[0] != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(item->valuestring, &end, 16);
        if (errno == 0 && *end == '\0' && item->valuestring[0] != '-' && v <= 0xFFFFFFFFu) {
            out = static_cast<std::uint32_t>(v);
            return 0;
        }
    }
    return fail(k_command, "%s: \"%s\" must be a hexadecimal string or a number of 32 bits", where, key);
}

/// The bytes a content description gives: "file", "text" or "json".
int content_bytes(const cJSON* object, const char* where, const fs::path& manifest_dir, std::vector<std::uint8_t>& out)
{
    const cJSON* file = cJSON_GetObjectItem(object, "file");
    const cJSON* text = cJSON_GetObjectItem(object, "text");
    const cJSON* json = cJSON_GetObjectItem(object, "json");
    if ((file != nullptr) + (text != nullptr) + (json != nullptr) > 1)
        return fail(k_command, "%s: give at most one of \"file\", \"text\" and \"json\"", where);
    out.clear();
    if (file != nullptr) {
        if (!cJSON_IsString(file))
            return fail(k_command, "%s: \"file\" must be a path", where);
        fs::path source(file->valuestring);
        if (source.is_relative())
            source = manifest_dir / source;
        return read_whole(k_command, source.string(), out);
    }
    if (text != nullptr) {
        if (!cJSON_IsString(text))
            return fail(k_command, "%s: \"text\" must be a string", where);
        out.assign(text->valuestring, text->valuestring + std::strlen(text->valuestring));
        return 0;
    }
    if (json != nullptr) {
        std::unique_ptr<char, cjson_text_deleter> printed(cJSON_PrintUnformatted(json));
        if (!printed)
            return fail(k_command, "out of memory");
        out.assign(printed.get(), printed.get() + std::strlen(printed.get()));
    }
    return 0;
}

/// Puts the 16-byte content header in front of `body`.
int frame(const cJSON* object, const char* where, std::vector<std::uint8_t>& body)
{
    ptn_header header{};
    if (word_member(object, "first-word", where, 0, header.first_word) != 0 ||
        word_member(object, "last-word", where, 0, header.last_word) != 0)
        return 1;
    if (body.size() > k_image_max_len - k_ptn_header_len)
        return fail(k_command, "%s: the contents are too large", where);
    header.magic = k_ptn_header_magic;
    header.content_len = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> framed(k_ptn_header_len);
    ptn_header_encode(header, std::span(framed).first<k_ptn_header_len>());
    framed.insert(framed.end(), body.begin(), body.end());
    body = std::move(framed);
    return 0;
}

/// The document named `name` ("support-list" or "firmware-info") at the manifest's top level.
int document_bytes(const cJSON* manifest, const char* name, const fs::path& manifest_dir,
                   std::vector<std::uint8_t>& out)
{
    const cJSON* doc = cJSON_GetObjectItem(manifest, name);
    if (cJSON_IsString(doc)) {
        fs::path source(doc->valuestring);
        if (source.is_relative())
            source = manifest_dir / source;
        if (read_whole(k_command, source.string(), out) != 0)
            return 1;
    } else {
        std::unique_ptr<char, cjson_text_deleter> printed(cJSON_PrintUnformatted(doc));
        if (!printed)
            return fail(k_command, "out of memory");
        out.assign(printed.get(), printed.get() + std::strlen(printed.get()));
    }
    // The document's own members are its text, not header words.
    return frame(nullptr, name, out);
}

int parse_type(const cJSON* object, const char* where, std::uint32_t& out)
{
    const cJSON* type = cJSON_GetObjectItem(object, "type");
    if (type == nullptr) {
        out = k_firmware_type_nor;
        return 0;
    }
    if (cJSON_IsString(type) && std::strcmp(type->valuestring, "nor") == 0) {
        out = k_firmware_type_nor;
        return 0;
    }
    if (cJSON_IsString(type) && std::strcmp(type->valuestring, "emmc") == 0) {
        out = k_firmware_type_emmc;
        return 0;
    }
    if (cJSON_IsNumber(type))
        return word_member(object, "type", where, 0, out);
    return fail(k_command, "%s: \"type\" must be \"nor\" or \"emmc\" (or a number)", where);
}

int set_name(firmware_ptn_entry& entry, const char* name, const char* where)
{
    std::size_t len = std::strlen(name);
    if (len == 0 || len >= entry.name.size())
        return fail(k_command, "%s: a name has 1 to %zu characters", where, entry.name.size() - 1);
    std::memcpy(entry.name.data(), name, len);
    return 0;
}

int parse_partition(const cJSON* manifest, const cJSON* ptn, int index, const fs::path& manifest_dir,
                    packed_entry& out)
{
    std::string where = "partition " + std::to_string(index);
    const cJSON* name = cJSON_GetObjectItem(ptn, "name");
    if (!cJSON_IsObject(ptn) || !cJSON_IsString(name))
        return fail(k_command, "%s: needs a \"name\" string", where.c_str());
    where += " (" + std::string(name->valuestring) + ")";
    if (refuse_unknown_keys(ptn, where.c_str(), k_partition_keys) != 0 ||
        parse_moves(ptn, where.c_str(), out.moves) != 0 || set_name(out.entry, name->valuestring, where.c_str()) != 0 ||
        word_member(ptn, "base", where.c_str(), 0, out.entry.base) != 0 ||
        parse_type(ptn, where.c_str(), out.entry.type) != 0)
        return 1;

    bool has_content = cJSON_GetObjectItem(ptn, "file") != nullptr || cJSON_GetObjectItem(ptn, "text") != nullptr ||
                       cJSON_GetObjectItem(ptn, "json") != nullptr;
    bool is_document = false;
    for (const char* doc : k_documents)
        is_document |= std::strcmp(name->valuestring, doc) == 0 && cJSON_GetObjectItem(manifest, doc) != nullptr;
    if (!has_content && is_document) {
        if (document_bytes(manifest, name->valuestring, manifest_dir, out.contents) != 0)
            return 1;
    } else {
        if (content_bytes(ptn, where.c_str(), manifest_dir, out.contents) != 0)
            return 1;
        const cJSON* header = cJSON_GetObjectItem(ptn, "header");
        if (header != nullptr && !cJSON_IsBool(header))
            return fail(k_command, "%s: \"header\" must be true or false", where.c_str());
        if (cJSON_IsTrue(header) && frame(ptn, where.c_str(), out.contents) != 0)
            return 1;
    }
    if (word_member(ptn, "size", where.c_str(), static_cast<std::uint32_t>(out.contents.size()), out.entry.size) != 0)
        return 1;
    return check_contents_fit(ptn, out, where.c_str());
}

/// The entries as the upgrade will see them, against the board's table.
int check_board(const char* board, const std::vector<packed_entry>& entries)
{
    std::vector<board_check_entry> checked;
    for (const packed_entry& e : entries)
        checked.push_back({e.entry, e.moves});
    return check_against_board(k_command, board, checked);
}

/// Gives every entry its place. With the index, in stream order: after the
/// header and the table the entries the upgrade does not write (the documents,
/// then the chunk index, which is the table's last entry), then the walked
/// contents in table order. Without it, as before the index: every entry's
/// contents in table order.
int place_contents(std::vector<packed_entry>& entries, bool with_index, std::uint64_t& end)
{
    firmware_ptn_table table{};
    for (std::size_t i = 0; i < entries.size(); ++i)
        table.entries[i] = entries[i].entry;
    const std::size_t walked = firmware_walked_entries(table).size();
    end = k_firmware_header_len + k_firmware_ptn_table_len;
    for (const bool walked_pass : {false, true}) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (with_index && (i < walked) != walked_pass)
                continue;
            if (!with_index && walked_pass)
                break;
            entries[i].entry.content_offset = static_cast<std::uint32_t>(end);
            end += entries[i].contents.size();
            if (end > k_image_max_len)
                return fail(k_command, "the image would pass 4 GiB, which its 32-bit offsets cannot address");
        }
    }
    return 0;
}

/// Lays the image out (place_contents) and fills in the chunk index's block digests.
int build_image(const cJSON* manifest, std::vector<packed_entry>& entries, bool with_index,
                std::vector<std::uint8_t>& image)
{
    firmware_header header{};
    if (word_member(manifest, "first-word", "manifest", 0, header.first_word) != 0)
        return 1;
    header.magic = k_firmware_magic;
    header.ptn_table_offset = static_cast<std::uint32_t>(k_firmware_header_len);

    firmware_ptn_table table{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].entry.content_size = static_cast<std::uint32_t>(entries[i].contents.size());
        table.entries[i] = entries[i].entry;
    }
    // The index's length follows from the walked entries' sizes alone.
    if (with_index) {
        packed_entry& last = entries.back(); // add_index_entry put it there
        const std::uint64_t len = firmware_index_len(table);
        if (len > k_image_max_len)
            return fail(k_command, "the image would pass 4 GiB, which its 32-bit offsets cannot address");
        last.contents.assign(static_cast<std::size_t>(len), 0);
        last.entry.content_size = static_cast<std::uint32_t>(len);
    }
    std::uint64_t end = 0;
    if (place_contents(entries, with_index, end) != 0)
        return 1;
    for (std::size_t i = 0; i < entries.size(); ++i)
        table.entries[i] = entries[i].entry;
    header.total_len = static_cast<std::uint32_t>(end);

    image.assign(static_cast<std::size_t>(end), 0);
    firmware_header_encode(header, std::span(image).first<k_firmware_header_len>());
    firmware_ptn_table_encode(table, std::span(image).subspan(k_firmware_header_len).first<k_firmware_ptn_table_len>());
    for (const packed_entry& e : entries)
        std::copy(e.contents.begin(), e.contents.end(), image.begin() + e.entry.content_offset);
    return with_index ? write_index(k_command, image, find_index(image)) : 0;
}

/// Adds the chunk index's entry after every other one: size 0, so that the walk
/// never writes it; `index_left_out` when the table has no room left for it.
/// 0, or 1 after printing.
int add_index_entry(std::vector<packed_entry>& entries, bool& index_left_out)
{
    firmware_ptn_table table{};
    for (std::size_t i = 0; i < entries.size(); ++i)
        table.entries[i] = entries[i].entry;
    for (std::size_t i = firmware_walked_entries(table).size(); i < entries.size(); ++i) {
        if (firmware_ptn_name_is(entries[i].entry, k_firmware_index_name))
            return fail(k_command,
                        "partition %zu (%s): the name is the chunk index's, which pack adds itself (give --no-index "
                        "to leave it out)",
                        i, k_firmware_index_name);
    }
    // A full table keeps packing as it did before the index, and says so.
    if (entries.size() == static_cast<std::size_t>(k_firmware_ptn_max)) {
        index_left_out = true;
        return 0;
    }
    packed_entry e;
    if (set_name(e.entry, k_firmware_index_name, k_firmware_index_name) != 0)
        return 1;
    entries.push_back(std::move(e));
    return 0;
}

/// A line for an image that a stream cannot install although it has an index
/// (a document the upgrade writes, or an index past the stream's prefix).
void say_stream_order(const std::string& image_path, const std::vector<std::uint8_t>& image)
{
    const image_index index = find_index(image);
    if (index.status != firmware_index_status::ok)
        return;
    const firmware_stream_order order = firmware_stream_order_check(index.header, index.table, index.where);
    if (order != firmware_stream_order::ok)
        std::printf("%s: not in stream order (%s): a streamed install refuses it\n", image_path.c_str(),
                    firmware_stream_order_text(order));
}

/// The manifest's partitions, then each document it names that no partition
/// lists, as the table's entries. 0, or 1 after printing.
int parse_entries(const cJSON* manifest, const std::string& manifest_path, bool with_index,
                  std::vector<packed_entry>& entries, bool& index_left_out)
{
    const fs::path manifest_dir = fs::path(manifest_path).parent_path();
    const cJSON* partitions = cJSON_GetObjectItem(manifest, "partitions");
    if (!cJSON_IsArray(partitions))
        return fail(k_command, "%s needs a \"partitions\" array", manifest_path.c_str());
    const cJSON* ptn = nullptr;
    cJSON_ArrayForEach(ptn, partitions)
    {
        if (entries.size() == static_cast<std::size_t>(k_firmware_ptn_max))
            return fail(k_command, "more than %d partitions", k_firmware_ptn_max);
        entries.emplace_back();
        if (parse_partition(manifest, ptn, static_cast<int>(entries.size()) - 1, manifest_dir, entries.back()) != 0)
            return 1;
    }
    if (refuse_empty_walked(entries) != 0)
        return 1;
    for (const char* doc : k_documents) {
        if (cJSON_GetObjectItem(manifest, doc) == nullptr)
            continue;
        bool listed = false;
        for (const packed_entry& e : entries)
            listed |= firmware_ptn_name_is(e.entry, doc);
        if (listed)
            continue;
        if (entries.size() == static_cast<std::size_t>(k_firmware_ptn_max))
            return fail(k_command, "no room left in the table for \"%s\"; list it among the partitions", doc);
        packed_entry e;
        if (set_name(e.entry, doc, doc) != 0 || document_bytes(manifest, doc, manifest_dir, e.contents) != 0)
            return 1;
        entries.push_back(std::move(e));
    }
    return with_index ? add_index_entry(entries, index_left_out) : 0;
}

// The text of pack --help, printed as it stands.
constexpr const char k_pack_help[] =
    "Usage: vorna-image pack MANIFEST.json PRIVATE_KEY.pem IMAGE\n"
    "       vorna-image pack --board TABLE.json MANIFEST.json PRIVATE_KEY.pem IMAGE\n"
    "       vorna-image pack [--board TABLE.json] MANIFEST.json PRIVATE_KEY.pem IMAGE --key STRONG_KEY.pem...\n"
    "       vorna-image pack [--board TABLE.json] --no-legacy MANIFEST.json IMAGE --key STRONG_KEY.pem...\n"
    "       (each form also takes --no-index)\n"
    "\n"
    "Builds a firmware image from MANIFEST.json and signs it with PRIVATE_KEY.pem\n"
    "(a 1024-bit RSA key, see keygen; an encrypted key takes its pass phrase from\n"
    "--passin pass:TEXT|env:VAR|file:PATH|fd:N, else VORNA_IMAGE_PASSPHRASE, a file\n"
    "named by VORNA_IMAGE_PASSPHRASE_FILE, or the terminal). IMAGE is replaced as a whole. Unknown keys in the "
    "manifest and\n"
    "contents larger than their partition's size are refused. Each --key (an\n"
    "Ed25519 private key, see keygen --ed25519; at most 4) adds a strong signature\n"
    "to the signature block, written before the RSA signature.\n"
    "--no-legacy leaves the legacy signature field zero (strong-only products,\n"
    "built with -DVORNA_REQUIRE_LEGACY_SIGNATURE=OFF; devices that check the\n"
    "legacy signature refuse such an image) and needs at least one --key.\n"
    "A key may also be a pkcs11: URI (see vorna-image(1)).\n"
    "\n"
    "--board TABLE.json  a partition table as vorna reads it: every entry the\n"
    "                    upgrade writes must name a partition of the layout its type\n"
    "                    writes to, its contents must fit that partition, and its\n"
    "                    base must be the board's unless the entry has \"moves\": true\n"
    "\n"
    "MANIFEST.json:\n"
    "  {\n"
    "    \"partitions\": [                  the image table, in order (at most 32)\n"
    "      { \"name\": \"kernel\",            1 to 31 characters\n"
    "        \"base\": \"0x100000\",          offset on the device (hex, default 0)\n"
    "        \"size\": \"0x800000\",          partition size (hex; default: the\n"
    "                                     contents' length; \"0\" ends the upgrade)\n"
    "        \"type\": \"emmc\",              \"nor\" (compare-write, the default) or \"emmc\";\n"
    "                                     a number is stored as given (test images)\n"
    "        \"file\": \"kernel.bin\",        contents: a file (relative to the\n"
    "                                     manifest's folder), or \"text\": \"...\", or\n"
    "                                     \"json\": {...}; an entry the upgrade writes\n"
    "                                     (before the first of size 0) needs some\n"
    "        \"header\": true,              frame with the 16-byte content header\n"
    "        \"first-word\": \"0\", \"last-word\": \"0\",   header words (hex)\n"
    "        \"moves\": true,                the base differs from the board's on purpose\n"
    "        \"oversize\": true }             contents may exceed the size (test images)\n"
    "    ],\n"
    "    \"support-list\": { \"support-list\": [ { \"product_name\": \"...\",\n"
    "                      \"product_version\": \"...\", \"special_id\": \"...\" } ] },\n"
    "    \"firmware-info\": { ... },        any JSON document\n"
    "    \"first-word\": \"0\"                the image header's first word (hex)\n"
    "  }\n"
    "A document may also be given as a file name (a string). It is stored behind a\n"
    "content header as the contents of the partition of the same name when one is\n"
    "listed without contents of its own; otherwise it gets an entry of its own after\n"
    "the listed partitions, with size 0, which the upgrade does not write.\n"
    "\n"
    "The image, in stream order: the 4096-byte header (magic AA55D98F, the table's\n"
    "offset 4096, the image's length, the signature at offset 304), the table of 32\n"
    "entries, the contents of the entries the upgrade does not write (the documents),\n"
    "the chunk index, then the contents the upgrade writes, in table order. The\n"
    "chunk index is an entry \"chunk-index\" of size 0 after the others: the SHA-256\n"
    "of every 64 KiB block of those contents, signed by every --key before the\n"
    "whole-file signatures, so that vorna can install the image from a stream.\n"
    "--no-index leaves it out and lays every entry's contents out in table order,\n"
    "as before the index (an image for devices that read it from a file).\n"
    "\n"
    "Exit status: 0 on success, 1 on any error.\n";

} // namespace

void image_pack_help()
{
    std::fputs(k_pack_help, stdout);
}

int image_pack_main(int argc, char** argv)
{
    std::vector<std::string> strong_paths;
    const char* board = nullptr;
    const bool no_legacy = take_flag(argc, argv, "--no-legacy");
    bool no_index = take_flag(argc, argv, "--no-index");
    if (take_signing_options(k_command, argc, argv, strong_paths) != 0 ||
        take_option(k_command, argc, argv, "--board", board) != 0)
        return 1;
    if (no_legacy ? argc != 3 : argc != 4)
        return fail(k_command, no_legacy
                                   ? "expected --no-legacy MANIFEST.json IMAGE --key STRONG_KEY.pem... (see "
                                     "vorna-image pack --help)"
                                   : "expected MANIFEST.json PRIVATE_KEY.pem IMAGE (see vorna-image pack --help)");
    if (no_legacy && strong_paths.empty())
        return fail(k_command, "--no-legacy needs a strong signature (--key STRONG_KEY.pem): an image with no "
                               "signature would be refused everywhere");
    const std::string manifest_path = argv[1];
    const std::string image_path = argv[no_legacy ? 2 : 3];

    cjson_ptr manifest = read_json_object(k_command, manifest_path, "a JSON object");
    if (!manifest || refuse_unknown_keys(manifest.get(), manifest_path.c_str(), k_manifest_keys) != 0)
        return 1;
    pkey_ptr key = no_legacy ? nullptr : load_private_key(k_command, argv[2]);
    std::vector<pkey_ptr> strong_keys;
    if ((!no_legacy && !key) || load_strong_private_keys(k_command, strong_paths, strong_keys) != 0)
        return 1;

    std::vector<packed_entry> entries;
    bool index_left_out = false;
    if (parse_entries(manifest.get(), manifest_path, !no_index, entries, index_left_out) != 0)
        return 1;
    no_index |= index_left_out;
    std::vector<std::uint8_t> image;
    // The index is signed first: the whole-file signatures cover its signatures.
    if (build_image(manifest.get(), entries, !no_index, image) != 0 ||
        (board != nullptr && check_board(board, entries) != 0) ||
        (!no_index && sign_index_strong(k_command, image, find_index(image), strong_keys) != 0) ||
        sign_image_strong(k_command, image, strong_keys) != 0 ||
        (key && sign_image(k_command, image, key.get()) != 0) || replace_file(k_command, image_path, image, 0644) != 0)
        return 1;
    std::printf("%s: %zu bytes, %zu entries, signed%s\n", image_path.c_str(), image.size(), entries.size(),
                no_legacy ? " (strong signatures only)" : "");
    if (index_left_out)
        std::printf("%s: no chunk index: the table's %d entries are all taken (a streamed install refuses the "
                    "image)\n",
                    image_path.c_str(), k_firmware_ptn_max);
    say_stream_order(image_path, image);
    return 0;
}
