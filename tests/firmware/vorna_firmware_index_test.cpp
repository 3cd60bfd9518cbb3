// SPDX-License-Identifier: Apache-2.0
// The chunk index: its codec against the table it describes, where it stands,
// the stream-order rule, and its digest against OpenSSL's SHA-256 of the same
// bytes masked by hand.
#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_index.h"

#include "tests/support/test_support.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

firmware_ptn_entry entry(const char* name, std::uint32_t size, std::uint32_t offset, std::uint32_t content_size)
{
    firmware_ptn_entry e{};
    std::memcpy(e.name.data(), name, std::strlen(name));
    e.size = size;
    e.content_offset = offset;
    e.content_size = content_size;
    e.type = k_firmware_type_emmc;
    return e;
}

// A stream-ordered image: table at 4096, the two documents, the index at
// 0x2000, then three walked entries of 1, 2 (one short) and 1 short block.
constexpr std::uint32_t k_index_at = 0x2000;
constexpr std::uint32_t k_blocks = 4;
constexpr std::uint32_t k_index_len = 344 + 32 * k_blocks;
constexpr std::uint32_t k_first = 0x3000;

firmware_ptn_table sample_table()
{
    firmware_ptn_table t{};
    t.entries[0] = entry("kernel", 0x20000, k_first, 0x10000);
    t.entries[1] = entry("rootfs", 0x40000, k_first + 0x10000, 0x10001);
    t.entries[2] = entry("data", 0x10000, k_first + 0x20001, 7);
    t.entries[3] = entry("support-list", 0, 0x1700, 0x100);
    t.entries[4] = entry("firmware-info", 0, 0x1800, 0x100);
    t.entries[5] = entry(k_firmware_index_name, 0, k_index_at, k_index_len);
    return t;
}

firmware_header sample_header()
{
    firmware_header h{};
    h.magic = k_firmware_magic;
    h.ptn_table_offset = 4096;
    h.total_len = k_first + 0x20001 + 7;
    return h;
}

std::vector<firmware_block_digest> numbered_digests(std::size_t n)
{
    std::vector<firmware_block_digest> d(n);
    for (std::size_t i = 0; i < n; ++i)
        d[i].fill(static_cast<std::uint8_t>(0xA0 + i));
    return d;
}

bytes encoded(const firmware_ptn_table& t)
{
    bytes out(firmware_index_len(t));
    EXPECT_EQ(firmware_index_encode(t, numbered_digests(firmware_index_block_count(t)), out), 0);
    return out;
}

TEST(FirmwareIndex, EncodesAndDecodesTheDigestsOfEveryWalkedBlock)
{
    const firmware_ptn_table t = sample_table();
    ASSERT_EQ(firmware_index_block_count(t), k_blocks);
    EXPECT_EQ(firmware_index_first_block(t, 0), 0u);
    EXPECT_EQ(firmware_index_first_block(t, 1), 1u);
    EXPECT_EQ(firmware_index_first_block(t, 2), 3u);
    const bytes b = encoded(t);
    ASSERT_EQ(b.size(), k_index_len);
    EXPECT_EQ((bytes{b.begin(), b.begin() + 20}),
              (bytes{'V', 'I', 'D', 'X', 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, k_blocks}));
    firmware_index_view v;
    ASSERT_EQ(firmware_index_decode(b, t, v), firmware_index_status::ok);
    EXPECT_EQ(v.entry_count, 3u);
    EXPECT_EQ(v.digest_count, k_blocks);
    ASSERT_EQ(v.signature_area.data(), b.data() + 32);
    ASSERT_EQ(v.signature_area.size(), 312u);
    for (std::uint64_t i = 0; i < k_blocks; ++i)
        EXPECT_EQ(bytes(v.digest(i).begin(), v.digest(i).end()), bytes(32, static_cast<std::uint8_t>(0xA0 + i))) << i;

    bytes wrong_size(b.size() + 1);
    EXPECT_EQ(firmware_index_encode(t, numbered_digests(k_blocks), wrong_size), -1);
    bytes right_size(b.size());
    EXPECT_EQ(firmware_index_encode(t, numbered_digests(k_blocks - 1), right_size), -1);
}

TEST(FirmwareIndex, DecodeRefusesEachFaultWithItsOwnStatus)
{
    using st = firmware_index_status;
    struct refusal {
        const char* what;
        std::function<void(bytes&, firmware_ptn_table&)> change;
        st status;
    };
    const refusal cases[] = {
        {"fixed part cut", [](bytes& b, firmware_ptn_table&) { b.resize(343); }, st::bad_length},
        {"one digest short", [](bytes& b, firmware_ptn_table&) { b.erase(b.end() - 32, b.end()); }, st::bad_length},
        {"a byte too many", [](bytes& b, firmware_ptn_table&) { b.push_back(0); }, st::bad_length},
        {"magic", [](bytes& b, firmware_ptn_table&) { b[3] = 'Y'; }, st::bad_magic},
        {"version", [](bytes& b, firmware_ptn_table&) { b[4] = 2; }, st::bad_version},
        {"reserved 5", [](bytes& b, firmware_ptn_table&) { b[5] = 1; }, st::reserved_not_zero},
        {"reserved 7", [](bytes& b, firmware_ptn_table&) { b[7] = 1; }, st::reserved_not_zero},
        {"reserved 20", [](bytes& b, firmware_ptn_table&) { b[20] = 1; }, st::reserved_not_zero},
        {"reserved 31", [](bytes& b, firmware_ptn_table&) { b[31] = 1; }, st::reserved_not_zero},
        {"block length", [](bytes& b, firmware_ptn_table&) { b[9] = 0; }, st::bad_block_len},
        {"entry count", [](bytes& b, firmware_ptn_table&) { b[15] = 4; }, st::entries_differ},
        {"digest count", [](bytes& b, firmware_ptn_table&) { b[19] = k_blocks + 1; }, st::digests_differ},
        // The same bytes against a table whose last entry grew by one block.
        {"another table", [](bytes&, firmware_ptn_table& t) { t.entries[2].content_size += 0x10000; },
         st::digests_differ},
        {"a walked entry more", [](bytes&, firmware_ptn_table& t) { t.entries[3].size = 1; }, st::entries_differ},
    };
    for (const refusal& r : cases) {
        firmware_ptn_table t = sample_table();
        bytes b = encoded(t);
        r.change(b, t);
        firmware_index_view v;
        EXPECT_EQ(firmware_index_decode(b, t, v), r.status) << r.what;
        EXPECT_TRUE(v.digests.empty()) << r.what;
    }
}

TEST(FirmwareIndex, IsTheOneEntryAfterTheWalkOfItsName)
{
    using st = firmware_index_status;
    struct located {
        const char* what;
        std::function<void(firmware_ptn_table&)> change;
        std::uint64_t image_size;
        st status;
    };
    const std::uint64_t size = sample_header().total_len;
    const located cases[] = {
        {"sound", [](firmware_ptn_table&) {}, size, st::ok},
        {"ends at the image's end", [](firmware_ptn_table&) {}, k_index_at + k_index_len, st::ok},
        {"past the image's end", [](firmware_ptn_table&) {}, k_index_at + k_index_len - 1, st::outside},
        {"none", [](firmware_ptn_table& t) { t.entries[5] = {}; }, size, st::missing},
        {"walked, so not the index",
         [](firmware_ptn_table& t) {
             for (std::size_t i = 3; i <= 5; ++i)
                 t.entries[i].size = 1;
         },
         size, st::missing},
        {"two", [](firmware_ptn_table& t) { t.entries[9] = t.entries[5]; }, size, st::duplicate},
    };
    for (const located& c : cases) {
        firmware_ptn_table t = sample_table();
        c.change(t);
        firmware_index_location where;
        EXPECT_EQ(firmware_index_locate(t, c.image_size, where), c.status) << c.what;
        if (c.status == st::ok) {
            EXPECT_TRUE(where.index == 5 && where.at == k_index_at && where.len == k_index_len) << c.what;
        }
    }
}

TEST(FirmwareIndex, StreamOrderFindsTheFirstBreakInItsOrder)
{
    using so = firmware_stream_order;
    struct ordered {
        const char* what;
        std::function<void(firmware_header&, firmware_ptn_table&)> change;
        so status;
    };
    const ordered cases[] = {
        {"sound", [](firmware_header&, firmware_ptn_table&) {}, so::ok},
        {"table in the header", [](firmware_header& h, firmware_ptn_table&) { h.ptn_table_offset = 4095; },
         so::table_after_index},
        {"table reaching into the index",
         [](firmware_header& h, firmware_ptn_table&) { h.ptn_table_offset = k_index_at - 1663; },
         so::table_after_index},
        {"table after the index", [](firmware_header& h, firmware_ptn_table&) { h.ptn_table_offset = 0x10000; },
         so::table_after_index},
        {"document after the index",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[4].content_offset = 0x2500; },
         so::document_after_index},
        {"other size-0 entry after the index",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[7] = entry("notes", 0, 0x2200, 1); },
         so::document_after_index},
        {"document in the header's signature fields",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[3].content_offset = 4000; }, so::document_after_index},
        {"document in the index's signature area",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[7] = entry("notes", 0, k_index_at + 343, 1); },
         so::document_after_index},
        {"empty entry in the header",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[7] = entry("end", 0, 0, 0); }, so::ok},
        {"walked document after the index",
         [](firmware_header&, firmware_ptn_table& t) { std::strcpy(t.entries[2].name.data(), "support-list"); },
         so::document_after_index},
        {"contents inside the index",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[0].content_offset = k_index_at + k_index_len - 1; },
         so::contents_before_end},
        {"contents right after the index",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[0].content_offset = k_index_at + k_index_len; },
         so::ok},
        {"walked entries swapped",
         [](firmware_header&, firmware_ptn_table& t) { std::swap(t.entries[0], t.entries[1]); },
         so::contents_out_of_order},
        {"walked contents overlapping",
         [](firmware_header&, firmware_ptn_table& t) { t.entries[1].content_offset -= 1; }, so::contents_out_of_order},
        {"index ending past the prefix limit",
         [](firmware_header&, firmware_ptn_table& t) {
             t.entries[5].content_offset = (5u << 20) - k_index_len + 1;
             for (int i = 0; i < 3; ++i)
                 t.entries[i].content_offset += 6u << 20;
         },
         so::prefix_too_big},
    };
    for (const ordered& c : cases) {
        firmware_header h = sample_header();
        firmware_ptn_table t = sample_table();
        c.change(h, t);
        firmware_index_location where;
        ASSERT_EQ(firmware_index_locate(t, std::uint64_t{1} << 32, where), firmware_index_status::ok) << c.what;
        EXPECT_EQ(firmware_stream_order_check(h, t, where), c.status) << c.what;
    }
}

// OpenSSL's SHA-256 of the prefix and the bytes up to the index's end with the
// two signed-over areas zeroed in a copy.
sha256_digest oracle(bytes image, const firmware_index_location& where)
{
    image.resize(where.at + where.len);
    std::fill(image.begin() + 304, image.begin() + 4096, 0);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(where.at + 32),
              image.begin() + static_cast<std::ptrdiff_t>(where.at + 344), 0);
    bytes message(k_index_digest_prefix.begin(), k_index_digest_prefix.end());
    message.insert(message.end(), image.begin(), image.end());
    sha256_digest out{};
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(message.data(), message.size(), out.data(), &len, EVP_sha256(), nullptr), 1);
    return out;
}

TEST(FirmwareIndex, DigestIsOpenSslsOverTheMaskedPrefixHoweverItIsFed)
{
    const bytes image = test_support::random_bytes(k_first + 0x20008, 30);
    const firmware_index_location where{5, k_index_at, k_index_len};
    const sha256_digest expected = oracle(image, where);

    sha256_digest whole{};
    ASSERT_EQ(index_digest_of(std::span(image).first(k_index_at + k_index_len), where, whole), 0);
    EXPECT_EQ(whole, expected);
    // Pieces that cut every boundary of the mask, and the rest of the image,
    // which the index's signatures do not cover.
    for (std::size_t piece : {1u, 7u, 300u, 4096u, 0x2159u}) {
        index_digest d(where);
        for (std::size_t at = 0; at < image.size(); at += piece)
            ASSERT_EQ(d.update(at, std::span(image).subspan(at, std::min(piece, image.size() - at))), 0);
        sha256_digest out{};
        ASSERT_EQ(d.final(out), 0);
        EXPECT_EQ(out, expected) << piece;
    }
    // A changed byte in each covered part changes it; the masked areas do not.
    struct flip {
        std::size_t at;
        bool counts;
    };
    for (const flip f : {flip{0, true}, flip{303, true}, flip{304, false}, flip{4095, false}, flip{4096, true},
                         flip{k_index_at + 31, true}, flip{k_index_at + 32, false}, flip{k_index_at + 343, false},
                         flip{k_index_at + 344, true}, flip{k_index_at + k_index_len - 1, true},
                         flip{k_index_at + k_index_len, false}}) {
        bytes changed = image;
        changed[f.at] ^= 1;
        sha256_digest out{};
        ASSERT_EQ(index_digest_of(changed, where, out), 0);
        EXPECT_EQ(out != expected, f.counts) << f.at;
    }
}

TEST(FirmwareIndex, DigestFailsOnAGapOrBeforeTheIndexEnds)
{
    const bytes image = test_support::random_bytes(k_index_at + k_index_len, 31);
    const firmware_index_location where{5, k_index_at, k_index_len};
    sha256_digest out{};
    EXPECT_EQ(index_digest_of(std::span(image).first(image.size() - 1), where, out), -1);
    index_digest gap(where);
    ASSERT_EQ(gap.update(0, std::span(image).first(100)), 0);
    EXPECT_EQ(gap.update(101, std::span(image).subspan(101)), -1);
    EXPECT_EQ(gap.final(out), -1);
}

} // namespace
