// vorna -r and vorna -w: copying one partition's contents between the device and
// an ordinary file, raw or behind a content header.
#include "vorna/vorna_alloc.h"
#include "vorna/vorna_file.h"
#include "vorna/vorna_log.h"
#include "vorna/vorna_ptn.h"
#include "vorna/vorna_ptn_header.h"

#include <array>
#include <cstring>
#include <span>
#include <string_view>

namespace {

constexpr const char* k_module = "vorna_ptn";

enum line : int {
    k_line_read_table = 534,
    k_line_read_not_found = 545,
    k_line_read_alloc = 553,
    k_line_read_device = 562,
    k_line_read_bad_header = 570,
    k_line_read_content_len = 572, // a header announcing more than the partition holds
    k_line_read_write_content = 576,
    k_line_read_write_raw = 585,
    k_line_write_table = 618,
    k_line_write_not_found = 629,
    k_line_write_no_input = 636,
    k_line_write_too_big = 642,
    k_line_write_alloc = 649,
    k_line_write_read_input = 658,
    k_line_write_read_header = 666, // the current header could not be read
    k_line_write_magic = 669,       // the current header's magic was replaced
    k_line_write_header = 674,
    k_line_write_content = 682,
    k_line_write_raw = 692,
};

/// Whether the partition's contents begin with a ptn_header: the lower-case word
/// anywhere in encap_type.
bool has_header(const ptn_entry& entry)
{
    std::string_view type(entry.encap_type.data(), ::strnlen(entry.encap_type.data(), entry.encap_type.size()));
    return type.find("header") != std::string_view::npos;
}

} // namespace

int ptn_read_to_file(const char* device, std::uint32_t base, const char* name, const char* out_path)
{
    auto table = ptn_table_load(device, base);
    if (!table) {
        log_error(k_module, k_line_read_table, "Failed to build ptn_table of flash\n");
        return -1;
    }
    const ptn_entry* entry = ptn_table_lookup(table.get(), name);
    if (entry == nullptr) {
        log_error(k_module, k_line_read_not_found, "PTN[%s] not found.\n", name);
        return -1;
    }
    // Zero-filled, so that what a short device does not deliver comes out as zeros.
    auto buf = make_buffer(entry->size);
    if (!buf) {
        log_error(k_module, k_line_read_alloc, "alloc %u bytes failed.\n", entry->size);
        return -1;
    }
    off_t got = 0;
    if (file_read_at(ptn_entry_device(table.get(), entry), entry->base, buf.get(), entry->size, &got) != 0) {
        log_error(k_module, k_line_read_device, "failed to read ptn_table content.\n");
        return -1;
    }
    if (!has_header(*entry)) {
        if (file_write(out_path, buf.get(), entry->size, nullptr) != 0) {
            log_error(k_module, k_line_read_write_raw, "write file %s failed.\n", out_path);
            return -1;
        }
        return 0;
    }
    auto header = ptn_header_parse({buf.get(), static_cast<std::size_t>(got)});
    if (!header) {
        log_error(k_module, k_line_read_bad_header, "partition [0x%08x] is not a valid partition.\n", entry->base);
        return -1;
    }
    // The header parsed, so the partition has at least its 16 bytes; a longer
    // announced content would be copied from beyond the buffer.
    if (!ptn_header_content_fits(*header, entry->size)) {
        log_error(k_module, k_line_read_content_len, "partition [0x%08x] content length %u exceeds %u.\n",
                  entry->base, header->content_len, entry->size - k_ptn_header_len);
        return -1;
    }
    if (file_write(out_path, buf.get() + k_ptn_header_len, header->content_len, nullptr) != 0) {
        log_error(k_module, k_line_read_write_content, "write file %s failed.\n", out_path);
        return -1;
    }
    return 0;
}

int ptn_write_from_file(const char* device, std::uint32_t base, const char* name, const char* in_path)
{
    auto table = ptn_table_load(device, base);
    if (!table) {
        log_error(k_module, k_line_write_table, "Failed to build ptn_table of flash\n");
        return -1;
    }
    const ptn_entry* entry = ptn_table_lookup(table.get(), name);
    if (entry == nullptr) {
        log_error(k_module, k_line_write_not_found, "PTN[%s] not found.\n", name);
        return -1;
    }
    off_t file_size = file_get_size(in_path);
    if (file_size < 0) {
        log_error(k_module, k_line_write_no_input, "file [%s] not found.\n", in_path);
        return -1;
    }
    bool header_type = has_header(*entry);
    off_t room = entry->size;
    if (header_type)
        room = entry->size < k_ptn_header_len ? 0 : entry->size - k_ptn_header_len;
    if (file_size > room) {
        log_error(k_module, k_line_write_too_big, "file size [%lld] should no bigger then %lld.\n",
                  static_cast<long long>(file_size), static_cast<long long>(room));
        return -1;
    }
    // file_size <= room < 4 GiB from here on.
    auto buf = make_buffer(static_cast<std::size_t>(file_size));
    if (!buf) {
        log_error(k_module, k_line_write_alloc, "alloc %lld bytes failed.\n", static_cast<long long>(file_size));
        return -1;
    }
    // An empty input fails here: there is nothing to read.
    if (file_read(in_path, buf.get(), file_size, nullptr) != 0) {
        log_error(k_module, k_line_write_read_input, "failed to read ptn_table content.\n");
        return -1;
    }
    const char* target = ptn_entry_device(table.get(), entry);
    if (!header_type) {
        if (file_write_at(target, entry->base, buf.get(), file_size, nullptr) != 0) {
            log_error(k_module, k_line_write_raw, "write ptn %s failed.\n", entry->name.data());
            return -1;
        }
        return 0;
    }

    // The header keeps its first and last words as they stand on the device, so
    // it has to be read first; without it nothing is written.
    std::array<std::uint8_t, k_ptn_header_len> bytes{};
    off_t got = 0;
    if (file_read_at(target, entry->base, bytes.data(), k_ptn_header_len, &got) != 0 || got != k_ptn_header_len) {
        log_error(k_module, k_line_write_read_header, "failed to read header of ptn %s.\n", entry->name.data());
        return -1;
    }
    ptn_header header = ptn_header_decode(bytes);
    header.content_len = static_cast<std::uint32_t>(file_size);
    // A header with a foreign magic would make every later reader reject the
    // partition, the content just written included.
    if (header.magic != k_ptn_header_magic) {
        log_info(k_module, k_line_write_magic, "PTN[%s] magic [0x%08X] replaced by 0x%08X.\n", entry->name.data(),
                 header.magic, k_ptn_header_magic);
        header.magic = k_ptn_header_magic;
    }
    ptn_header_encode(header, bytes);
    if (file_write_at(target, entry->base, bytes.data(), k_ptn_header_len, nullptr) != 0) {
        log_error(k_module, k_line_write_header, "write ptn %s failed.\n", entry->name.data());
        return -1;
    }
    if (file_write_at(target, off_t{entry->base} + k_ptn_header_len, buf.get(), file_size, nullptr) != 0) {
        log_error(k_module, k_line_write_content, "write ptn %s failed.\n", entry->name.data());
        return -1;
    }
    return 0;
}
