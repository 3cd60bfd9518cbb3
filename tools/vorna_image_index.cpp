// SPDX-License-Identifier: Apache-2.0
// The chunk index in the image tool.
#include "tools/vorna_image_index.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace vorna_image {

image_index find_index(std::span<const std::uint8_t> image)
{
    image_index found;
    firmware_header_parse(image, found.header);
    const firmware_table_span table = firmware_table_within(found.header, image.size());
    if (!firmware_ptn_table_parse(
            image.subspan(static_cast<std::size_t>(std::min<std::uint64_t>(table.at, image.size())), table.len),
            found.table))
        return found;
    found.status = firmware_index_locate(found.table, image.size(), found.where);
    if (found.status == firmware_index_status::ok) {
        firmware_index_view view;
        found.status = firmware_index_decode(image.subspan(found.where.at, found.where.len), found.table, view);
    }
    return found;
}

int block_digests_of(const char* command, std::span<const std::uint8_t> image, const firmware_ptn_table& table,
                     std::vector<firmware_block_digest>& out)
{
    out.clear();
    for (const firmware_ptn_entry& e : firmware_walked_entries(table)) {
        if (!firmware_ptn_contents_inside(e, image.size()))
            return fail(command, "the contents of %.*s reach past the end of the image: no block digests for them",
                        static_cast<int>(::strnlen(e.name.data(), e.name.size())), e.name.data());
        auto contents = image.subspan(e.content_offset, e.content_size);
        for (std::size_t at = 0; at < contents.size(); at += k_firmware_index_block_len) {
            const auto block =
                contents.subspan(at, std::min<std::size_t>(k_firmware_index_block_len, contents.size() - at));
            firmware_block_digest& d = out.emplace_back();
            unsigned len = 0;
            if (EVP_Digest(block.data(), block.size(), d.data(), &len, EVP_sha256(), nullptr) != 1 || len != d.size())
                return fail(command, "cannot compute the block digests");
        }
    }
    return 0;
}

std::uint64_t stale_blocks(std::span<const std::uint8_t> image, const image_index& index)
{
    firmware_index_view view;
    if (index.status != firmware_index_status::ok ||
        firmware_index_decode(image.subspan(index.where.at, index.where.len), index.table, view) !=
            firmware_index_status::ok)
        return 0;
    std::uint64_t stale = 0;
    std::uint64_t block = 0;
    for (const firmware_ptn_entry& e : firmware_walked_entries(index.table)) {
        const std::uint64_t blocks = firmware_index_blocks_of(e.content_size);
        if (!firmware_ptn_contents_inside(e, image.size())) {
            stale += blocks;
            block += blocks;
            continue;
        }
        for (std::uint64_t i = 0; i < blocks; ++i, ++block) {
            const std::uint64_t at = std::uint64_t{e.content_offset} + i * k_firmware_index_block_len;
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(k_firmware_index_block_len, e.content_size - i * k_firmware_index_block_len));
            firmware_block_digest d{};
            unsigned len = 0;
            const bool ok = EVP_Digest(image.data() + at, n, d.data(), &len, EVP_sha256(), nullptr) == 1;
            const auto want = view.digest(block);
            stale += !ok || !std::equal(d.begin(), d.end(), want.begin());
        }
    }
    return stale;
}

std::span<std::uint8_t> index_signature_area(std::vector<std::uint8_t>& image, const firmware_index_location& where)
{
    return std::span(image).subspan(where.at + k_firmware_index_signatures_at, k_firmware_index_signatures_len);
}

std::span<const std::uint8_t> index_signature_area(std::span<const std::uint8_t> image,
                                                   const firmware_index_location& where)
{
    return image.subspan(where.at + k_firmware_index_signatures_at, k_firmware_index_signatures_len);
}

const char* index_rewrite_refusal(std::span<const std::uint8_t> image, const image_index& index)
{
    if (index.status == firmware_index_status::missing || index.status == firmware_index_status::duplicate ||
        index.status == firmware_index_status::outside)
        return firmware_index_status_text(index.status);
    if (index.where.len != firmware_index_len(index.table))
        return "its length is not what the table needs";
    for (const firmware_ptn_entry& e : firmware_walked_entries(index.table)) {
        if (!firmware_ptn_contents_inside(e, image.size()))
            return "contents reach past the end of the image";
    }
    return nullptr;
}

int write_index(const char* command, std::vector<std::uint8_t>& image, const image_index& index)
{
    if (const char* why = index_rewrite_refusal(image, index); why != nullptr)
        return fail(command, "cannot write the chunk index: %s", why);
    std::vector<firmware_block_digest> digests;
    if (block_digests_of(command, image, index.table, digests) != 0)
        return 1;
    std::vector<std::uint8_t> fresh(index.where.len);
    if (firmware_index_encode(index.table, digests, fresh) != 0)
        return fail(command, "cannot encode the chunk index");
    const auto kept = index_signature_area(image, index.where);
    std::copy(kept.begin(), kept.end(), fresh.begin() + k_firmware_index_signatures_at);
    std::copy(fresh.begin(), fresh.end(), image.begin() + static_cast<std::ptrdiff_t>(index.where.at));
    return 0;
}

int index_signing_digest(const char* command, std::span<const std::uint8_t> image, const firmware_index_location& where,
                         sha256_digest& out)
{
    if (index_digest_of(image, where, out) != 0)
        return fail(command, "cannot compute the index digest");
    return 0;
}

int sign_index_strong(const char* command, std::vector<std::uint8_t>& image, const image_index& index,
                      const std::vector<pkey_ptr>& keys)
{
    sha256_digest digest{};
    std::vector<signature_note> notes;
    if (keys.empty())
        return 0;
    return index_signing_digest(command, image, index.where, digest) != 0
               ? 1
               : resign_area(command, index_signature_area(image, index.where), digest, keys, earlier_signatures{},
                             signature_place::index, {}, notes);
}

int refuse_unusable_index(const char* command, const image_index& index)
{
    if (index.status == firmware_index_status::ok || index.status == firmware_index_status::missing)
        return 0;
    return fail(command, "the chunk index is malformed (%s): pack the image again",
                firmware_index_status_text(index.status));
}

} // namespace vorna_image
