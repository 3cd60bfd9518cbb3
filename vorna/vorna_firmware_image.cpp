// Decoding, encoding and the header check of the firmware image. The decoders
// copy what they convert; the image bytes are never written.
#include "vorna/vorna_firmware.h"

#include "vorna/unique_fd.h"
#include "vorna/vorna_alloc.h"
#include "vorna/vorna_bytes.h"
#include "vorna/vorna_file.h"
#include "vorna/vorna_firmware_map.h"
#include "vorna/vorna_firmware_strong.h"
#include "vorna/vorna_log.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

enum line : int {
    k_line_bad_magic = 190,
    k_line_size_mismatch = 196,
    k_line_too_short = 199, // too short to hold the signature field
    k_line_rsa_failed = 204,
    k_line_rsa_pass = 207,
    k_line_header_alloc = 229,
    k_line_table_short = 281, // table runs past the end of the file
    k_line_table_alloc = 285,
};

// Entry layout: name[32] base size content_offset content_size type
constexpr std::size_t k_entry_base = 32;
constexpr std::size_t k_entry_size = 36;
constexpr std::size_t k_entry_content_offset = 40;
constexpr std::size_t k_entry_content_size = 44;
constexpr std::size_t k_entry_type = 48;

} // namespace

bool firmware_ptn_name_is(const firmware_ptn_entry& entry, const char* name)
{
    std::size_t stored = ::strnlen(entry.name.data(), entry.name.size());
    std::size_t wanted = std::strlen(name);
    return stored == wanted && std::memcmp(entry.name.data(), name, stored) == 0;
}

std::unique_ptr<firmware_header> firmware_header_decode(std::span<const std::uint8_t> image)
{
    auto header = make_record<firmware_header>();
    if (!header) {
        log_error(k_module, k_line_header_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_header_len));
        return nullptr;
    }
    // A short image leaves the rest of the copy zero, as a mapping in whole
    // pages would show it; nothing past the end of the file is read.
    std::array<std::uint8_t, k_firmware_header_len> raw{};
    std::copy_n(image.begin(), std::min(image.size(), raw.size()), raw.begin());
    std::span<const std::uint8_t> bytes(raw);
    header->first_word = load_be32_at(bytes, 0);
    header->magic = load_be32_at(bytes, 4);
    header->ptn_table_offset = load_be32_at(bytes, 8);
    header->total_len = load_be32_at(bytes, 12);
    std::copy(raw.begin() + 16, raw.end(), header->rest.begin());
    return header;
}

std::unique_ptr<firmware_ptn_table> firmware_ptn_table_decode(std::span<const std::uint8_t> table_bytes)
{
    if (table_bytes.size() < k_firmware_ptn_table_len) {
        log_error(k_module, k_line_table_short, "firmware ptn_table needs %d bytes, only %zu left in the file.\n",
                  static_cast<int>(k_firmware_ptn_table_len), table_bytes.size());
        return nullptr;
    }
    auto table = make_record<firmware_ptn_table>();
    if (!table) {
        log_error(k_module, k_line_table_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_ptn_table_len));
        return nullptr;
    }
    for (std::size_t i = 0; i < table->entries.size(); ++i) {
        auto raw = table_bytes.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        firmware_ptn_entry& e = table->entries[i];
        std::memcpy(e.name.data(), raw.data(), e.name.size());
        e.base = load_be32_at(raw, k_entry_base);
        e.size = load_be32_at(raw, k_entry_size);
        e.content_offset = load_be32_at(raw, k_entry_content_offset);
        e.content_size = load_be32_at(raw, k_entry_content_size);
        e.type = load_be32_at(raw, k_entry_type);
    }
    return table;
}

void firmware_header_encode(const firmware_header& header, std::span<std::uint8_t, k_firmware_header_len> out)
{
    std::span<std::uint8_t> bytes(out);
    store_be32_at(bytes, 0, header.first_word);
    store_be32_at(bytes, 4, header.magic);
    store_be32_at(bytes, 8, header.ptn_table_offset);
    store_be32_at(bytes, 12, header.total_len);
    std::copy(header.rest.begin(), header.rest.end(), bytes.begin() + 16);
}

void firmware_ptn_table_encode(const firmware_ptn_table& table, std::span<std::uint8_t, k_firmware_ptn_table_len> out)
{
    std::span<std::uint8_t> bytes(out);
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        auto raw = bytes.subspan(i * k_firmware_ptn_entry_len, k_firmware_ptn_entry_len);
        const firmware_ptn_entry& e = table.entries[i];
        std::memcpy(raw.data(), e.name.data(), e.name.size());
        store_be32_at(raw, k_entry_base, e.base);
        store_be32_at(raw, k_entry_size, e.size);
        store_be32_at(raw, k_entry_content_offset, e.content_offset);
        store_be32_at(raw, k_entry_content_size, e.content_size);
        store_be32_at(raw, k_entry_type, e.type);
    }
}

int firmware_header_check(std::span<const std::uint8_t> image, const firmware_header* header)
{
    if (header == nullptr)
        return -2;
    if (header->magic != k_firmware_magic) {
        log_error(k_module, k_line_bad_magic, "Invalid magic number.\n");
        return -2;
    }
    if (std::uint64_t{header->total_len} != image.size()) {
        log_error(k_module, k_line_size_mismatch,
                  "firmware size un-match, firmware_size is %lld header[total_len] is %d.\n",
                  static_cast<long long>(image.size()), static_cast<std::int32_t>(header->total_len));
        return -2;
    }
    // The signature field itself must be inside the file before it can be checked.
    if (image.size() < k_firmware_min_len) {
        log_error(k_module, k_line_too_short, "firmware too short, firmware_size is %d, at least %d bytes needed.\n",
                  static_cast<int>(image.size()), static_cast<int>(k_firmware_min_len));
        return -2;
    }
    firmware_strong_pending strong;
    if (firmware_verify_signatures(image, *header, strong) < 0) {
        log_error(k_module, k_line_rsa_failed, "firmware RSA verify failed\n\n");
        return -4;
    }
    log_info(k_module, k_line_rsa_pass, "rsa check pass\n");
    return firmware_strong_report(*header, strong);
}

mapped_file firmware_image_map(const char* path, const firmware_open_lines& lines)
{
    off_t size = file_get_size(path);
    if (size <= 0) {
        log_error(k_module, lines.size, "Failed to get file size, file='%s'\n", path);
        return {};
    }
    int raw;
    do {
        raw = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    unique_fd fd(raw);
    if (!fd) {
        log_error(k_module, lines.open, "Failed to open file '%s'\n", path);
        return {};
    }
    // The mapping keeps the file referenced; the descriptor is not needed after it.
    mapped_file map(fd.get(), static_cast<std::size_t>(size));
    if (!map.valid())
        log_error(k_module, lines.mmap, "Failed to mmap file '%s'\n", path);
    return map;
}

int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure, firmware_image& out)
{
    out.map = firmware_image_map(path, lines);
    if (!out.map.valid())
        return -1;
    std::span<const std::uint8_t> image = out.map.bytes();
    out.header = firmware_header_decode(image);
    if (!out.header) {
        log_error(k_module, lines.header, "Failed to build firmware header\n");
        return header_failure;
    }
    int rc = firmware_header_check(image, out.header.get());
    if (rc < 0)
        return rc;
    // An offset past the end leaves an empty span, which the decoder refuses.
    std::span<const std::uint8_t> table_bytes;
    if (out.header->ptn_table_offset <= image.size())
        table_bytes = image.subspan(out.header->ptn_table_offset);
    out.table = firmware_ptn_table_decode(table_bytes);
    if (!out.table) {
        log_error(k_module, lines.table, "Failed to build firmware ptn_table\n");
        return -1;
    }
    return 0;
}
