// SPDX-License-Identifier: Apache-2.0
// vorna-image verify, and the account of every signature that info --json and
// verify --json give: for release pipelines that check a signing or a key rotation.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"
#include "tools/vorna_image_keys.h"

#include "vorna/support/vorna_common.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_verify.h"

#include <algorithm>
#include <cstdio>
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

cJSON* signatures_json(const std::vector<std::uint8_t>& image, const firmware_dual_digests& digests,
                       const public_keys& keys, bool& all_verify)
{
    all_verify = !keys.legacy.empty() || !keys.strong.empty();
    cJSON* out = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(out, "signatures");
    cJSON_AddItemToArray(list, legacy_json(image, digests, keys, all_verify));

    auto area = std::span<const std::uint8_t>(image).subspan(std::min(image.size(), k_signature_block_offset));
    signature_block block{};
    const signature_block_status status = signature_block_decode(area, block);
    cJSON* block_item = cJSON_AddObjectToObject(out, "signature_block");
    cJSON_AddStringToObject(block_item, "status", block_status_name(status));
    if (status != signature_block_status::ok && status != signature_block_status::missing)
        cJSON_AddStringToObject(block_item, "reason", signature_block_status_text(status));
    cJSON_AddNumberToObject(block_item, "count", status == signature_block_status::ok ? block.count : 0);

    const bool have_digest = digests.strong_rc == 0;
    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "kind", "strong");
        cJSON_AddStringToObject(item, "algorithm", "ed25519");
        cJSON_AddStringToObject(item, "key_id", firmware_key_id_text(e.key_id).data());
        cJSON_AddBoolToObject(item, "present", true);
        const auto match = std::find_if(keys.strong.begin(), keys.strong.end(),
                                        [&](const strong_public_key& k) { return k.id == e.key_id; });
        if (match == keys.strong.end()) {
            cJSON_AddStringToObject(item, "status", "not checked");
        } else {
            const bool ok = have_digest && firmware_ed25519_verify(match->raw, digests.strong, e.signature) == 1;
            all_verify &= ok;
            cJSON_AddStringToObject(item, "status", ok ? "verifies" : "does not verify");
            cJSON_AddStringToObject(item, "key", match->path.c_str());
        }
        cJSON_AddItemToArray(list, item);
    }
    cJSON* missing = cJSON_AddArrayToObject(out, "keys_without_signature");
    for (const strong_public_key& k : keys.strong) {
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
    return out;
}

} // namespace vorna_image

namespace {

using namespace vorna_image;

constexpr const char* k_command = "verify";

} // namespace

void image_verify_help()
{
    std::printf("Usage: vorna-image verify [--json] IMAGE --key PUBLIC_KEY...\n"
                "\n"
                "Checks the signatures of IMAGE against each --key: a legacy key blob (as\n"
                "keygen writes it) checks the legacy signature, an Ed25519 public key (PEM)\n"
                "the strong signature by that key. Prints one line per signature; with\n"
                "--json, the \"signatures\", \"signature_block\" and \"keys_without_signature\"\n"
                "members that info --json has.\n"
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
    std::printf("%s: %s\n", argv[1], all_verify ? "every given key's signature verifies" : "NOT verified");
    return all_verify ? 0 : 1;
}
