// SPDX-License-Identifier: Apache-2.0
// vorna -r and vorna -w: copying one partition's contents between the device and
// an ordinary file, raw or behind a content header.
#include "vorna/support/vorna_alloc.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/storage/device_writer.h"
#include "vorna/support/vorna_log.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"
#include "vorna/partition/vorna_ptn_lines.h"
#include "vorna/support/vorna_progress.h"
#include "vorna/storage/staged_output.h"
#include "vorna/storage/write_behind.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace {

constexpr const char* k_module = "vorna_ptn";

// Copies go through one buffer of this size, whatever the partition's size.
constexpr off_t k_chunk = 1 << 20;

/// Whether the partition's contents begin with a ptn_header: the lower-case word
/// anywhere in encap_type.
bool has_header(const ptn_entry& entry)
{
    std::string_view type(entry.encap_type.data(), ::strnlen(entry.encap_type.data(), entry.encap_type.size()));
    return type.find("header") != std::string_view::npos;
}

/// Streams `length` bytes at `offset` of `in` into the output; what the device
/// does not deliver comes out as zeros. The line of the failure, or 0.
int copy_out(int in, off_t offset, std::uint32_t length, std::uint8_t* buf, output_file& out, const char* name,
             int write_line)
{
    progress shown(name, length);
    // A new file: its pages go once written, as the next ones need room.
    write_behind behind(out.fd(), true);
    off_t done = 0;
    while (done < length) {
        off_t n = std::min<off_t>(k_chunk, off_t{length} - done);
        off_t got = file_read_fd_at(in, offset + done, buf, n);
        if (got < 0)
            return k_line_read_device;
        std::memset(buf + got, 0, static_cast<std::size_t>(n - got));
        if (file_write_fd_at(out.fd(), -1, buf, n) != 0 || behind.wrote(done, n) != 0)
            return write_line;
        done += n;
        shown.update(static_cast<std::uint64_t>(done));
    }
    return out.commit() == 0 ? 0 : write_line;
}

/// Streams the input into `dev` at `offset`: the first `got` bytes already in
/// `buf`, then the rest up to `limit` bytes or the input's end, whichever comes
/// first, and makes them durable. The bytes copied, or -1 with *line set.
off_t copy_in(int in, device_writer& dev, off_t offset, off_t got, off_t limit, std::uint8_t* buf, const char* name,
              int write_line, int* line)
{
    progress shown(name, static_cast<std::uint64_t>(limit));
    off_t done = 0;
    while (got > 0) {
        if (dev.write(offset + done, buf, got) != 0) {
            *line = write_line;
            return -1;
        }
        done += got;
        shown.update(static_cast<std::uint64_t>(done));
        got = file_read_fd_at(in, done, buf, std::min(k_chunk, limit - done));
        if (got < 0) {
            *line = k_line_write_read_input;
            return -1;
        }
    }
    if (dev.flush() != 0) {
        *line = write_line;
        return -1;
    }
    return done;
}

/// The device's table and the partition -r or -w names in it.
struct named_ptn {
    std::unique_ptr<ptn_table> table;
    const ptn_entry* entry = nullptr;
};

/// Loads the device's table and finds `name` in it: the one open-and-lookup of
/// -r and -w, each printing at its own lines. 0, or -1 after printing.
int open_named_ptn(const char* device, std::uint32_t base, const char* name, int table_line, int not_found_line,
                   named_ptn& out)
{
    out.table = ptn_table_load(device, base);
    if (!out.table) {
        log_error(k_module, table_line, "Failed to build ptn_table of flash\n");
        return -1;
    }
    out.entry = ptn_table_lookup(out.table.get(), name);
    if (out.entry == nullptr) {
        log_error(k_module, not_found_line, "PTN[%s] not found.\n", name);
        return -1;
    }
    return 0;
}

/// Where -r copies from: behind the content header when the partition has one
/// (then judged first), else the whole partition.
struct read_span {
    off_t offset;
    std::uint32_t length;
    int write_line;
};

/// The span -r copies for `entry`, its header read through `in` into `buf`. 0,
/// or -1 after printing.
int read_span_of(int in, const ptn_entry& entry, std::uint8_t* buf, read_span& out)
{
    out = {entry.base, entry.size, k_line_read_write_raw};
    if (!has_header(entry))
        return 0;
    off_t got = file_read_fd_at(in, entry.base, buf, std::min<off_t>(entry.size, k_ptn_header_len));
    if (got < 0) {
        log_error(k_module, k_line_read_device, "failed to read ptn_table content.\n");
        return -1;
    }
    const ptn_frame frame = ptn_frame_parse({buf, static_cast<std::size_t>(got)}, entry.size);
    if (frame.status == ptn_frame_status::short_frame || frame.status == ptn_frame_status::bad_magic) {
        log_error(k_module, k_line_read_bad_header, "partition [0x%08x] is not a valid partition.\n", entry.base);
        return -1;
    }
    // A longer announced content would be copied from beyond the partition.
    if (frame.status != ptn_frame_status::ok) {
        log_error(k_module, k_line_read_content_len, "partition [0x%08x] content length %u exceeds %u.\n", entry.base,
                  frame.header.content_len, static_cast<unsigned>(ptn_frame_room(entry.size)));
        return -1;
    }
    out = {off_t{entry.base} + k_ptn_header_len, frame.header.content_len, k_line_read_write_content};
    return 0;
}

/// Prints the failure of a copy into the device at `line`. -1.
int report_copy_in(int line, const ptn_entry& entry)
{
    if (line == k_line_write_read_input)
        log_error(k_module, line, "failed to read ptn_table content.\n");
    else
        log_error(k_module, line, "write ptn %s failed.\n", entry.name.data());
    return -1;
}

/// -w into a partition whose contents stand behind a header: the first `got`
/// bytes of the input are in `buf`. 0, or -1 after printing.
int write_with_header(int in, const char* target, const ptn_entry& entry, off_t got, off_t file_size, std::uint8_t* buf)
{
    int line = 0;
    // The header keeps its first and last words as they stand on the device, so
    // it has to be read first; without it nothing is written.
    std::array<std::uint8_t, k_ptn_header_len> bytes{};
    off_t header_got = 0;
    if (file_read_at(target, entry.base, bytes.data(), k_ptn_header_len, &header_got) != 0 ||
        header_got != k_ptn_header_len) {
        log_error(k_module, k_line_write_read_header, "failed to read header of ptn %s.\n", entry.name.data());
        return -1;
    }
    ptn_header header = ptn_header_decode(bytes);
    // A header with a foreign magic would make every later reader reject the
    // partition, the content just written included.
    if (header.magic != k_ptn_header_magic) {
        log_info(k_module, k_line_write_magic, "PTN[%s] magic [0x%08X] replaced by 0x%08X.\n", entry.name.data(),
                 header.magic, k_ptn_header_magic);
    }
    // Torn anywhere, the partition must never show old contents under a valid
    // new header: first a header that no reader accepts, then the contents, then
    // the header that makes them valid, each made durable before the next.
    device_writer dev;
    header.magic = 0;
    header.content_len = static_cast<std::uint32_t>(file_size);
    ptn_header_encode(header, bytes);
    if (dev.open(target, writer_policy::stream(false)) != 0 ||
        dev.write(entry.base, bytes.data(), k_ptn_header_len) != 0 || dev.flush() != 0) {
        log_error(k_module, k_line_write_header, "write ptn %s failed.\n", entry.name.data());
        return -1;
    }
    off_t written = copy_in(in, dev, off_t{entry.base} + k_ptn_header_len, got, file_size, buf, entry.name.data(),
                            k_line_write_content, &line);
    if (written < 0)
        return report_copy_in(line, entry);
    header.magic = k_ptn_header_magic;
    header.content_len = static_cast<std::uint32_t>(written);
    ptn_header_encode(header, bytes);
    if (dev.write(entry.base, bytes.data(), k_ptn_header_len) != 0 || dev.finish() != 0) {
        log_error(k_module, k_line_write_final_header, "write ptn %s failed.\n", entry.name.data());
        return -1;
    }
    return 0;
}

} // namespace

int ptn_read_to_file(const char* device, std::uint32_t base, const char* name, const char* out_path)
{
    named_ptn found;
    if (open_named_ptn(device, base, name, k_line_read_table, k_line_read_not_found, found) < 0)
        return -1;
    const ptn_entry* entry = found.entry;
    const char* source = ptn_entry_device(found.table.get(), entry);
    // Replacing the device with a copy of a part of it would lose the rest.
    for (const char* dev : {source, device}) {
        if (output_overwrites(out_path, dev)) {
            log_error(k_module, k_line_read_output_is_device, "output %s is the device %s.\n", out_path, dev);
            return -1;
        }
    }
    unique_fd in = file_open(source, O_RDONLY);
    if (!in) {
        log_error(k_module, k_line_read_device, "failed to read ptn_table content.\n");
        return -1;
    }
    auto buf = make_buffer(static_cast<std::size_t>(k_chunk));
    if (!buf) {
        log_error(k_module, k_line_read_alloc, "alloc %u bytes failed.\n", static_cast<unsigned>(k_chunk));
        return -1;
    }
    read_span span{};
    if (read_span_of(in.get(), *entry, buf.get(), span) < 0)
        return -1;
    // An empty output is refused like an empty write: there is nothing to copy.
    output_file out;
    int line = span.length == 0 || out.open(out_path) != 0
                   ? span.write_line
                   : copy_out(in.get(), span.offset, span.length, buf.get(), out, entry->name.data(), span.write_line);
    if (line == k_line_read_device) {
        log_error(k_module, line, "failed to read ptn_table content.\n");
        return -1;
    }
    if (line != 0) {
        log_error(k_module, line, "write file %s failed.\n", out_path);
        return -1;
    }
    return 0;
}

int ptn_write_from_file(const char* device, std::uint32_t base, const char* name, const char* in_path)
{
    named_ptn found;
    if (open_named_ptn(device, base, name, k_line_write_table, k_line_write_not_found, found) < 0)
        return -1;
    const ptn_entry* entry = found.entry;
    const ptn_table* table = found.table.get();
    // The input is opened once and read once: what is written is what was read.
    unique_fd in = file_open(in_path, O_RDONLY);
    off_t file_size = in ? ::lseek(in.get(), 0, SEEK_END) : -1;
    if (file_size < 0) {
        log_error(k_module, k_line_write_no_input, "file [%s] not found.\n", in_path);
        return -1;
    }
    bool header_type = has_header(*entry);
    const off_t room = header_type ? static_cast<off_t>(ptn_frame_room(entry->size)) : off_t{entry->size};
    if (file_size > room) {
        log_error(k_module, k_line_write_too_big, "file size [%lld] should no bigger then %lld.\n",
                  static_cast<long long>(file_size), static_cast<long long>(room));
        return -1;
    }
    auto buf = make_buffer(static_cast<std::size_t>(k_chunk));
    if (!buf) {
        log_error(k_module, k_line_write_alloc, "alloc %lld bytes failed.\n", static_cast<long long>(k_chunk));
        return -1;
    }
    // An empty input fails here: there is nothing to read. Nothing is written
    // to the device before the first bytes are in hand.
    off_t got = file_size == 0 ? -1 : file_read_fd_at(in.get(), 0, buf.get(), std::min(k_chunk, file_size));
    if (got <= 0) {
        log_error(k_module, k_line_write_read_input, "failed to read ptn_table content.\n");
        return -1;
    }
    const char* target = ptn_entry_device(table, entry);
    int line = 0;
    if (!header_type) {
        device_writer dev;
        const bool opened = dev.open(target, writer_policy::stream(false)) == 0;
        if (!opened || copy_in(in.get(), dev, entry->base, got, file_size, buf.get(), entry->name.data(),
                               k_line_write_raw, &line) < 0)
            return report_copy_in(opened ? line : k_line_write_raw, *entry);
        return 0;
    }
    return write_with_header(in.get(), target, *entry, got, file_size, buf.get());
}
