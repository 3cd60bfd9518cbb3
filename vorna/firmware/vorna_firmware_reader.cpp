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

/// Everything the verification pass computes: the legacy MD5 on the reading
/// thread and, on a second one, the strong SHA-256 (when this build trusts strong
/// keys) and the SHA-256 of every chunk, to which the image's later reads are
/// held. So a check, export or upgrade costs about what the MD5 alone costs.
class pass_digests final : public firmware_chunk_consumer {
public:
    /// `chunks` may be null (a caller that reads nothing later); `strong`: whether
    /// the strong digest is computed.
    pass_digests(firmware_chunk_digests* chunks, bool strong)
        : strong_active_(strong),
          // The chunk digests keep their own failure: nothing will then match.
          hasher_(
              strong_active_, chunks == nullptr ? firmware_dual_hasher::chunk_job{}
                                                : [chunks](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
                                                      chunks->consume(offset, bytes);
                                                  })
    {
    }
    [[nodiscard]] firmware_dual_digests finish() { return hasher_.finish(); }
    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
    {
        // A failure shows in the digests' own results.
        (void)hasher_.feed(offset, bytes);
    }
    /// The legacy verdict (0 or -1), leaving the strong digest in `pending`.
    int verify(const firmware_header& header, firmware_strong_pending& pending)
    {
        const firmware_dual_digests d = hasher_.finish();
        pending = firmware_strong_pending{};
        if (strong_active_) {
            pending.active = true;
            pending.digest_rc = d.strong_rc;
            pending.digest = d.strong;
        }
        return d.legacy_rc == 0 ? firmware_verify_legacy_digest(header, d.legacy) : -1;
    }

private:
    bool strong_active_;
    firmware_dual_hasher hasher_;
};

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

int firmware_file::pass(std::span<firmware_chunk_consumer* const> consumers)
{
    // An image in memory is handed to the consumers where it lies.
    const bool in_memory = !fd_;
    if (!in_memory && !have_chunk_buffer())
        return -1;
    chunk_index_ = UINT64_MAX;
    for (std::uint64_t offset = 0; offset < size_; offset += k_firmware_chunk_len) {
        const std::size_t n = std::min<std::uint64_t>(k_firmware_chunk_len, size_ - offset);
        if (in_memory) {
            for (firmware_chunk_consumer* consumer : consumers)
                consumer->consume(offset, memory_.subspan(offset, n));
            continue;
        }
        std::span<std::uint8_t> chunk(chunk_.get(), n);
        long long got = read_raw(offset, chunk);
        if (got != static_cast<long long>(chunk.size())) {
            log_error(k_module, k_line_read, "Failed to read firmware '%s', %zu bytes at 0x%llx gave %lld.\n", path_,
                      chunk.size(), static_cast<unsigned long long>(offset), got);
            return -1;
        }
        for (firmware_chunk_consumer* consumer : consumers)
            consumer->consume(offset, chunk);
    }
    return 0;
}

int firmware_file::load_verified_chunk(std::uint64_t index)
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
        log_error(k_module, k_line_changed_short,
                  "firmware '%s' changed after the check, %zu bytes at 0x%llx gave %lld.\n", path_, chunk.size(),
                  static_cast<unsigned long long>(offset), got);
        return -1;
    }
    if (!digests_->matches(index, chunk)) {
        log_error(k_module, k_line_changed,
                  "firmware '%s' changed after the check, bytes {0x%llx:0x%zx} differ from the verified image.\n",
                  path_, static_cast<unsigned long long>(offset), chunk.size());
        return -1;
    }
    chunk_index_ = index;
    return 0;
}

int firmware_file::read_at(std::uint64_t offset, std::span<std::uint8_t> out)
{
    if (digests_ == nullptr) {
        long long got = offset <= size_ ? read_raw(offset, out) : 0;
        if (got != static_cast<long long>(out.size())) {
            log_error(k_module, k_line_read, "Failed to read firmware '%s', %zu bytes at 0x%llx gave %lld.\n", path_,
                      out.size(), static_cast<unsigned long long>(offset), got);
            return -1;
        }
        return 0;
    }
    // Callers ask only for ranges they checked against the size; a chunk past the
    // end could not have been verified.
    if (offset > size_ || out.size() > size_ - offset) {
        log_error(k_module, k_line_changed_short,
                  "firmware '%s' changed after the check, %zu bytes at 0x%llx gave %lld.\n", path_, out.size(),
                  static_cast<unsigned long long>(offset), 0LL);
        return -1;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = offset + done;
        if (load_verified_chunk(at / k_firmware_chunk_len) < 0)
            return -1;
        const std::size_t from = at % k_firmware_chunk_len;
        const std::size_t n = std::min<std::uint64_t>(
            out.size() - done, std::min<std::uint64_t>(k_firmware_chunk_len, size_ - (at - from)) - from);
        std::memcpy(out.data() + done, chunk_.get() + from, n);
        done += n;
    }
    return 0;
}

int firmware_image_verify(firmware_file& file, const firmware_header* header, firmware_chunk_digests& digests)
{
    const std::uint64_t size = file.size();
    const int rc = firmware_header_check_with(header, size, [&](firmware_strong_pending& strong) {
        if (digests.reserve(size) < 0)
            return -1;
        pass_digests hashed(&digests, !firmware_trusted_keys().empty());
        pass_progress shown(size);
        std::array<firmware_chunk_consumer*, 2> consumers{&hashed, &shown};
        if (file.pass(consumers) < 0)
            return -1;
        return hashed.verify(*header, strong) < 0 ? -4 : 0;
    });
    if (rc == 0)
        file.hold_to(digests);
    return rc;
}

int firmware_image_digests(firmware_file& file, firmware_dual_digests& out)
{
    pass_digests hashed(nullptr, true);
    std::array<firmware_chunk_consumer*, 1> consumers{&hashed};
    const int rc = file.pass(consumers);
    out = hashed.finish();
    return rc;
}

int firmware_verify_memory(std::span<const std::uint8_t> image)
{
    auto header = firmware_header_decode(image);
    firmware_file file;
    file.open_memory(image, "(memory)");
    firmware_chunk_digests digests;
    return firmware_image_verify(file, header.get(), digests);
}

int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure, firmware_image& out)
{
    if (out.file.open(path, lines) < 0)
        return -1;
    const std::uint64_t size = out.file.size();
    // A short image leaves the rest of the header copy zero.
    std::array<std::uint8_t, k_firmware_header_len> raw{};
    if (out.file.read_at(0, std::span(raw).first(std::min<std::uint64_t>(size, raw.size()))) < 0)
        return -1;
    out.header = firmware_header_decode(std::span(raw).first(std::min<std::uint64_t>(size, raw.size())));
    if (!out.header) {
        log_error(k_module, lines.header, "Failed to build firmware header\n");
        return header_failure;
    }
    // Everything that follows the check is read through the pass's digests, in
    // every mode: the table, the documents a check matches or an export writes,
    // and the contents an upgrade writes are all bytes the signature covered.
    int rc = firmware_image_verify(out.file, out.header.get(), out.digests);
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
