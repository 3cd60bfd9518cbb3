// SPDX-License-Identifier: Apache-2.0
// vorna-image verify, and the account of every signature that info --json and
// verify --json give: for release pipelines that check a signing or a key rotation.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_index.h"
#include "tools/vorna_image_keys.h"

#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vorna_image {

namespace {

const char* block_status_name(signature_block_status s)
{
    switch (s) {
    case signature_block_status::ok: return "ok";
    case signature_block_status::missing: return "missing";
    default: return "malformed";
    }
}

cJSON* legacy_json(const std::vector<std::uint8_t>& image, const firmware_dual_digests& digests,
                   const public_keys& keys, bool& all_verify)
{
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "kind", "legacy");
    cJSON_AddStringToObject(item, "algorithm", "rsa-pkcs1-sha1-md5");
    cJSON_AddNullToObject(item, "key_id");
    const bool present = !legacy_signature_absent(image);
    cJSON_AddBoolToObject(item, "present", present);
    const char* status = "not checked";
    for (const legacy_public_key& k : keys.legacy) {
        const bool ok = present && legacy_signature_verifies(image, digests, k);
        all_verify &= ok;
        if (ok || status[0] == 'n') {
            status = ok ? "verifies" : "does not verify";
            cJSON_DeleteItemFromObject(item, "key");
            cJSON_AddStringToObject(item, "key", k.path.c_str());
        }
    }
    cJSON_AddStringToObject(item, "status", status);
    return item;
}

} // namespace

void add_block_account(cJSON* out, std::span<const std::uint8_t> area, const sha256_digest* digest,
                       const std::vector<strong_public_key>& keys, bool& all_verify)
{
    cJSON* list = cJSON_GetObjectItem(out, "signatures");
    signature_block block{};
    const signature_block_status status = signature_block_decode(area, block);
    cJSON* block_item = cJSON_AddObjectToObject(out, "signature_block");
    cJSON_AddStringToObject(block_item, "status", block_status_name(status));
    if (status != signature_block_status::ok && status != signature_block_status::missing)
        cJSON_AddStringToObject(block_item, "reason", signature_block_status_text(status));
    cJSON_AddNumberToObject(block_item, "count", status == signature_block_status::ok ? block.count : 0);

    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "kind", "strong");
        cJSON_AddStringToObject(item, "algorithm", "ed25519");
        cJSON_AddStringToObject(item, "key_id", firmware_key_id_text(e.key_id).data());
        cJSON_AddBoolToObject(item, "present", true);
        const auto match =
            std::find_if(keys.begin(), keys.end(), [&](const strong_public_key& k) { return k.id == e.key_id; });
        if (match == keys.end()) {
            cJSON_AddStringToObject(item, "status", "not checked");
        } else {
            const bool ok = digest != nullptr && firmware_ed25519_verify(match->raw, *digest, e.signature) == 1;
            all_verify &= ok;
            cJSON_AddStringToObject(item, "status", ok ? "verifies" : "does not verify");
            cJSON_AddStringToObject(item, "key", match->path.c_str());
        }
        cJSON_AddItemToArray(list, item);
    }
    cJSON* missing = cJSON_AddArrayToObject(out, "keys_without_signature");
    for (const strong_public_key& k : keys) {
        const bool signed_by = std::any_of(block.entries.begin(), block.entries.begin() + block.count,
                                           [&](const signature_entry& e) { return e.key_id == k.id; });
        if (signed_by)
            continue;
        all_verify = false;
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "key_id", firmware_key_id_text(k.id).data());
        cJSON_AddStringToObject(item, "key", k.path.c_str());
        cJSON_AddItemToArray(missing, item);
    }
}

cJSON* signatures_json(const std::vector<std::uint8_t>& image, const firmware_dual_digests& digests,
                       const public_keys& keys, bool& all_verify)
{
    all_verify = !keys.legacy.empty() || !keys.strong.empty();
    cJSON* out = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(out, "signatures");
    cJSON_AddItemToArray(list, legacy_json(image, digests, keys, all_verify));

    auto area = std::span<const std::uint8_t>(image).subspan(std::min(image.size(), k_signature_block_offset));
    add_block_account(out, area, digests.strong_rc == 0 ? &digests.strong : nullptr, keys.strong, all_verify);
    return out;
}

namespace {

const char* index_status_word(firmware_index_status s)
{
    switch (s) {
    case firmware_index_status::ok: return "ok";
    case firmware_index_status::missing: return "missing";
    case firmware_index_status::duplicate: return "duplicate";
    case firmware_index_status::outside: return "outside";
    case firmware_index_status::bad_length: return "bad_length";
    case firmware_index_status::bad_magic: return "bad_magic";
    case firmware_index_status::bad_version: return "bad_version";
    case firmware_index_status::reserved_not_zero: return "reserved_not_zero";
    case firmware_index_status::bad_block_len: return "bad_block_len";
    case firmware_index_status::entries_differ: return "entries_differ";
    case firmware_index_status::digests_differ: return "digests_differ";
    }
    return "malformed";
}

const char* stream_order_word(firmware_stream_order s)
{
    switch (s) {
    case firmware_stream_order::ok: return "ok";
    case firmware_stream_order::table_after_index: return "table_after_index";
    case firmware_stream_order::document_after_index: return "document_after_index";
    case firmware_stream_order::contents_before_end: return "contents_before_end";
    case firmware_stream_order::contents_out_of_order: return "contents_out_of_order";
    case firmware_stream_order::prefix_too_big: return "prefix_too_big";
    }
    return "unknown";
}

} // namespace

std::string index_summary(const cJSON* index)
{
    const std::string reason = cJSON_GetObjectItem(index, "reason")->valuestring;
    if (!cJSON_IsTrue(cJSON_GetObjectItem(index, "present")))
        return "none (a streamed install refuses the image)";
    const cJSON* stale = cJSON_GetObjectItem(index, "stale_blocks");
    if (stale == nullptr)
        return "malformed (" + reason + ")";
    std::string text =
        "well-formed, " + std::to_string(cJSON_GetObjectItem(index, "digests")->valueint) + " block digests, ";
    if (stale->valuedouble == 0)
        text += "all match the contents, ";
    else
        text += std::to_string(stale->valueint) + " differ from the contents, ";
    const std::string order = cJSON_GetObjectItem(index, "stream_order_reason")->valuestring;
    return text + (std::strcmp(cJSON_GetObjectItem(index, "stream_order")->valuestring, "ok") == 0
                       ? order
                       : "not in stream order (" + order + ")");
}

cJSON* index_json(const std::vector<std::uint8_t>& image, const public_keys& keys, bool& all_verify)
{
    cJSON* out = cJSON_CreateObject();
    const image_index index = find_index(image);
    cJSON_AddBoolToObject(out, "present", index.present());
    cJSON_AddStringToObject(out, "status", index_status_word(index.status));
    cJSON_AddStringToObject(out, "reason", firmware_index_status_text(index.status));
    if (!index.present())
        return out;
    if (index.status != firmware_index_status::duplicate) {
        cJSON_AddNumberToObject(out, "entry", index.where.index);
        cJSON_AddNumberToObject(out, "offset", static_cast<double>(index.where.at));
        cJSON_AddNumberToObject(out, "length", index.where.len);
    }
    if (index.status != firmware_index_status::ok) {
        all_verify = false;
        return out;
    }
    cJSON_AddNumberToObject(out, "digests", static_cast<double>(firmware_index_block_count(index.table)));
    const std::uint64_t stale = stale_blocks(image, index);
    cJSON_AddNumberToObject(out, "stale_blocks", static_cast<double>(stale));
    const firmware_stream_order order = firmware_stream_order_check(index.header, index.table, index.where);
    cJSON_AddStringToObject(out, "stream_order", stream_order_word(order));
    cJSON_AddStringToObject(out, "stream_order_reason", firmware_stream_order_text(order));
    sha256_digest digest{};
    const bool have_digest = index_digest_of(image, index.where, digest) == 0;
    // Signatures over digests that differ from the contents pass no streamed install.
    if (stale != 0)
        all_verify = false;
    cJSON_AddItemToObject(out, "signatures", cJSON_CreateArray());
    add_block_account(out, index_signature_area(image, index.where), have_digest ? &digest : nullptr, keys.strong,
                      all_verify);
    return out;
}

} // namespace vorna_image

namespace {

using namespace vorna_image;

constexpr const char* k_command = "verify";

/// verify's lines about the chunk index: its signatures as "index" lines, then
/// what it is.
void print_index_lines(const cJSON* index)
{
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(index, "signatures"))
    {
        const cJSON* key = cJSON_GetObjectItem(item, "key");
        std::printf("%-7s %-16s %s%s%s\n", "index", cJSON_GetObjectItem(item, "key_id")->valuestring,
                    cJSON_GetObjectItem(item, "status")->valuestring, cJSON_IsString(key) ? " with " : "",
                    cJSON_IsString(key) ? key->valuestring : "");
    }
    const cJSON* block = cJSON_GetObjectItem(index, "signature_block");
    if (const cJSON* reason = cJSON_GetObjectItem(block, "reason"); reason != nullptr)
        std::printf("index signature block malformed (%s)\n", reason->valuestring);
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(index, "keys_without_signature"))
    {
        std::printf("index   %-16s no signature by %s\n", cJSON_GetObjectItem(item, "key_id")->valuestring,
                    cJSON_GetObjectItem(item, "key")->valuestring);
    }
    std::printf("chunk index: %s\n", index_summary(index).c_str());
}

} // namespace

void image_verify_help()
{
    std::printf("Usage: vorna-image verify [--json] IMAGE --key PUBLIC_KEY...\n"
                "\n"
                "Checks the signatures of IMAGE against each --key: a legacy key blob (as\n"
                "keygen writes it) checks the legacy signature, an Ed25519 public key (PEM)\n"
                "the strong signature by that key. Prints one line per signature; with\n"
                "--json, the \"signatures\", \"signature_block\", \"keys_without_signature\" and\n"
                "\"index\" members that info --json has. An image with a chunk index also gets\n"
                "one \"index\" line per signature of the index (over the index digest) and a\n"
                "line saying what the index is; a given Ed25519 key must have signed the index\n"
                "too, and the index must be well-formed with block digests that match.\n"
                "\n"
                "Exit status: 0 only when every given key's signature verifies; 1 otherwise\n"
                "(a signature that does not verify, a key that signed nothing, any error).\n");
}

int image_verify_main(int argc, char** argv)
{
    const bool json = take_flag(argc, argv, "--json");
    std::vector<std::string> key_paths;
    if (take_key_options(k_command, argc, argv, key_paths) != 0)
        return 1;
    if (argc != 2 || key_paths.empty())
        return fail(k_command, "expected IMAGE --key PUBLIC_KEY... (see vorna-image verify --help)");
    std::vector<std::uint8_t> image;
    public_keys keys;
    if (read_whole(k_command, argv[1], image) != 0 || load_public_keys(k_command, key_paths, keys) != 0)
        return 1;
    bool all_verify = false;
    cjson_ptr doc(signatures_json(image, image_digests(image), keys, all_verify));
    cJSON* index = index_json(image, keys, all_verify);
    cJSON_AddItemToObject(doc.get(), "index", index);
    if (json) {
        cJSON_AddItemToObject(doc.get(), "all_verify", cJSON_CreateBool(all_verify));
        return print_json(k_command, doc.get()) != 0 || !all_verify ? 1 : 0;
    }
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(doc.get(), "signatures"))
    {
        const cJSON* key = cJSON_GetObjectItem(item, "key");
        const cJSON* id = cJSON_GetObjectItem(item, "key_id");
        const bool present = cJSON_IsTrue(cJSON_GetObjectItem(item, "present"));
        std::printf("%-7s %-16s %s%s%s\n", cJSON_GetObjectItem(item, "kind")->valuestring,
                    cJSON_IsString(id) ? id->valuestring : "-",
                    present ? cJSON_GetObjectItem(item, "status")->valuestring : "none",
                    cJSON_IsString(key) ? " with " : "", cJSON_IsString(key) ? key->valuestring : "");
    }
    const cJSON* block = cJSON_GetObjectItem(doc.get(), "signature_block");
    if (const cJSON* reason = cJSON_GetObjectItem(block, "reason"); reason != nullptr)
        std::printf("signature block malformed (%s)\n", reason->valuestring);
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(doc.get(), "keys_without_signature"))
    {
        std::printf("strong  %-16s no signature by %s\n", cJSON_GetObjectItem(item, "key_id")->valuestring,
                    cJSON_GetObjectItem(item, "key")->valuestring);
    }
    print_index_lines(index);
    std::printf("%s: %s\n", argv[1], all_verify ? "every given key's signature verifies" : "NOT verified");
    return all_verify ? 0 : 1;
}
