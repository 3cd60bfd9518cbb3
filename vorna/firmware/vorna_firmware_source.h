// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where an image's bytes come from: a descriptor read with pread into fixed
// buffers, never mapped, so that an image cut short under a running operation is
// a failed read with its line, never a signal, and memory does not grow with the
// image. Tests, fuzz harnesses and the host tool hand their bytes over as a
// memfd (open_bytes) and so run the reads a device runs. One verification pass
// reads the whole file once, chunk by chunk, on the file's worker thread
// (vorna_read_ahead.h), which keeps the next chunks read while the caller
// hashes; from then on every read is held to the chunk digests recorded in that
// pass, so that whatever another process does to the file, only the bytes the
// signatures covered are ever used. A stream (firmware_stream, below: standard
// input or a FIFO) stands beside it as a second firmware_source: read once,
// front to back, it holds only its first bytes (up to the chunk index's end)
// and hands the rest on piece by piece, each used as it passes.
//
// One reader at a time: while a pass or a read-ahead runs, the worker alone
// reads the file and its chunk buffer; the caller reads again once it returned.
#include "vorna/storage/unique_fd.h"
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/firmware/vorna_read_ahead.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

constexpr std::size_t k_firmware_chunk_len = std::size_t{1} << 20;
constexpr std::size_t k_firmware_chunk_digest_len = 32;

/// The caller's line numbers for the messages of the opening steps.
struct firmware_open_lines {
    int size;   ///< "Failed to get file size"
    int open;   ///< "Failed to open file"
    int header; ///< "Failed to build firmware header"
    int table;  ///< "Failed to build firmware ptn_table"
};

/// Sees every byte of the image once, in file order, during the verification pass.
class firmware_chunk_consumer {
public:
    virtual ~firmware_chunk_consumer() = default;
    /// `bytes` are the file's bytes at `offset`, valid during the call only. The
    /// chunks come in file order, each k_firmware_chunk_len long but the last.
    virtual void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
};

/// Why a read of the image failed: kept by the worker, printed by the caller.
struct firmware_read_fault {
    int line = 0; ///< k_line_read, k_line_changed or k_line_changed_short
    std::uint64_t offset = 0;
    std::size_t len = 0;
    long long got = 0; ///< bytes the file gave
};

/// A SHA-256 of the chunks of the image handed to it during the pass: every
/// chunk, or only those a mode reads afterwards (firmware_verify). A chunk whose
/// digest was not recorded matches nothing, so that a read of it fails as a
/// changed image does.
class firmware_chunk_digests final : public firmware_chunk_consumer {
public:
    /// Room for the digests of an image of `image_size` bytes. 0, or -1 after printing.
    [[nodiscard]] int reserve(std::uint64_t image_size);
    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    /// True when chunk `index` was recorded and `bytes` hash to its digest.
    [[nodiscard]] bool matches(std::uint64_t index, std::span<const std::uint8_t> bytes) const;

private:
    using digest = std::array<std::uint8_t, k_firmware_chunk_digest_len>;
    std::unique_ptr<digest[]> digests_;
    std::unique_ptr<bool[]> recorded_;
    std::uint64_t count_ = 0;
    bool failed_ = false; ///< a digest could not be computed: nothing will match
};

/// The image file, read with pread.
class firmware_file final : public firmware_source {
public:
    /// Sizes the image and opens it read-only. 0, or -1 after printing at the caller's lines.
    [[nodiscard]] int open(const char* path, const firmware_open_lines& lines);
    /// Reads a copy of `bytes` held in an anonymous file (a memfd): for the host
    /// tool, the tests and the fuzz harnesses. `name` stands for the path in
    /// messages and must outlive the reads. 0, or -1 (nothing printed).
    [[nodiscard]] int open_bytes(std::span<const std::uint8_t> bytes, const char* name);
    [[nodiscard]] std::uint64_t size() const override { return size_; }
    /// Exactly out.size() bytes at `offset`: straight from the file until hold_to(),
    /// then through whole chunks, each checked against its recorded digest first.
    /// 0, or -1 after printing.
    [[nodiscard]] int read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;
    /// The verification pass: reads the whole image once, chunk by chunk ahead of
    /// the caller on the worker thread, and hands every chunk to each consumer of
    /// `on_worker` there, then to each of `here` on the caller's thread. 0, or -1
    /// after printing a failed or short read.
    [[nodiscard]] int pass(std::span<firmware_chunk_consumer* const> on_worker,
                           std::span<firmware_chunk_consumer* const> here = {});

    /// What a read-ahead hands on: the verified bytes at `offset` of the image.
    /// 0 to go on; anything else ends the read-ahead with that result.
    using piece_sink = std::function<int(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;

    /// Reads `len` bytes from `offset` on ahead of the caller on the worker
    /// thread, in pieces of read_ahead::k_slot_len counted from `offset` (the
    /// last one shorter), each held to the digests like read_at, and hands them
    /// to `sink` on the caller's thread in order. 0; the sink's result when it
    /// ended the read-ahead; -2 after printing when the image no longer holds the
    /// verified bytes (or the chunk buffer cannot be had); -3 when the window
    /// buffers cannot be had (nothing printed).
    [[nodiscard]] int read_ahead_verified(std::uint64_t offset, std::uint64_t len, const piece_sink& sink);

    /// The bytes the read-ahead buffers take, for the caller's own message.
    static constexpr std::size_t k_read_ahead_bytes = read_ahead::k_slots * read_ahead::k_slot_len;

    /// From now on every read must match `digests`, recorded by a pass of this file.
    void hold_to(const firmware_chunk_digests& digests) { digests_ = &digests; }

    /// Prints that bytes {offset:len}, as the caller read them before the pass,
    /// differ from the ones the pass read: the image changed after the check.
    void report_changed(std::uint64_t offset, std::size_t len) const;

private:
    /// Reads chunk `index` into the private buffer and checks it. 0, or -1 with `fault`.
    int load_verified_chunk(std::uint64_t index, firmware_read_fault& fault);
    /// read_at without printing. 0, or -1 with `fault`.
    int read_quietly(std::uint64_t offset, std::span<std::uint8_t> out, firmware_read_fault& fault);
    /// Prints the line of `fault`.
    void report(const firmware_read_fault& fault) const;
    /// Bytes read at `offset` until `out` is full or the file ends; -1 on an error.
    long long read_raw(std::uint64_t offset, std::span<std::uint8_t> out) const;
    /// The private chunk buffer, allocated on first use. False after printing.
    bool have_chunk_buffer();

    const char* path_ = "";
    unique_fd fd_;
    std::uint64_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> chunk_;
    std::uint64_t chunk_index_ = UINT64_MAX; ///< the verified chunk the buffer holds
    const firmware_chunk_digests* digests_ = nullptr;
    firmware_read_fault ahead_fault_; ///< the worker's, until the stream has ended
    read_ahead ahead_;                ///< the worker thread and its buffers, declared last: it stops first
};

/// An image that arrives through a pipe: standard input ("-") or a FIFO. It is
/// read once, in order. Its first bytes (header, table, documents, chunk index)
/// are held in memory and are all that read_at serves; the rest is read on by
/// the worker thread in pieces that the caller uses as they pass (read_on).
class firmware_stream final : public firmware_source {
public:
    /// True when `path` names a stream: "-", or a FIFO.
    [[nodiscard]] static bool names_stream(const char* path);

    /// Takes standard input for "-", else opens the FIFO `path` (waiting for a
    /// writer). 0, or -1 after printing at `open_line`.
    [[nodiscard]] int open(const char* path, int open_line);
    /// The image's length as its header announced it (announce), 0 before.
    [[nodiscard]] std::uint64_t size() const override { return size_; }
    void announce(std::uint64_t total_len) { size_ = total_len; }
    /// Bytes of the held prefix only. 0, or -1 after printing line 600.
    [[nodiscard]] int read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;

    /// Reads on until the first `len` bytes of the stream are held (len at most
    /// k_firmware_stream_prefix_max). 0; 1 when the stream ended first (what it
    /// gave is held, nothing printed); -1 after printing a failed read or allocation.
    [[nodiscard]] int hold(std::uint64_t len);
    /// The bytes held, from the stream's first on.
    [[nodiscard]] std::span<const std::uint8_t> held() const { return {prefix_.get(), held_}; }
    /// Gives the held bytes back once nothing reads them any more (read_at
    /// fails from then on); the stream goes on where it stands.
    void drop_held()
    {
        prefix_.reset();
        held_ = room_ = 0;
    }

    /// What the worker does with each piece it read, on its own thread.
    using piece_share = std::function<void(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;
    /// What the caller does with each piece, in order: 0 to go on.
    using piece_sink = std::function<int(std::size_t index, std::uint64_t offset, std::span<const std::uint8_t> bytes)>;
    /// The length of piece `index` (1 .. read_ahead::k_slot_len).
    using piece_length = std::function<std::size_t(std::size_t index)>;

    /// Reads the next `count` pieces of the stream (from where the held bytes
    /// end) ahead of the caller on the worker thread, which hands each to
    /// `on_worker`; then hands them to `sink` on the caller's thread in order.
    /// 0; the sink's result when it ended the run; -2 after printing when the
    /// stream ended early or a read failed; -3 when the ring's buffers cannot be
    /// had (nothing printed).
    [[nodiscard]] int read_on(std::size_t count, const piece_length& length, const piece_share& on_worker,
                              const piece_sink& sink);

    /// After the last piece: 0 when the stream ends there, else -1 after printing.
    [[nodiscard]] int expect_end();

    /// Prints that the stream ended at byte `at` (counted from its first).
    void report_ended(std::uint64_t at) const;

private:
    /// Reads until `out` is full or the stream ends: the bytes read, or -1.
    long long read_raw(std::span<std::uint8_t> out) const;
    void report(const firmware_read_fault& fault) const;

    const char* path_ = "";
    int fd_ = -1;     ///< standard input, or owned_'s
    unique_fd owned_; ///< an opened FIFO
    std::uint64_t size_ = 0;
    std::uint64_t consumed_ = 0; ///< bytes read from the stream so far
    std::unique_ptr<std::uint8_t[]> prefix_;
    std::uint64_t held_ = 0;
    std::uint64_t room_ = 0;          ///< the prefix buffer's length
    firmware_read_fault ahead_fault_; ///< the worker's, until the run has ended
    read_ahead ahead_;                ///< declared last: it stops first
};
