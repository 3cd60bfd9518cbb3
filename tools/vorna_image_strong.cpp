// SPDX-License-Identifier: Apache-2.0
// Strong signatures in the image tool. The block codec, the digest and the
// verification are vorna's own, so that what the tool writes is what vorna reads.
#include "tools/vorna_image_strong.h"

#include "vorna/firmware/vorna_firmware_verify.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vorna_image {

namespace {

struct bio_deleter {
    void operator()(BIO* b) const { BIO_free(b); }
};

using pem_reader = EVP_PKEY* (*)(std::FILE*, EVP_PKEY**, pem_password_cb*, void*);

/// A PEM key read with `read`, or null after printing. `what` is "private" or "public".
pkey_ptr load_ed25519(const char* command, const std::string& path, pem_reader read, const char* what)
{
    if (read == PEM_read_PrivateKey) {
        // Encrypted keys and token keys, as for the legacy key.
        const std::string not_a_key = std::string("is not an Ed25519 ") + what + " key (PEM), which --key needs";
        pkey_ptr key = is_pkcs11_uri(path) ? load_pkcs11_private_key(command, path)
                                           : read_private_key_file(command, path, not_a_key.c_str());
        if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
            fail(command, "%s is not an Ed25519 %s key (PEM), which --key needs", printable_key_name(path).c_str(),
                 what);
            return nullptr;
        }
        return key;
    }
    const std::string name = printable_key_name(path);
    file_ptr f(std::fopen(path.c_str(), "re"));
    if (!f) {
        fail(command, "cannot read the key %s: %s", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    pkey_ptr key(read(f.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        fail(command, "%s is not an Ed25519 %s key (PEM), which --key needs", name.c_str(), what);
        return nullptr;
    }
    return key;
}

pkey_ptr load_ed25519_public_key(const char* command, const std::string& path)
{
    return load_ed25519(command, path, PEM_read_PUBKEY, "public");
}

int raw_public_key(EVP_PKEY* key, firmware_ed25519_key& out)
{
    std::size_t len = out.size();
    return EVP_PKEY_get_raw_public_key(key, out.data(), &len) == 1 && len == out.size() ? 0 : -1;
}

/// PEM text of a key through `write`, or an empty vector.
template <class Writer> std::vector<std::uint8_t> pem_bytes(Writer write)
{
    std::unique_ptr<BIO, bio_deleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        return {};
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::vector<std::uint8_t>(data, data + len);
}

} // namespace

int take_key_options(const char* command, int& argc, char** argv, std::vector<std::string>& paths)
{
    return take_repeated_option(command, argc, argv, "--key", paths, "--key needs a key file");
}

int load_strong_private_keys(const char* command, const std::vector<std::string>& paths, std::vector<pkey_ptr>& keys)
{
    keys.clear();
    if (paths.size() > k_signature_block_max)
        return fail(command, "at most %zu --key options: the signature block holds %zu signatures",
                    k_signature_block_max, k_signature_block_max);
    for (const std::string& path : paths) {
        pkey_ptr key = load_ed25519(command, path, PEM_read_PrivateKey, "private");
        if (!key) {
            keys.clear();
            return 1;
        }
        keys.push_back(std::move(key));
    }
    return 0;
}

namespace {

/// The Ed25519 signature of `digest` by `key` into `e`. 0, or 1 after printing.
int sign_entry(const char* command, EVP_PKEY* key, const sha256_digest& digest, signature_entry& e)
{
    evp_md_ctx_ptr ctx(EVP_MD_CTX_new());
    std::size_t len = e.signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), e.signature.data(), &len, digest.data(), digest.size()) != 1 ||
        len != e.signature.size())
        return fail(command, "Ed25519 signing failed");
    e.algorithm = k_signature_alg_ed25519;
    return 0;
}

/// Writes `block` into a block area; no entries leave the area all zero (no block).
int store_block(const char* command, std::span<std::uint8_t> area, const signature_block& block)
{
    if (block.count == 0) {
        std::fill(area.begin(), area.end(), 0);
        return 0;
    }
    if (signature_block_encode(block, area) != 0)
        return fail(command, "cannot encode the signature block");
    return 0;
}

} // namespace

int key_ids_of(const char* command, const std::vector<pkey_ptr>& keys, std::vector<firmware_key_id>& ids)
{
    ids.clear();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        firmware_ed25519_key raw{};
        if (raw_public_key(keys[i].get(), raw) != 0)
            return fail(command, "cannot read the public half of strong key %zu", i + 1);
        const firmware_key_id id = firmware_key_id_of(raw);
        if (std::find(ids.begin(), ids.end(), id) != ids.end())
            return fail(command, "the same strong key is given twice");
        ids.push_back(id);
    }
    return 0;
}

std::vector<firmware_key_id> block_key_ids(std::span<const std::uint8_t> area)
{
    signature_block block{};
    std::vector<firmware_key_id> ids;
    if (signature_block_decode(area, block) != signature_block_status::ok)
        return ids;
    for (std::size_t i = 0; i < block.count; ++i)
        ids.push_back(block.entries[i].key_id);
    return ids;
}

int sign_image_strong(const char* command, std::vector<std::uint8_t>& image, const std::vector<pkey_ptr>& keys)
{
    std::vector<std::string> notes;
    return keys.empty() ? 0 : resign_image_strong(command, image, keys, earlier_signatures{}, notes);
}

namespace {

/// The words of the notes and refusals for each block.
struct place_words {
    const char* signature;  ///< "strong signature" / "index signature"
    const char* again;      ///< "signed again with key " / "signed the index again with key "
    const char* block;      ///< "signature block" / "index's signature block"
    const char* count_head; ///< put before the refusal of too many signatures
};

place_words words_of(signature_place place)
{
    if (place == signature_place::index)
        return {"index signature", "signed the index again with key ", "index's signature block",
                "the index's signatures: "};
    return {"strong signature", "signed again with key ", "signature block", ""};
}

/// What a signing again works with, and what it gathers.
struct resigning {
    const char* command;
    const std::vector<pkey_ptr>& keys;
    const std::vector<firmware_key_id>& ids; ///< the identifiers of `keys`
    const earlier_signatures& earlier;
    const sha256_digest& digest;
    place_words words;
    std::vector<signature_note>& notes;
    std::vector<signature_entry> entries{};
    std::vector<bool> signed_again{};

    void note(const firmware_key_id& id, signature_note::fate what, const std::string& text)
    {
        notes.push_back({id, what, text});
    }
};

/// Refuses a --drop that names no earlier signature or a key that signs now. 0, or 1 after printing.
int check_drops(const resigning& r, std::span<const signature_entry> earlier_entries,
                std::span<const firmware_key_id> held_elsewhere)
{
    for (const firmware_key_id& id : r.earlier.drop) {
        const bool there = std::any_of(earlier_entries.begin(), earlier_entries.end(),
                                       [&](const signature_entry& e) { return e.key_id == id; }) ||
                           std::find(held_elsewhere.begin(), held_elsewhere.end(), id) != held_elsewhere.end();
        if (!there)
            return fail(r.command, "--drop %s: the block holds no signature by that key",
                        firmware_key_id_text(id).data());
        if (std::find(r.ids.begin(), r.ids.end(), id) != r.ids.end())
            return fail(r.command, "--drop %s names a key that --key signs with", firmware_key_id_text(id).data());
    }
    return 0;
}

/// What becomes of one earlier signature: dropped, signed again, or kept when it
/// verifies (or cannot be checked). 0, or 1 after printing.
int carry_earlier(resigning& r, const signature_entry& e)
{
    using fate = signature_note::fate;
    const std::string id = firmware_key_id_text(e.key_id).data();
    const std::string by_key = std::string(r.words.signature) + " by key " + id;
    const auto mine = std::find(r.ids.begin(), r.ids.end(), e.key_id);
    if (std::find(r.earlier.drop.begin(), r.earlier.drop.end(), e.key_id) != r.earlier.drop.end()) {
        r.note(e.key_id, fate::dropped, "dropped the " + by_key + " (--drop)");
        return 0;
    }
    if (mine != r.ids.end()) {
        const std::size_t k = static_cast<std::size_t>(mine - r.ids.begin());
        signature_entry fresh = e;
        fresh.key_id = *mine;
        if (sign_entry(r.command, r.keys[k].get(), r.digest, fresh) != 0)
            return 1;
        r.signed_again[k] = true;
        r.entries.push_back(fresh);
        r.note(e.key_id, fate::signed_again, r.words.again + id);
        return 0;
    }
    const auto key = std::find_if(r.earlier.check.begin(), r.earlier.check.end(),
                                  [&](const strong_public_key& k) { return k.id == e.key_id; });
    if (key == r.earlier.check.end()) {
        r.entries.push_back(e);
        r.note(e.key_id, fate::kept, "kept the " + by_key + " (not checked: no --check key for it)");
    } else if (firmware_ed25519_verify(key->raw, r.digest, e.signature) == 1) {
        r.entries.push_back(e);
        r.note(e.key_id, fate::kept, "kept the " + by_key + " (verifies with " + key->path + ")");
    } else {
        r.note(e.key_id, fate::dropped, "dropped the " + by_key + ": it does not verify with " + key->path);
    }
    return 0;
}

/// The new keys' signatures after the earlier ones. 0, or 1 after printing.
int sign_new_keys(resigning& r)
{
    for (std::size_t k = 0; k < r.keys.size(); ++k) {
        if (r.signed_again[k])
            continue;
        signature_entry e{};
        e.key_id = r.ids[k];
        if (sign_entry(r.command, r.keys[k].get(), r.digest, e) != 0)
            return 1;
        r.entries.push_back(e);
    }
    return 0;
}

} // namespace

int resign_area(const char* command, std::span<std::uint8_t> area, const sha256_digest& digest,
                const std::vector<pkey_ptr>& keys, const earlier_signatures& earlier, signature_place place,
                std::span<const firmware_key_id> held_elsewhere, std::vector<signature_note>& notes)
{
    std::vector<firmware_key_id> ids;
    if (key_ids_of(command, keys, ids) != 0)
        return 1;
    const place_words words = words_of(place);
    signature_block old{};
    const signature_block_status status = signature_block_decode(area, old);
    if (status != signature_block_status::ok && status != signature_block_status::missing) {
        if (!earlier.drop.empty() || keys.empty())
            return fail(command, "the %s is malformed (%s): nothing to keep or drop in it", words.block,
                        signature_block_status_text(status));
        notes.push_back({{},
                         signature_note::fate::other,
                         std::string("the earlier ") + words.block + " was malformed (" +
                             signature_block_status_text(status) + "): replaced"});
        old.count = 0;
    }
    resigning r{command, keys, ids, earlier, digest, words, notes};
    r.signed_again.assign(keys.size(), false);
    const auto earlier_entries = std::span(old.entries).first(old.count);
    if (check_drops(r, earlier_entries, held_elsewhere) != 0)
        return 1;
    if (status == signature_block_status::missing && keys.empty())
        return 0;
    for (const signature_entry& e : earlier_entries) {
        if (carry_earlier(r, e) != 0)
            return 1;
    }
    if (sign_new_keys(r) != 0)
        return 1;
    if (r.entries.size() > k_signature_block_max)
        return fail(command,
                    "%sthe signature block would hold %zu signatures, at most %zu: leave one out with --drop KEY_ID "
                    "(nothing was written)",
                    words.count_head, r.entries.size(), k_signature_block_max);
    signature_block block{};
    block.count = static_cast<std::uint8_t>(r.entries.size());
    std::copy(r.entries.begin(), r.entries.end(), block.entries.begin());
    if (block.count == 0 && status == signature_block_status::ok)
        notes.push_back({{},
                         signature_note::fate::other,
                         place == signature_place::index
                             ? "no index signature is left: the index is unsigned"
                             : "no strong signature is left: the signature block is removed"});
    return store_block(command, area, block);
}

int resign_image_strong(const char* command, std::vector<std::uint8_t>& image, const std::vector<pkey_ptr>& keys,
                        const earlier_signatures& earlier, std::vector<std::string>& notes)
{
    if (keys.empty() && earlier.check.empty() && earlier.drop.empty())
        return 0;
    if (image.size() < k_firmware_header_len)
        return fail(command, "an image of %zu bytes has no room for the signature block", image.size());
    // The digest counts the legacy field and the block area as zeros, and
    // signing changes nothing else: this is the digest of the signed image too.
    sha256_digest digest{};
    if (strong_digest_of(image, digest) != 0)
        return fail(command, "cannot compute the strong digest");
    std::vector<signature_note> said;
    if (resign_area(command, std::span(image).subspan(k_signature_block_offset, k_signature_block_area), digest, keys,
                    earlier, signature_place::image, {}, said) != 0)
        return 1;
    for (signature_note& n : said)
        notes.push_back(std::move(n.text));
    return 0;
}

int keygen_ed25519(const char* command, const std::string& private_path, const std::string& public_path)
{
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key)
        return fail(command, "Ed25519 key generation failed");
    // PKCS#8 and SubjectPublicKeyInfo, as openssl genpkey and openssl pkey -pubout write them.
    auto private_pem = pem_bytes(
        [&](BIO* b) { return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    auto public_pem = pem_bytes([&](BIO* b) { return PEM_write_bio_PUBKEY(b, key.get()); });
    firmware_ed25519_key raw{};
    if (private_pem.empty() || public_pem.empty() || raw_public_key(key.get(), raw) != 0)
        return fail(command, "cannot encode the new key");
    if (replace_file(command, private_path, private_pem, 0600) != 0 ||
        replace_file(command, public_path, public_pem, 0644) != 0)
        return 1;
    std::printf("private key %s\npublic key  %s\nkey id      %s\n", private_path.c_str(), public_path.c_str(),
                firmware_key_id_text(firmware_key_id_of(raw)).data());
    return 0;
}

int load_strong_public_keys(const char* command, const std::vector<std::string>& paths,
                            std::vector<strong_public_key>& keys)
{
    keys.clear();
    for (const std::string& path : paths) {
        if (refuse_token_public_key(command, path) != 0)
            return 1;
        pkey_ptr key = load_ed25519_public_key(command, path);
        strong_public_key k{path, {}, {}};
        if (!key || raw_public_key(key.get(), k.raw) != 0)
            return 1;
        k.id = firmware_key_id_of(k.raw);
        keys.push_back(k);
    }
    return 0;
}

} // namespace vorna_image
