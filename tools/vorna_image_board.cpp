// SPDX-License-Identifier: Apache-2.0
// vorna-image board: makes the device files of a simulated board from a
// description, so that users, the demo and the tests build boards the same way.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"

#include "vorna/storage/unique_fd.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_bytes.h"
#include "vorna/support/vorna_common.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* k_default_table_device = "table.img";
constexpr std::uint32_t k_default_table_base = 0x10000;
// NOR files are written out in full (erased flash is 0xFF, not a hole), so a
// mistyped size must not fill the disk.
constexpr std::int64_t k_nor_max_size = std::int64_t{256} << 20;
constexpr off_t k_description_max_len = off_t{16} << 20;
constexpr std::size_t k_device_path_max = sizeof(ptn_layout::device) - 1;

struct cjson_text_deleter {
    void operator()(char* text) const { cJSON_free(text); }
};

/// One device file of the board.
struct device_file {
    const char* role = "";     ///< "nor", "emmc" or "table"
    std::string name;          ///< file name inside the output folder
    std::string path;          ///< absolute path
    std::int64_t size = 0;     ///< bytes
    std::uint8_t fill = 0;     ///< 0xFF for NOR flash, 0 otherwise
};

/// A layout's fields as the tool needs them; the full validation is vorna's.
struct layout_info {
    cJSON* json = nullptr;
    device_file file;
};

/// A plain file name: the board's files all live in the output folder.
bool plain_file_name(const char* name)
{
    return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

/// Creates (or replaces) the file at its full size with every byte set to its fill.
int create_device_file(const device_file& dev)
{
    unique_fd fd = open_path(dev.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd)
        return vorna_image::fail("board", "cannot create %s: %s", dev.path.c_str(), std::strerror(errno));
    if (::ftruncate(fd.get(), dev.size) != 0)
        return vorna_image::fail("board", "cannot size %s to %lld bytes: %s", dev.path.c_str(),
                                 static_cast<long long>(dev.size), std::strerror(errno));
    if (dev.fill != 0) {
        constexpr std::size_t k_chunk = 1 << 20;
        auto chunk = make_buffer(k_chunk);
        if (!chunk)
            return vorna_image::fail("board", "out of memory");
        std::memset(chunk.get(), dev.fill, k_chunk);
        for (std::int64_t done = 0; done < dev.size;) {
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(dev.size - done, k_chunk));
            if (pwrite_fully(fd.get(), done, chunk.get(), static_cast<off_t>(n)) != static_cast<off_t>(n))
                return vorna_image::fail("board", "cannot write %s: %s", dev.path.c_str(), std::strerror(errno));
            done += static_cast<std::int64_t>(n);
        }
    }
    if (::fsync(fd.get()) != 0 || fd.reset() != 0)
        return vorna_image::fail("board", "cannot write %s: %s", dev.path.c_str(), std::strerror(errno));
    return 0;
}

int write_into(const device_file& dev, std::int64_t offset, const std::uint8_t* data, std::size_t len)
{
    unique_fd fd = open_path(dev.path.c_str(), O_WRONLY);
    if (!fd || pwrite_fully(fd.get(), offset, data, static_cast<off_t>(len)) != static_cast<off_t>(len) ||
        ::fsync(fd.get()) != 0 || fd.reset() != 0)
        return vorna_image::fail("board", "cannot write %s: %s", dev.path.c_str(), std::strerror(errno));
    return 0;
}

/// Reads a whole file of at most `max_len` bytes.
int read_whole(const std::string& path, off_t max_len, std::vector<std::uint8_t>& out)
{
    const whole_file got = read_whole_file(path.c_str(), max_len, false, out);
    if (got.status == whole_read::too_large)
        return vorna_image::fail("board", "%s is too large (%lld bytes, at most %lld)", path.c_str(),
                                 static_cast<long long>(got.size), static_cast<long long>(max_len));
    if (got.status != whole_read::ok)
        return vorna_image::fail("board", "cannot read %s", path.c_str());
    return 0;
}

/// A device as the board's own system names it: an absolute path that fits the table.
bool device_path(const char* name)
{
    return name[0] == '/' && std::strlen(name) <= k_device_path_max;
}

int parse_layout(cJSON* table, const char* key, const char* role, std::uint8_t fill, bool provision, layout_info& out)
{
    out.json = cJSON_GetObjectItem(table, key);
    if (!cJSON_IsObject(out.json))
        return vorna_image::fail("board", "\"partition-table\" has no object \"%s\"", key);
    const cJSON* device = cJSON_GetObjectItem(out.json, "device");
    if (provision && (!cJSON_IsString(device) || !device_path(device->valuestring)))
        return vorna_image::fail("board",
                                 "\"%s\": \"device\" must be the board's absolute device path "
                                 "(such as /dev/mmcblk0) of at most %zu characters",
                                 key, k_device_path_max);
    if (!provision && (!cJSON_IsString(device) || !plain_file_name(device->valuestring)))
        return vorna_image::fail("board", "\"%s\": \"device\" must be a file name (no folders)", key);
    const cJSON* disk_size = cJSON_GetObjectItem(out.json, "disk-size");
    if (!cJSON_IsString(disk_size))
        return vorna_image::fail("board", "\"%s\": \"disk-size\" must be a hexadecimal string", key);
    out.file.role = role;
    out.file.name = device->valuestring;
    out.file.size = hex_value(disk_size->valuestring);
    out.file.fill = fill;
    if (out.file.size <= 0)
        return vorna_image::fail("board", "\"%s\": \"disk-size\" must be above 0", key);
    return 0;
}

/// A partition of the table as the board tool sees it.
struct partition_ref {
    const layout_info* layout = nullptr;
    std::uint32_t base = 0;
    std::uint32_t size = 0;
};

/// Finds `name` the way vorna does: the NOR layout first, then the eMMC layout.
bool find_partition(const std::array<layout_info, 2>& layouts, const char* name, partition_ref& out)
{
    for (const layout_info& layout : layouts) {
        const cJSON* partitions = cJSON_GetObjectItem(layout.json, "partitions");
        const cJSON* ptn = nullptr;
        cJSON_ArrayForEach(ptn, partitions)
        {
            const cJSON* ptn_name = cJSON_GetObjectItem(ptn, "name");
            if (!cJSON_IsString(ptn_name) || std::strcmp(ptn_name->valuestring, name) != 0)
                continue;
            const cJSON* base = cJSON_GetObjectItem(ptn, "base");
            const cJSON* size = cJSON_GetObjectItem(ptn, "size");
            if (!cJSON_IsString(base) || !cJSON_IsString(size))
                return false;
            out.layout = &layout;
            out.base = static_cast<std::uint32_t>(hex_value(base->valuestring));
            out.size = static_cast<std::uint32_t>(hex_value(size->valuestring));
            return true;
        }
    }
    return false;
}

/// True when the layout has a partition that meets [begin, end).
bool layout_overlaps(const layout_info& layout, std::int64_t begin, std::int64_t end)
{
    const cJSON* ptn = nullptr;
    cJSON_ArrayForEach(ptn, cJSON_GetObjectItem(layout.json, "partitions"))
    {
        const cJSON* base = cJSON_GetObjectItem(ptn, "base");
        const cJSON* size = cJSON_GetObjectItem(ptn, "size");
        if (!cJSON_IsString(base) || !cJSON_IsString(size))
            continue;
        const std::int64_t ptn_begin = static_cast<std::uint32_t>(hex_value(base->valuestring));
        const std::int64_t ptn_end = ptn_begin + static_cast<std::uint32_t>(hex_value(size->valuestring));
        if (ptn_begin < end && begin < ptn_end)
            return true;
    }
    return false;
}

int hex_member(const cJSON* object, const char* key, std::uint32_t fallback, std::uint32_t& out)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr) {
        out = fallback;
        return 0;
    }
    if (!cJSON_IsString(item))
        return vorna_image::fail("board", "\"%s\" must be a hexadecimal string", key);
    out = static_cast<std::uint32_t>(hex_value(item->valuestring));
    return 0;
}

/// One entry of "contents": the bytes that belong at its partition's base.
struct content_piece {
    std::string name;
    partition_ref ptn;
    std::size_t body_size = 0;
    bool framed = false;
    std::vector<std::uint8_t> bytes; ///< the header (when framed) and the body
};

/// The bytes of a content item: its "file" (read up to `room` bytes), "text" or
/// "json". 0, or 1 after printing.
int content_body(const cJSON* content, const char* name, const fs::path& description_dir, std::size_t room,
                 std::vector<std::uint8_t>& body)
{
    const cJSON* file = cJSON_GetObjectItem(content, "file");
    const cJSON* text = cJSON_GetObjectItem(content, "text");
    const cJSON* json = cJSON_GetObjectItem(content, "json");
    if ((file != nullptr) + (text != nullptr) + (json != nullptr) != 1)
        return vorna_image::fail("board", "content for '%s': give exactly one of \"file\", \"text\" and \"json\"",
                                 name);

    if (file != nullptr) {
        if (!cJSON_IsString(file))
            return vorna_image::fail("board", "content for '%s': \"file\" must be a path", name);
        fs::path source(file->valuestring);
        if (source.is_relative())
            source = description_dir / source;
        if (read_whole(source.string(), static_cast<off_t>(room), body) != 0)
            return 1;
    } else if (text != nullptr) {
        if (!cJSON_IsString(text))
            return vorna_image::fail("board", "content for '%s': \"text\" must be a string", name);
        body.assign(text->valuestring, text->valuestring + std::strlen(text->valuestring));
    } else {
        std::unique_ptr<char, cjson_text_deleter> printed(cJSON_PrintUnformatted(json));
        if (!printed)
            return vorna_image::fail("board", "out of memory");
        body.assign(printed.get(), printed.get() + std::strlen(printed.get()));
    }
    return 0;
}

/// Makes the bytes of one entry of "contents" and checks that they fit.
int make_content(const cJSON* content, const std::array<layout_info, 2>& layouts, const fs::path& description_dir,
                 content_piece& out)
{
    const cJSON* name = cJSON_GetObjectItem(content, "partition");
    if (!cJSON_IsString(name))
        return vorna_image::fail("board", "every entry of \"contents\" needs a \"partition\" name");
    partition_ref& ptn = out.ptn;
    if (!find_partition(layouts, name->valuestring, ptn))
        return vorna_image::fail("board", "content for partition '%s': no such partition in the table",
                                 name->valuestring);

    const cJSON* header = cJSON_GetObjectItem(content, "header");
    if (header != nullptr && !cJSON_IsBool(header))
        return vorna_image::fail("board", "content for '%s': \"header\" must be true or false", name->valuestring);
    const bool framed = cJSON_IsTrue(header);
    const std::size_t room = framed ? static_cast<std::size_t>(ptn_frame_room(ptn.size)) : ptn.size;

    std::vector<std::uint8_t> body;
    if (content_body(content, name->valuestring, description_dir, room, body) != 0)
        return 1;
    if (body.size() > room)
        return vorna_image::fail("board", "content for '%s' has %zu bytes; the partition holds %zu", name->valuestring,
                                 body.size(), room);

    std::vector<std::uint8_t>& bytes = out.bytes;
    bytes.clear();
    if (framed) {
        std::uint32_t first_word = 0;
        std::uint32_t last_word = 0;
        if (hex_member(content, "first-word", 0, first_word) != 0 ||
            hex_member(content, "last-word", 0, last_word) != 0)
            return 1;
        bytes.assign(k_ptn_header_len, 0);
        ptn_header_encode({first_word, k_ptn_header_magic, static_cast<std::uint32_t>(body.size()), last_word},
                          std::span(bytes).first<k_ptn_header_len>());
    }
    bytes.insert(bytes.end(), body.begin(), body.end());
    const device_file& dev = ptn.layout->file;
    if (std::int64_t{ptn.base} + static_cast<std::int64_t>(bytes.size()) > dev.size)
        return vorna_image::fail("board", "content for '%s' ends beyond the end of %s", name->valuestring,
                                 dev.name.c_str());
    out.name = name->valuestring;
    out.body_size = body.size();
    out.framed = framed;
    return 0;
}

/// Writes one entry of "contents" into its partition of the simulated board.
int write_content(const cJSON* content, const std::array<layout_info, 2>& layouts, const fs::path& description_dir)
{
    content_piece piece;
    if (make_content(content, layouts, description_dir, piece) != 0)
        return 1;
    const device_file& dev = piece.ptn.layout->file;
    if (!piece.bytes.empty() && write_into(dev, piece.ptn.base, piece.bytes.data(), piece.bytes.size()) != 0)
        return 1;
    std::printf("  content %-16s %zu bytes%s at 0x%08X of %s\n", piece.name.c_str(), piece.body_size,
                piece.framed ? " behind a header" : "", piece.ptn.base, dev.name.c_str());
    return 0;
}

} // namespace

void image_board_help()
{
    std::printf("Usage: vorna-image board DESCRIPTION.json OUTDIR\n"
                "       vorna-image board --provision DESCRIPTION.json OUTDIR\n"
                "\n"
                "Makes a simulated board in OUTDIR (created when absent): a NOR file and an\n"
                "eMMC file of their layouts' disk sizes (NOR erased to 0xFF, eMMC zeros), and\n"
                "a table device file that holds the partition table at its base offset.\n"
                "Existing files of the same names are replaced.\n"
                "\n"
                "DESCRIPTION.json:\n"
                "  {\n"
                "    \"table-device\": \"table.img\",     file of the table (default table.img);\n"
                "                                     may name the NOR or eMMC file\n"
                "    \"table-base\": \"0x10000\",         offset of the table (default 0x10000)\n"
                "    \"partition-table\": {             the table, as vorna reads it, except that\n"
                "      \"partition-layout-nor\":  { \"device\": \"nor.img\", \"disk-size\": \"0x1000000\",\n"
                "                                 \"partitions\": [ ... ] },\n"
                "      \"partition-layout-emmc\": { \"device\": \"emmc.img\", ... }\n"
                "    },                               each \"device\" is a file name in OUTDIR;\n"
                "                                     the board's table names it by absolute path\n"
                "    \"contents\": [                    optional initial partition contents\n"
                "      { \"partition\": \"device-info\",\n"
                "        \"file\": \"device-info.json\",  a file (relative to DESCRIPTION's folder),\n"
                "                                     or \"text\": \"...\", or \"json\": {...}\n"
                "        \"header\": true,              frame with the 16-byte content header\n"
                "        \"first-word\": \"0\", \"last-word\": \"0\" }   header words (hex, default 0)\n"
                "    ]\n"
                "  }\n"
                "\n"
                "The table itself is not validated, so boards with faulty tables can be made;\n"
                "each layout needs only a \"device\" and a \"disk-size\". A NOR file is limited\n"
                "to 256 MiB. The table text (at most 32768 bytes) must not meet a partition\n"
                "when it shares a file with a layout.\n"
                "\n"
                "Then: vorna -s -b 0x10000 -d OUTDIR/table.img\n"
                "\n"
                "--provision makes, instead of a simulated board, what a factory writes to a\n"
                "real one: each \"device\" and \"table-device\" is then the board's absolute\n"
                "device path (/dev/mtd0, /dev/mmcblk0), kept as it is, and the table must be\n"
                "one vorna accepts. OUTDIR gets table.json, the exact table bytes for the\n"
                "table's offset of its device, and PARTITION.bin for each entry of\n"
                "\"contents\", the exact bytes (header included) for the partition's base.\n"
                "Each file is listed with its device and offset.\n"
                "Exit status: 0 on success, 1 on any error.\n");
}

namespace {

/// The table's place on the board: its device and offset.
struct table_place {
    std::string device;
    std::uint32_t base = 0;
};

/// The layout whose device the table shares, or null when it has one of its own.
const layout_info* table_layout_of(const std::array<layout_info, 2>& layouts, const std::string& device)
{
    for (const layout_info& layout : layouts) {
        if (layout.file.name == device)
            return &layout;
    }
    return nullptr;
}

/// A table that shares a layout's device must end within it and meet none of its partitions.
int check_table_room(const layout_info* layout, const table_place& place, std::size_t table_len)
{
    if (layout == nullptr)
        return 0;
    const std::int64_t table_end = std::int64_t{place.base} + static_cast<std::int64_t>(table_len);
    if (table_end > layout->file.size)
        return vorna_image::fail("board", "the table at 0x%X ends beyond the end of %s", place.base,
                                 place.device.c_str());
    if (layout_overlaps(*layout, place.base, table_end))
        return vorna_image::fail("board", "the table at 0x%X meets a partition of %s", place.base,
                                 place.device.c_str());
    return 0;
}

/// Prints a table as vorna reads it; null after printing when it is too long.
std::unique_ptr<char, cjson_text_deleter> table_text_of(const cJSON* table)
{
    std::unique_ptr<char, cjson_text_deleter> text(cJSON_Print(table));
    if (!text) {
        vorna_image::fail("board", "out of memory");
        return nullptr;
    }
    const std::size_t len = std::strlen(text.get());
    if (len > static_cast<std::size_t>(k_ptn_table_max_len)) {
        vorna_image::fail("board", "the table text has %zu bytes; vorna reads at most %d", len, k_ptn_table_max_len);
        return nullptr;
    }
    return text;
}

int make_out_dir(const fs::path& arg, fs::path& out)
{
    std::error_code ec;
    fs::create_directories(arg, ec);
    if (ec)
        return vorna_image::fail("board", "cannot create %s: %s", arg.c_str(), ec.message().c_str());
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(arg.c_str(), resolved.data()) == nullptr)
        return vorna_image::fail("board", "cannot resolve %s: %s", arg.c_str(), std::strerror(errno));
    out = resolved.data();
    return 0;
}

/// --provision: the files a factory writes to a real board, each with the device
/// and offset it goes to. The table keeps the board's device paths, so it must be
/// one vorna accepts: a bad table written to every board of a batch is found only
/// when the first one fails to upgrade.
int provision(cJSON* root, cJSON* table, std::array<layout_info, 2>& layouts, const table_place& place,
              const fs::path& out_dir_arg, const fs::path& description_dir)
{
    if (!device_path(place.device.c_str()))
        return vorna_image::fail("board", "--provision needs \"table-device\": the board's absolute device path "
                                          "that holds the table (such as /dev/mmcblk0)");
    auto parsed = std::make_unique<ptn_table>();
    if (ptn_table_parse(table, parsed.get()) != 0)
        return vorna_image::fail("board", "\"partition-table\" is not a table vorna accepts (see above)");
    auto table_text = table_text_of(table);
    if (!table_text)
        return 1;
    const std::size_t table_len = std::strlen(table_text.get());
    if (check_table_room(table_layout_of(layouts, place.device), place, table_len) != 0)
        return 1;

    const cJSON* contents = cJSON_GetObjectItem(root, "contents");
    if (contents != nullptr && !cJSON_IsArray(contents))
        return vorna_image::fail("board", "\"contents\" must be an array");
    std::vector<content_piece> pieces;
    const cJSON* content = nullptr;
    cJSON_ArrayForEach(content, contents)
    {
        content_piece piece;
        if (make_content(content, layouts, description_dir, piece) != 0)
            return 1;
        for (const content_piece& earlier : pieces) {
            if (earlier.name == piece.name)
                return vorna_image::fail("board", "two entries of \"contents\" for partition '%s'", piece.name.c_str());
        }
        pieces.push_back(std::move(piece));
    }

    fs::path out_dir;
    if (make_out_dir(out_dir_arg, out_dir) != 0)
        return 1;
    const std::vector<std::uint8_t> table_bytes(table_text.get(), table_text.get() + table_len);
    if (vorna_image::replace_file("board", (out_dir / "table.json").string(), table_bytes, 0644) != 0)
        return 1;
    for (const content_piece& piece : pieces) {
        if (vorna_image::replace_file("board", (out_dir / (piece.name + ".bin")).string(), piece.bytes, 0644) != 0)
            return 1;
    }
    std::printf("provisioning files in %s (each goes at its offset of its device):\n", out_dir.c_str());
    std::printf("  %-20s at 0x%08X of %s, %zu bytes\n", "table.json", place.base, place.device.c_str(), table_len);
    for (const content_piece& piece : pieces)
        std::printf("  %-20s at 0x%08X of %s, %zu bytes (%s: %zu bytes%s)\n", (piece.name + ".bin").c_str(),
                    piece.ptn.base, piece.ptn.layout->file.name.c_str(), piece.bytes.size(), piece.name.c_str(),
                    piece.body_size, piece.framed ? " behind a header" : "");
    return 0;
}

} // namespace

namespace {

/// Reads the board description at `path` as a JSON object. 0, or 1 after printing.
int read_description(const std::string& path, cjson_ptr& root)
{
    std::vector<std::uint8_t> text;
    if (read_whole(path, k_description_max_len, text) != 0)
        return 1;
    root.reset(cJSON_ParseWithLength(reinterpret_cast<const char*>(text.data()), text.size()));
    if (!cJSON_IsObject(root.get()))
        return vorna_image::fail("board", "%s is not a JSON object", path.c_str());
    return 0;
}

/// Where the description puts the table: "table-device" and "table-base". 0, or 1 after printing.
int table_place_of(const cJSON* root, bool provision_mode, table_place& place)
{
    place.device = provision_mode ? "" : k_default_table_device;
    const cJSON* table_device = cJSON_GetObjectItem(root, "table-device");
    if (table_device != nullptr) {
        if (!cJSON_IsString(table_device) || (!provision_mode && !plain_file_name(table_device->valuestring)))
            return vorna_image::fail("board", "\"table-device\" must be a file name (no folders)");
        place.device = table_device->valuestring;
    }
    return hex_member(root, "table-base", k_default_table_base, place.base) != 0 ? 1 : 0;
}

/// Names each layout's device file in `out_dir`, in the file list and in the table. 0, or 1 after printing.
int place_layout_files(std::array<layout_info, 2>& layouts, const fs::path& out_dir)
{
    for (layout_info& layout : layouts) {
        layout.file.path = (out_dir / layout.file.name).string();
        if (layout.file.path.size() > k_device_path_max)
            return vorna_image::fail("board", "%s is longer than the %zu characters a table's device path may have",
                                     layout.file.path.c_str(), k_device_path_max);
        if (!cJSON_ReplaceItemInObject(layout.json, "device", cJSON_CreateString(layout.file.path.c_str())))
            return vorna_image::fail("board", "out of memory");
    }
    return 0;
}

/// Writes every item of the description's "contents". 0, or 1 after printing.
int write_contents(const cJSON* root, const std::array<layout_info, 2>& layouts, const fs::path& description_dir)
{
    const cJSON* contents = cJSON_GetObjectItem(root, "contents");
    if (contents != nullptr && !cJSON_IsArray(contents))
        return vorna_image::fail("board", "\"contents\" must be an array");
    const cJSON* content = nullptr;
    cJSON_ArrayForEach(content, contents)
    {
        if (write_content(content, layouts, description_dir) != 0)
            return 1;
    }
    return 0;
}

/// Creates the board's device files in `out_dir` with the table written into its
/// place, and says where. 0, or 1 after printing.
int lay_out_board(cJSON* table, std::array<layout_info, 2>& layouts, const table_place& place, const fs::path& out_dir)
{
    device_file table_file;
    table_file.role = "table";
    table_file.name = place.device;
    if (place_layout_files(layouts, out_dir) != 0)
        return 1;
    table_file.path = (out_dir / table_file.name).string();
    auto table_text = table_text_of(table);
    if (!table_text)
        return 1;
    const std::size_t table_len = std::strlen(table_text.get());
    // The table either has a file of its own or shares a layout's.
    const layout_info* table_layout = table_layout_of(layouts, table_file.name);
    std::vector<const device_file*> files = {&layouts[0].file, &layouts[1].file};
    if (table_layout != nullptr) {
        if (check_table_room(table_layout, place, table_len) != 0)
            return 1;
    } else {
        table_file.size = std::int64_t{place.base} + k_ptn_table_max_len;
        files.push_back(&table_file);
    }
    for (const device_file* dev : files) {
        if (create_device_file(*dev) != 0)
            return 1;
    }
    const device_file& table_dev = table_layout != nullptr ? table_layout->file : table_file;
    if (write_into(table_dev, place.base, reinterpret_cast<const std::uint8_t*>(table_text.get()), table_len) != 0)
        return 1;
    std::printf("board in %s:\n", out_dir.c_str());
    for (const device_file* dev : files)
        std::printf("  %-5s %s, 0x%llX bytes\n", dev->role, dev->path.c_str(),
                    static_cast<unsigned long long>(dev->size));
    std::printf("  table at 0x%X of %s, %zu bytes\n", place.base, table_dev.name.c_str(), table_len);
    return 0;
}

} // namespace

int image_board_main(int argc, char** argv)
{
    const bool provision_mode = vorna_image::take_flag(argc, argv, "--provision");
    if (argc != 3)
        return vorna_image::fail("board", "expected [--provision] DESCRIPTION.json OUTDIR (see vorna-image board "
                                          "--help)");
    const std::string description_path = argv[1];
    const fs::path out_dir_arg = argv[2];
    cjson_ptr root(nullptr);
    if (read_description(description_path, root) != 0)
        return 1;
    cJSON* table = cJSON_GetObjectItem(root.get(), "partition-table");
    if (!cJSON_IsObject(table))
        return vorna_image::fail("board", "%s has no object \"partition-table\"", description_path.c_str());
    std::array<layout_info, 2> layouts;
    if (parse_layout(table, "partition-layout-nor", "nor", 0xFF, provision_mode, layouts[0]) != 0 ||
        parse_layout(table, "partition-layout-emmc", "emmc", 0, provision_mode, layouts[1]) != 0)
        return 1;
    if (layouts[0].file.name == layouts[1].file.name)
        return vorna_image::fail("board", "the NOR and eMMC layouts name the same file '%s'",
                                 layouts[0].file.name.c_str());
    table_place place;
    if (table_place_of(root.get(), provision_mode, place) != 0)
        return 1;
    const fs::path description_dir = fs::path(description_path).parent_path();
    if (provision_mode)
        return provision(root.get(), table, layouts, place, out_dir_arg, description_dir);
    if (layouts[0].file.size > k_nor_max_size)
        return vorna_image::fail("board", "NOR \"disk-size\" 0x%llX is above the 256 MiB a board may have",
                                 static_cast<unsigned long long>(layouts[0].file.size));
    fs::path out_dir;
    if (make_out_dir(out_dir_arg, out_dir) != 0 || lay_out_board(table, layouts, place, out_dir) != 0)
        return 1;
    return write_contents(root.get(), layouts, description_dir);
}
