// SPDX-License-Identifier: Apache-2.0
// Opening, reading and the verification pass of an image file.
#include "vorna/firmware/vorna_firmware_reader.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/firmware/vorna_firmware_dual_hash.h"
#include "vorna/firmware/vorna_firmware_strong.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr const char* k_module = "vorna_firmware";
// The pieces of a read-ahead, one slot each: the windows an upgrade writes.
constexpr std::uint64_t k_piece_len = read_ahead::k_slot_len;

/// Shows the verification pass as "verify" (on standard error only).
class pass_progress final : public firmware_chunk_consumer {
public:
    explicit pass_progress(std::uint64_t image_size) : shown_("verify", image_size) {}
    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
    {
        shown_.update(offset + bytes.size());
    }

private:
    progress shown_;
};

/// The header's bytes as the pass read them, zero past the end of a shorter
/// image as firmware_header_decode fills them.
class header_capture final : public firmware_chunk_consumer {
public:
    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
    {
        // The first chunk holds the whole header: chunks are far longer.
        static_assert(k_firmware_chunk_len >= k_firmware_header_len);
        if (offset == 0)
            std::copy_n(bytes.begin(), std::min(bytes.size(), bytes_.size()), bytes_.begin());
    }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    std::array<std::uint8_t, k_firmware_header_len> bytes_{};
};

std::uint64_t chunk_count(std::uint64_t size)
{
    return (size + k_firmware_chunk_len - 1) / k_firmware_chunk_len;
}

} // namespace

int firmware_chunk_digests::reserve(std::uint64_t image_size)
{
    count_ = chunk_count(image_size);
    digests_.reset(new (std::nothrow) digest[count_]());
    if (!digests_) {
        log_error(k_module, k_line_digests_alloc, "Failed to alloc %llu bytes memory.\n",
                  static_cast<unsigned long long>(count_ * k_firmware_chunk_digest_len));
        return -1;
    }
    return 0;
}

void firmware_chunk_digests::consume(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    const std::uint64_t index = offset / k_firmware_chunk_len;
    if (index >= count_ ||
        EVP_Digest(bytes.data(), bytes.size(), digests_[index].data(), nullptr, EVP_sha256(), nullptr) != 1)
        failed_ = true;
}

bool firmware_chunk_digests::matches(std::uint64_t index, std::span<const std::uint8_t> bytes) const
{
    digest now{};
    if (failed_ || index >= count_ ||
        EVP_Digest(bytes.data(), bytes.size(), now.data(), nullptr, EVP_sha256(), nullptr) != 1)
        return false;
    return std::memcmp(now.data(), digests_[index].data(), now.size()) == 0;
}

int firmware_file::open(const char* path, const firmware_open_lines& lines)
{
    path_ = path;
    if (file_get_size(path) <= 0) {
        log_error(k_module, lines.size, "Failed to get file size, file='%s'\n", path);
        return -1;
    }
    fd_ = open_path(path, O_RDONLY);
    if (!fd_) {
        log_error(k_module, lines.open, "Failed to open file '%s'\n", path);
        return -1;
    }
    // The size of the file now open: the path may name another file by now.
    off_t size = ::lseek(fd_.get(), 0, SEEK_END);
    if (size <= 0) {
        log_error(k_module, lines.size, "Failed to get file size, file='%s'\n", path);
        return -1;
    }
    size_ = static_cast<std::uint64_t>(size);
    // The file is read front to back, twice for an upgrade: a cold cache then
    // reads ahead in larger steps. Only a hint; a failure changes nothing.
    (void)::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return 0;
}

void firmware_file::open_memory(std::span<const std::uint8_t> image, const char* name)
{
    path_ = name;
    fd_.reset();
    memory_ = image;
    size_ = image.size();
}

long long firmware_file::read_raw(std::uint64_t offset, std::span<std::uint8_t> out) const
{
    if (!fd_) {
        if (offset >= memory_.size())
            return 0;
        const std::size_t n = std::min<std::uint64_t>(out.size(), memory_.size() - offset);
        std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
        return static_cast<long long>(n);
    }
    return pread_fully(fd_.get(), static_cast<off_t>(offset), out.data(), static_cast<off_t>(out.size()));
}

bool firmware_file::have_chunk_buffer()
{
    if (!chunk_)
        chunk_ = make_buffer(k_firmware_chunk_len);
    if (!chunk_)
        log_error(k_module, k_line_chunk_alloc, "Failed to alloc %zu bytes memory.\n", k_firmware_chunk_len);
    return chunk_ != nullptr;
}

void firmware_file::report(const firmware_read_fault& fault) const
{
    const auto at = static_cast<unsigned long long>(fault.offset);
    switch (fault.line) {
    case k_line_read:
        log_error(k_module, k_line_read, "Failed to read firmware '%s', %zu bytes at 0x%llx gave %lld.\n", path_,
                  fault.len, at, fault.got);
        break;
    case k_line_changed:
        log_error(k_module, k_line_changed,
                  "firmware '%s' changed after the check, bytes {0x%llx:0x%zx} differ from the verified image.\n",
                  path_, at, fault.len);
        break;
    case k_line_changed_short:
        log_error(k_module, k_line_changed_short,
                  "firmware '%s' changed after the check, %zu bytes at 0x%llx gave %lld.\n", path_, fault.len, at,
                  fault.got);
        break;
    default: break; // printed where it was found
    }
}

void firmware_file::report_changed(std::uint64_t offset, std::size_t len) const
{
    report({k_line_changed, offset, len, 0});
}

int firmware_file::pass(std::span<firmware_chunk_consumer* const> on_worker,
                        std::span<firmware_chunk_consumer* const> here)
{
    // An image in memory is handed to the consumers where it lies; a file is
    // read into the worker's slots, one pread a chunk.
    const bool in_memory = !fd_;
    static_assert(read_ahead::k_slot_len >= k_firmware_chunk_len);
    if (!in_memory && !ahead_.reserve()) {
        log_error(k_module, k_line_chunk_alloc, "Failed to alloc %zu bytes memory.\n", k_firmware_chunk_len);
        return -1;
    }
    chunk_index_ = UINT64_MAX;
    ahead_fault_ = {};
    ahead_.begin(chunk_count(size_), [this, in_memory, on_worker](std::size_t index, std::span<std::uint8_t> room,
                                                                  std::span<const std::uint8_t>& piece) {
        const std::uint64_t offset = std::uint64_t{index} * k_firmware_chunk_len;
        const std::size_t n = std::min<std::uint64_t>(k_firmware_chunk_len, size_ - offset);
        if (in_memory) {
            piece = memory_.subspan(offset, n);
        } else {
            const long long got = read_raw(offset, room.first(n));
            if (got != static_cast<long long>(n)) {
                ahead_fault_ = {k_line_read, offset, n, got};
                return false;
            }
            piece = room.first(n);
        }
        for (firmware_chunk_consumer* consumer : on_worker)
            consumer->consume(offset, piece);
        return true;
    });
    int rc = 0;
    std::span<const std::uint8_t> piece;
    for (std::uint64_t offset = 0; offset < size_; offset += k_firmware_chunk_len) {
        if (!ahead_.next(piece)) {
            rc = -1;
            break;
        }
        for (firmware_chunk_consumer* consumer : here)
            consumer->consume(offset, piece);
    }
    ahead_.end();
    if (rc < 0)
        report(ahead_fault_);
    return rc;
}

int firmware_file::load_verified_chunk(std::uint64_t index, firmware_read_fault& fault)
{
    if (index == chunk_index_)
        return 0;
    if (!have_chunk_buffer())
        return -1;
    chunk_index_ = UINT64_MAX;
    const std::uint64_t offset = index * k_firmware_chunk_len;
    std::span<std::uint8_t> chunk(chunk_.get(), std::min<std::uint64_t>(k_firmware_chunk_len, size_ - offset));
    long long got = read_raw(offset, chunk);
    if (got != static_cast<long long>(chunk.size())) {
        fault = {k_line_changed_short, offset, chunk.size(), got};
        return -1;
    }
    if (!digests_->matches(index, chunk)) {
        fault = {k_line_changed, offset, chunk.size(), got};
        return -1;
    }
    chunk_index_ = index;
    return 0;
}

int firmware_file::read_quietly(std::uint64_t offset, std::span<std::uint8_t> out, firmware_read_fault& fault)
{
    if (digests_ == nullptr) {
        long long got = offset <= size_ ? read_raw(offset, out) : 0;
        if (got != static_cast<long long>(out.size())) {
            fault = {k_line_read, offset, out.size(), got};
            return -1;
        }
        return 0;
    }
    // Callers ask only for ranges they checked against the size; a chunk past the
    // end could not have been verified.
    if (offset > size_ || out.size() > size_ - offset) {
        fault = {k_line_changed_short, offset, out.size(), 0};
        return -1;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = offset + done;
        const std::uint64_t index = at / k_firmware_chunk_len;
        const std::size_t whole = std::min<std::uint64_t>(k_firmware_chunk_len, size_ - index * k_firmware_chunk_len);
        if (at % k_firmware_chunk_len == 0 && out.size() - done >= whole && index != chunk_index_) {
            // A whole chunk is read and checked where it goes, with no copy; on a
            // failure the caller uses none of `out`.
            const std::span<std::uint8_t> chunk = out.subspan(done, whole);
            const long long got = read_raw(at, chunk);
            if (got != static_cast<long long>(whole)) {
                fault = {k_line_changed_short, at, whole, got};
                return -1;
            }
            if (!digests_->matches(index, chunk)) {
                fault = {k_line_changed, at, whole, got};
                return -1;
            }
            done += whole;
            continue;
        }
        if (load_verified_chunk(index, fault) < 0)
            return -1;
        const std::size_t from = at % k_firmware_chunk_len;
        const std::size_t n = std::min<std::uint64_t>(
            out.size() - done, std::min<std::uint64_t>(k_firmware_chunk_len, size_ - (at - from)) - from);
        std::memcpy(out.data() + done, chunk_.get() + from, n);
        done += n;
    }
    return 0;
}

int firmware_file::read_at(std::uint64_t offset, std::span<std::uint8_t> out)
{
    firmware_read_fault fault;
    if (read_quietly(offset, out, fault) == 0)
        return 0;
    report(fault);
    return -1;
}

int firmware_file::read_ahead_verified(std::uint64_t offset, std::uint64_t len, const piece_sink& sink)
{
    if (!ahead_.reserve())
        return -3;
    // Taken here, so that the worker never has a failure of its own to print.
    if (!have_chunk_buffer())
        return -2;
    ahead_fault_ = {};
    const std::uint64_t count = (len + k_piece_len - 1) / k_piece_len;
    ahead_.begin(count, [this, offset, len](std::size_t index, std::span<std::uint8_t> room,
                                            std::span<const std::uint8_t>& piece) {
        const std::uint64_t from = std::uint64_t{index} * k_piece_len;
        const std::span<std::uint8_t> bytes = room.first(std::min<std::uint64_t>(k_piece_len, len - from));
        piece = bytes;
        return read_quietly(offset + from, bytes, ahead_fault_) == 0;
    });
    int rc = 0;
    std::span<const std::uint8_t> piece;
    for (std::uint64_t from = 0; from < len && rc == 0; from += k_piece_len) {
        if (!ahead_.next(piece))
            rc = -2;
        else
            rc = sink(offset + from, piece);
    }
    ahead_.end();
    if (rc == -2)
        report(ahead_fault_);
    return rc;
}

int firmware_image_verify(firmware_file& file, std::unique_ptr<firmware_header>& header,
                          firmware_chunk_digests& digests)
{
    const std::uint64_t size = file.size();
    std::unique_ptr<firmware_header> from_pass;
    const int rc = firmware_header_check_with(
        header.get(), size, [&](firmware_strong_pending& strong, const firmware_header*& verified) {
            if (digests.reserve(size) < 0)
                return -1;
            // The MD5 is the longest share: it runs here, everything else on the worker.
            const bool strong_active = !firmware_trusted_keys().empty();
            firmware_dual_hasher hashed(strong_active);
            pass_progress shown(size);
            header_capture read_header;
            const std::array<firmware_chunk_consumer*, 2> on_worker{&digests, &hashed.strong_part()};
            const std::array<firmware_chunk_consumer*, 3> here{&hashed.legacy_part(), &shown, &read_header};
            if (file.pass(on_worker, here) < 0)
                return -1;
            // The checks before the pass read the header as it was then; the
            // signatures cover what the pass read. A header that is not the same
            // in both is refused, and only the pass's is used from here on.
            std::array<std::uint8_t, k_firmware_header_len> before{};
            firmware_header_encode(*header, before);
            if (!std::equal(before.begin(), before.end(), read_header.bytes().begin())) {
                file.report_changed(0, std::min<std::uint64_t>(size, k_firmware_header_len));
                return -1;
            }
            from_pass = firmware_header_decode(read_header.bytes());
            if (!from_pass)
                return -1;
            verified = from_pass.get();
            const firmware_dual_digests d = hashed.finish();
            strong = firmware_strong_pending{};
            if (strong_active) {
                strong.active = true;
                strong.digest_rc = d.strong_rc;
                strong.digest = d.strong;
            }
            if (d.legacy_rc != 0 || firmware_verify_legacy_digest(*verified, d.legacy) < 0)
                return -4;
            return 0;
        });
    if (from_pass)
        header = std::move(from_pass);
    if (rc == 0)
        file.hold_to(digests);
    return rc;
}

int firmware_image_digests(firmware_file& file, firmware_dual_digests& out)
{
    firmware_dual_hasher hashed(true);
    const std::array<firmware_chunk_consumer*, 1> on_worker{&hashed.strong_part()};
    const std::array<firmware_chunk_consumer*, 1> here{&hashed.legacy_part()};
    const int rc = file.pass(on_worker, here);
    out = hashed.finish();
    return rc;
}

int firmware_verify_memory(std::span<const std::uint8_t> image)
{
    auto header = firmware_header_decode(image);
    firmware_file file;
    file.open_memory(image, "(memory)");
    firmware_chunk_digests digests;
    return firmware_image_verify(file, header, digests);
}

int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure, firmware_image& out)
{
    if (out.file.open(path, lines) < 0)
        return -1;
    const std::uint64_t size = out.file.size();
    // A short image leaves the rest of the header copy zero. This copy only
    // serves the refusals before the pass; the verification replaces it with the
    // header the pass read.
    std::array<std::uint8_t, k_firmware_header_len> raw{};
    if (out.file.read_at(0, std::span(raw).first(std::min<std::uint64_t>(size, raw.size()))) < 0)
        return -1;
    out.header = firmware_header_decode(std::span(raw).first(std::min<std::uint64_t>(size, raw.size())));
    if (!out.header) {
        log_error(k_module, lines.header, "Failed to build firmware header\n");
        return header_failure;
    }
    // Everything that follows the check is read through the pass's digests, in
    // every mode: the header's fields, the table, the documents a check matches or
    // an export writes, and the contents an upgrade writes are all bytes the
    // signature covered.
    int rc = firmware_image_verify(out.file, out.header, out.digests);
    if (rc < 0)
        return rc;
    const std::uint64_t table_at = out.header->ptn_table_offset;
    const std::size_t room =
        table_at < size ? static_cast<std::size_t>(std::min<std::uint64_t>(size - table_at, k_firmware_ptn_table_len))
                        : 0;
    // A table that does not fit is refused by the decoder; one that fits is read.
    std::span<std::uint8_t> table_bytes = std::span(raw).first(room);
    if (room < k_firmware_ptn_table_len || out.file.read_at(table_at, table_bytes) == 0)
        out.table = firmware_ptn_table_decode(table_bytes);
    if (!out.table) {
        log_error(k_module, lines.table, "Failed to build firmware ptn_table\n");
        return -1;
    }
    return 0;
}
