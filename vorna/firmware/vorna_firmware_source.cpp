// SPDX-License-Identifier: Apache-2.0
// Opening an image, its verification pass and its reads held to the chunk digests.
#include "vorna/firmware/vorna_firmware_source.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/firmware/vorna_firmware_index.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr const char* k_module = "vorna_firmware";
// The pieces of a read-ahead, one slot each: the windows an upgrade writes.
constexpr std::uint64_t k_piece_len = read_ahead::k_slot_len;

std::uint64_t chunk_count(std::uint64_t size)
{
    return (size + k_firmware_chunk_len - 1) / k_firmware_chunk_len;
}

} // namespace

int firmware_chunk_digests::reserve(std::uint64_t image_size)
{
    count_ = chunk_count(image_size);
    digests_.reset(new (std::nothrow) digest[count_]());
    recorded_.reset(new (std::nothrow) bool[count_]());
    if (!digests_ || !recorded_) {
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
    else
        recorded_[index] = true;
}

bool firmware_chunk_digests::matches(std::uint64_t index, std::span<const std::uint8_t> bytes) const
{
    digest now{};
    if (failed_ || index >= count_ || !recorded_[index] ||
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

int firmware_file::open_bytes(std::span<const std::uint8_t> bytes, const char* name)
{
    path_ = name;
    fd_ = unique_fd(::memfd_create("vorna-image", MFD_CLOEXEC));
    const auto len = static_cast<off_t>(bytes.size());
    if (!fd_ || write_fully(fd_.get(), bytes.data(), len) != len)
        return -1;
    size_ = bytes.size();
    return 0;
}

long long firmware_file::read_raw(std::uint64_t offset, std::span<std::uint8_t> out) const
{
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
    // The file is read into the worker's slots, one pread a chunk.
    static_assert(read_ahead::k_slot_len >= k_firmware_chunk_len);
    if (!ahead_.reserve()) {
        log_error(k_module, k_line_chunk_alloc, "Failed to alloc %zu bytes memory.\n", k_firmware_chunk_len);
        return -1;
    }
    chunk_index_ = UINT64_MAX;
    ahead_fault_ = {};
    ahead_.begin(chunk_count(size_), [this, on_worker](std::size_t index, std::span<std::uint8_t> room,
                                                       std::span<const std::uint8_t>& piece) {
        const std::uint64_t offset = std::uint64_t{index} * k_firmware_chunk_len;
        const std::size_t n = std::min<std::uint64_t>(k_firmware_chunk_len, size_ - offset);
        const long long got = read_raw(offset, room.first(n));
        if (got != static_cast<long long>(n)) {
            ahead_fault_ = {k_line_read, offset, n, got};
            return false;
        }
        piece = room.first(n);
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

bool firmware_stream::names_stream(const char* path)
{
    struct stat st {};
    return std::strcmp(path, "-") == 0 || (::stat(path, &st) == 0 && S_ISFIFO(st.st_mode));
}

int firmware_stream::open(const char* path, int open_line)
{
    path_ = path;
    if (std::strcmp(path, "-") == 0) {
        fd_ = STDIN_FILENO;
    } else {
        // Waits for a writer, like any reader of a FIFO.
        owned_ = open_path(path, O_RDONLY);
        if (!owned_) {
            log_error(k_module, open_line, "Failed to open file '%s'\n", path);
            return -1;
        }
        fd_ = owned_.get();
    }
    // A pipe of 1 MiB (the most an unprivileged process may ask for) lets the
    // writer run ahead in larger steps than the default 64 KiB: fewer switches
    // between the two. Only a hint; anything but a pipe refuses it.
    (void)::fcntl(fd_, F_SETPIPE_SZ, k_firmware_chunk_len);
    return 0;
}

long long firmware_stream::read_raw(std::span<std::uint8_t> out) const
{
    return read_fully(fd_, out.data(), static_cast<off_t>(out.size()));
}

int firmware_stream::hold(std::uint64_t len)
{
    if (len <= held_)
        return 0;
    if (len > room_) {
        // At most k_firmware_stream_prefix_max, checked by the caller: grown a
        // few times (header, table, index), each time to what is needed.
        std::unique_ptr<std::uint8_t[]> bigger = make_buffer(len);
        if (!bigger) {
            log_error(k_module, k_line_stream_prefix_alloc, "Failed to alloc %llu bytes memory.\n",
                      static_cast<unsigned long long>(len));
            return -1;
        }
        std::copy_n(prefix_.get(), held_, bigger.get());
        prefix_ = std::move(bigger);
        room_ = len;
    }
    const std::span<std::uint8_t> rest(prefix_.get() + held_, len - held_);
    const long long got = read_raw(rest);
    if (got < 0) {
        report({k_line_read, held_, rest.size(), got});
        return -1;
    }
    held_ += static_cast<std::uint64_t>(got);
    consumed_ = held_;
    return held_ == len ? 0 : 1;
}

int firmware_stream::read_at(std::uint64_t offset, std::span<std::uint8_t> out)
{
    // Callers read only what the stream order put before the index's end.
    if (offset > held_ || out.size() > held_ - offset) {
        report({k_line_read, offset, out.size(), 0});
        return -1;
    }
    std::copy_n(prefix_.get() + offset, out.size(), out.begin());
    return 0;
}

int firmware_stream::read_on(std::size_t count, const piece_length& length, const piece_share& on_worker,
                             const piece_sink& sink)
{
    if (!ahead_.reserve())
        return -3;
    ahead_fault_ = {};
    std::uint64_t offset = consumed_; // consumed_ is the worker's until the run has ended
    ahead_.begin(count, [this, &length, &on_worker](std::size_t index, std::span<std::uint8_t> room,
                                                    std::span<const std::uint8_t>& piece) {
        const std::span<std::uint8_t> bytes = room.first(length(index));
        const long long got = read_raw(bytes);
        if (got != static_cast<long long>(bytes.size())) {
            const std::uint64_t at = consumed_ + static_cast<std::uint64_t>(std::max(got, 0LL));
            ahead_fault_ = {got < 0 ? k_line_read : k_line_stream_ended, got < 0 ? consumed_ : at, bytes.size(), got};
            return false;
        }
        piece = bytes;
        on_worker(consumed_, piece);
        consumed_ += bytes.size();
        return true;
    });
    int rc = 0;
    std::span<const std::uint8_t> piece;
    for (std::size_t index = 0; index < count && rc == 0; ++index) {
        if (!ahead_.next(piece)) {
            rc = -2;
            break;
        }
        rc = sink(index, offset, piece);
        offset += piece.size();
    }
    ahead_.end();
    if (rc == -2)
        report(ahead_fault_);
    return rc;
}

int firmware_stream::expect_end()
{
    std::array<std::uint8_t, 1> more{};
    const long long got = read_raw(more);
    if (got == 0)
        return 0;
    if (got < 0)
        report({k_line_read, consumed_, more.size(), got});
    else
        log_error(k_module, k_line_stream_longer, "firmware stream '%s' goes on past its total_len %llu.\n", path_,
                  static_cast<unsigned long long>(size_));
    return -1;
}

void firmware_stream::report_ended(std::uint64_t at) const
{
    log_error(k_module, k_line_stream_ended, "firmware stream '%s' ended at byte %llu of %llu.\n", path_,
              static_cast<unsigned long long>(at), static_cast<unsigned long long>(size_));
}

void firmware_stream::report(const firmware_read_fault& fault) const
{
    if (fault.line == k_line_stream_ended) {
        report_ended(fault.offset);
        return;
    }
    log_error(k_module, k_line_read, "Failed to read firmware '%s', %zu bytes at 0x%llx gave %lld.\n", path_, fault.len,
              static_cast<unsigned long long>(fault.offset), fault.got);
}
