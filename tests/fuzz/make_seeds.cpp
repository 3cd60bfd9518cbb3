// SPDX-License-Identifier: Apache-2.0
// Writes the seeds that are assembled from the tests' fixtures rather than kept
// as files: "device-info" partitions (content header + each identity document)
// and unsigned firmware images that carry a support list and a firmware-info
// document (for the signed harness without their header, see there).
// Usage: fuzz_make_seeds OUT_ROOT; the seeds go to OUT_ROOT/<harness>/.
#include "vorna/support/vorna_bytes.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_index.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

bool read_file(const fs::path& path, bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool write_file(const fs::path& path, const bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

/// `document` behind a content header that announces its length.
bytes framed(const bytes& document)
{
    bytes out(k_ptn_header_len);
    ptn_header_encode({0, k_ptn_header_magic, static_cast<std::uint32_t>(document.size()), 0},
                      std::span<std::uint8_t, 16>(out.data(), 16));
    out.insert(out.end(), document.begin(), document.end());
    return out;
}

/// Bytes that differ from block to block, so that a misplaced copy shows.
bytes pattern(std::size_t n, std::uint8_t seed)
{
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

struct part {
    const char* name;
    std::uint32_t base;
    std::uint32_t size;
    std::uint32_t type;
    bytes contents;
};

/// An image with its table at `table_at` (4096 for the usual place, 0 for behind
/// the contents) and the right magic and length; the signature field stays zero.
bytes image_of(const std::vector<part>& parts, std::uint32_t table_at)
{
    bytes image(k_firmware_header_len, 0);
    const bool table_last = table_at == 0;
    if (!table_last)
        image.resize(std::max<std::size_t>(image.size(), table_at + k_firmware_ptn_table_len), 0);
    firmware_ptn_table table{};
    for (std::size_t i = 0; i < parts.size() && i < table.entries.size(); ++i) {
        firmware_ptn_entry& e = table.entries[i];
        std::copy_n(parts[i].name, std::char_traits<char>::length(parts[i].name), e.name.begin());
        e.base = parts[i].base;
        e.size = parts[i].size;
        e.type = parts[i].type;
        e.content_offset = static_cast<std::uint32_t>(image.size());
        e.content_size = static_cast<std::uint32_t>(parts[i].contents.size());
        image.insert(image.end(), parts[i].contents.begin(), parts[i].contents.end());
    }
    if (table_last) {
        table_at = static_cast<std::uint32_t>(image.size());
        image.resize(image.size() + k_firmware_ptn_table_len, 0);
    }
    // The header first: a table placed inside it must not be overwritten.
    firmware_header header{};
    header.magic = k_firmware_magic;
    header.ptn_table_offset = table_at;
    header.total_len = static_cast<std::uint32_t>(image.size());
    firmware_header_encode(header, std::span<std::uint8_t, k_firmware_header_len>(image.data(), k_firmware_header_len));
    firmware_ptn_table_encode(table,
                              std::span<std::uint8_t, k_firmware_ptn_table_len>(image.data() + table_at,
                                                                                 k_firmware_ptn_table_len));
    return image;
}

int fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_make_seeds: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return fail("usage: fuzz_make_seeds OUT_ROOT");
    const fs::path out = argv[1];
    const fs::path data = VORNA_TEST_DATA_DIR;
    const fs::path corpus = VORNA_FUZZ_CORPUS_DIR;
    std::error_code ec;
    for (const char* h : {"device_info", "ptn_header", "firmware_image", "firmware_signed", "firmware_index"}) {
        fs::create_directories(out / h, ec);
        if (ec)
            return fail("cannot create " + (out / h).string());
    }

    // Every identity document of the tests, framed as its partition holds it.
    bytes identity;
    for (const fs::directory_entry& entry : fs::directory_iterator(data, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("device_info", 0) != 0 || entry.path().extension() != ".json")
            continue;
        bytes doc;
        if (!read_file(entry.path(), doc))
            return fail("cannot read " + entry.path().string());
        if (identity.empty())
            identity = doc;
        const bytes partition = framed(doc);
        if (!write_file(out / "device_info" / ("partition-" + entry.path().stem().string()), partition) ||
            !write_file(out / "ptn_header" / ("partition-" + entry.path().stem().string()), partition))
            return fail("cannot write the device_info seeds");
    }
    if (ec || identity.empty())
        return fail("no device_info*.json in " + data.string());

    bytes list;
    if (!read_file(corpus / "support_list" / "example.json", list))
        return fail("cannot read the support-list seed");
    bytes other_list;
    if (!read_file(corpus / "support_list" / "edges.json", other_list))
        return fail("cannot read the support-list seed");

    // The upgrade walk stops at the zero-size entry; the documents behind it are
    // still found by name.
    const std::vector<part> board = {
        {"bootloader", 0x0, 0x10000, k_firmware_type_nor, pattern(300, 1)},
        {"kernel", 0x100000, 0x800000, k_firmware_type_emmc, pattern(700, 2)},
        {"", 0, 0, 0, {}},
        {"support-list", 0, 0x1000, 0, framed(list)},
        {"firmware-info", 0, 0x1000, 0, framed(identity)},
    };
    std::vector<part> twice = board;
    twice.push_back({"support-list", 0, 0x1000, 0, framed(other_list)});
    twice.push_back({"firmware-info", 0, 0x1000, 0, framed(list)});
    std::vector<part> moved = board;
    moved[0].base = 0x8000;
    moved[1].type = 2;

    const std::vector<std::pair<std::string, bytes>> images = {
        {"board", image_of(board, k_firmware_header_len)},
        {"table-last", image_of(board, 0)},
        {"table-inside-header", image_of(board, 512)},
        {"two-of-each", image_of(twice, k_firmware_header_len)},
        {"moved-and-bad-type", image_of(moved, k_firmware_header_len)},
    };
    for (const auto& [name, image] : images) {
        // The signed harness takes the table offset and what follows the header.
        bytes compact(image.begin() + 8, image.begin() + 12);
        compact.insert(compact.end(), image.begin() + k_firmware_header_len, image.end());
        if (!write_file(out / "firmware_image" / name, image) ||
            (load_be32_at(image, 8) >= k_firmware_header_len && !write_file(out / "firmware_signed" / name, compact)))
            return fail("cannot write the image seeds");
    }
    // The index harness takes a table and an index for it, here the board's.
    const bytes with_table = image_of(board, k_firmware_header_len);
    firmware_ptn_table table{};
    if (!firmware_ptn_table_parse(std::span(with_table).subspan(k_firmware_header_len), table))
        return fail("cannot read the board's table");
    std::vector<firmware_block_digest> digests(firmware_index_block_count(table));
    for (std::size_t i = 0; i < digests.size(); ++i)
        digests[i].fill(static_cast<std::uint8_t>(i + 1));
    bytes index(firmware_index_len(table));
    bytes index_seed(with_table.begin() + k_firmware_header_len,
                     with_table.begin() + k_firmware_header_len + k_firmware_ptn_table_len);
    if (firmware_index_encode(table, digests, index) != 0)
        return fail("cannot encode the index seed");
    index_seed.insert(index_seed.end(), index.begin(), index.end());
    if (!write_file(out / "firmware_index" / "board", index_seed))
        return fail("cannot write the index seed");
    bytes short_image(image_of(board, k_firmware_header_len));
    short_image.resize(600);
    store_be32_at(short_image, 12, static_cast<std::uint32_t>(short_image.size()));
    if (!write_file(out / "firmware_image" / "short", short_image))
        return fail("cannot write the image seeds");
    return 0;
}
