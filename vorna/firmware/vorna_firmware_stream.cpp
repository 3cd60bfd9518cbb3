// SPDX-License-Identifier: Apache-2.0
// `vorna -c` and `vorna -u` from a stream (standard input, or a FIFO), in one
// forward pass that stores nothing but the image's first bytes:
//
//   1. the header: its magic and total_len, refused at the lines of a file;
//   2. refused before any write, each with its own line: a build without
//      trusted strong keys, an image without a usable chunk index, one not in
//      stream order or holding too much before its contents;
//   3. the stream's first bytes, up to the index's end, held; the index digest
//      over exactly those and the index's signatures judged by the trusted keys;
//   4. from then on the header, the table, the documents and the block digests
//      are taken only from those held bytes: the board, the support list and
//      every entry are decided as for a file (vorna_firmware_plan.h);
//   5. the rest in order, read ahead by the worker: every byte feeds the
//      whole-file digests, every 64 KiB block of an entry's contents is hashed
//      and compared with its signed digest before it goes to the entry's writer,
//      bytes between entries are only hashed;
//   6. the end: exactly total_len bytes, then the whole-file signatures judged
//      and printed as for a file.
//
// The legacy MD5 is the longest share: when it is needed, the worker computes it
// and the caller the whole-file SHA-256; otherwise the worker computes the
// SHA-256. The caller always hashes the blocks and writes them.
#include "vorna/firmware/vorna_firmware.h"

#include "vorna/firmware/vorna_firmware_index.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/firmware/vorna_firmware_plan.h"
#include "vorna/firmware/vorna_security_floor.h"
#include "vorna/firmware/vorna_upgrade_record.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_paths.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_progress.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr const char* k_module = "vorna_firmware";

// Pieces of an entry are counted from its first byte, so blocks never straddle two.
static_assert(read_ahead::k_slot_len % k_firmware_index_block_len == 0);

/// What the held prefix says, decoded from the held bytes only.
struct stream_prefix {
    std::unique_ptr<firmware_header> header;
    std::unique_ptr<firmware_ptn_table> table;
    firmware_index_location index;
    firmware_index_view view;     ///< into the stream's held bytes, until the run drops them
    sha256_digest index_digest{}; ///< what the index's signatures were judged by: the image's name
};

/// Prints that the stream holds `len` bytes before its contents, above the limit. -1.
int report_prefix_too_big(const char* path, std::uint64_t len)
{
    log_error(k_module, k_line_prefix_too_big,
              "firmware stream '%s' holds %llu bytes before its contents, more than %llu.\n", path,
              static_cast<unsigned long long>(len), static_cast<unsigned long long>(k_firmware_stream_prefix_max));
    return -1;
}

/// Holds the stream's first `len` bytes. 0, or -1 after printing.
int hold_or_report(firmware_stream& stream, std::uint64_t len)
{
    const int held = stream.hold(len);
    if (held == 1)
        stream.report_ended(stream.held().size());
    return held == 0 ? 0 : -1;
}

/// Step 1: the header, refused as a file's would be. 0, -1 or -2 after printing.
int read_header(firmware_stream& stream, stream_prefix& p)
{
    const int held = stream.hold(k_firmware_header_len);
    if (held < 0)
        return -1;
    p.header = firmware_header_decode(stream.held());
    if (!p.header) {
        log_error(k_module, k_line_header, "Failed to build firmware header\n");
        return -2;
    }
    // The length is known only at the end; the header's word stands for it.
    stream.announce(p.header->total_len);
    firmware_verdict v;
    v.image_size = p.header->total_len;
    v.total_len = p.header->total_len;
    v.header_status = firmware_header_check(*p.header, v.image_size);
    if (v.header_status != firmware_header_status::ok)
        return firmware_signatures_report(v);
    // An image shorter than a header is refused by its table's place, like a file.
    if (held == 1 && stream.held().size() < stream.size()) {
        stream.report_ended(stream.held().size());
        return -1;
    }
    return 0;
}

/// Step 2: the table, the index's place and the stream order. 0, or -1 after printing.
int read_table(firmware_stream& stream, const char* path, stream_prefix& p)
{
    const firmware_table_span span = firmware_table_within(*p.header, stream.size());
    std::array<std::uint8_t, k_firmware_ptn_table_len> none{};
    if (span.len < k_firmware_ptn_table_len) {
        p.table = firmware_ptn_table_decode(std::span(none).first(span.len)); // says it is short
    } else {
        const std::uint64_t table_end = std::max<std::uint64_t>(k_firmware_header_len, span.at + span.len);
        if (table_end > k_firmware_stream_prefix_max)
            return report_prefix_too_big(path, table_end);
        if (hold_or_report(stream, table_end) < 0)
            return -1;
        p.table = firmware_ptn_table_decode(stream.held().subspan(span.at, span.len));
    }
    if (!p.table) {
        log_error(k_module, k_line_image_table, "Failed to build firmware ptn_table\n");
        return -1;
    }
    const firmware_index_status located = firmware_index_locate(*p.table, stream.size(), p.index);
    if (located == firmware_index_status::missing) {
        log_error(k_module, k_line_index_missing, "firmware stream '%s' has no chunk index.\n", path);
        return -1;
    }
    if (located != firmware_index_status::ok) {
        log_error(k_module, k_line_index_malformed, "firmware chunk index malformed (%s).\n",
                  firmware_index_status_text(located));
        return -1;
    }
    const firmware_stream_order order = firmware_stream_order_check(*p.header, *p.table, p.index);
    if (order == firmware_stream_order::prefix_too_big)
        return report_prefix_too_big(path, p.index.at + p.index.len);
    if (order != firmware_stream_order::ok) {
        log_error(k_module, k_line_stream_order, "firmware stream '%s' is not in stream order (%s).\n", path,
                  firmware_stream_order_text(order));
        return -1;
    }
    return 0;
}

/// The index signatures' line. 0, or -4.
int index_signature_report(const strong_verdict& v)
{
    switch (v.kind) {
    case strong_verdict_kind::pass:
        log_info(k_module, k_line_index_pass, "chunk index signature check pass, key %s\n",
                 firmware_key_id_text(v.key_id).data());
        return 0;
    case strong_verdict_kind::missing_block:
        log_error(k_module, k_line_index_block_missing, "firmware chunk index signature missing: no signature block\n");
        return -4;
    case strong_verdict_kind::malformed_block:
        log_error(k_module, k_line_index_block_malformed, "firmware chunk index signature block malformed (%s)\n",
                  signature_block_status_text(v.block_status));
        return -4;
    case strong_verdict_kind::unknown_keys:
        log_error(k_module, k_line_index_unknown_keys, "firmware chunk index signed by unknown keys only (%s)\n",
                  key_ids_text(v.block).c_str());
        return -4;
    case strong_verdict_kind::bad_signature:
        log_error(k_module, k_line_index_bad_signature, "firmware chunk index signature verify failed, key %s\n",
                  firmware_key_id_text(v.key_id).data());
        return -4;
    }
    return -4;
}

/// Step 3: the prefix held up to the index's end, the index decoded from it and
/// its signatures judged. 0, -1 or -4 after printing.
int authenticate_prefix(firmware_stream& stream, stream_prefix& p)
{
    if (hold_or_report(stream, p.index.at + p.index.len) < 0)
        return -1;
    const firmware_index_status decoded =
        firmware_index_decode(stream.held().subspan(p.index.at, p.index.len), *p.table, p.view);
    if (decoded != firmware_index_status::ok) {
        log_error(k_module, k_line_index_malformed, "firmware chunk index malformed (%s).\n",
                  firmware_index_status_text(decoded));
        return -1;
    }
    sha256_digest& digest = p.index_digest;
    if (index_digest_of(stream.held(), p.index, digest) != 0) {
        log_error(k_module, k_line_index_digest_failed, "firmware chunk index digest could not be computed\n");
        return -1;
    }
    return index_signature_report(firmware_strong_verify(p.view.signature_area, digest, firmware_trusted_keys()));
}

/// The stream after its held prefix: regions of entry contents (in table
/// order) and of the bytes between them, each cut into pieces of at most one
/// ring slot counted from the region's start.
struct stream_layout {
    struct region {
        std::uint64_t at;
        std::uint64_t len;
        int entry; ///< walked entry, or -1 for bytes that are only hashed
        std::size_t first_piece;
    };
    struct piece {
        const region* in;
        std::uint64_t from; ///< bytes into the region
        std::size_t len;
    };

    stream_layout(const upgrade_plan& plan, std::uint64_t held, std::uint64_t total)
    {
        std::uint64_t pos = held;
        for (std::size_t i = 0; i < plan.entries.size(); ++i) {
            const firmware_ptn_entry& entry = plan.entries[i];
            add(pos, entry.content_offset - pos, -1);
            add(entry.content_offset, entry.content_size, static_cast<int>(i));
            pos = std::uint64_t{entry.content_offset} + entry.content_size;
        }
        add(pos, total - pos, -1);
    }

    [[nodiscard]] piece at(std::size_t index) const
    {
        std::size_t r = 0;
        while (r + 1 < count && regions[r + 1].first_piece <= index)
            ++r;
        const std::uint64_t from = std::uint64_t{index - regions[r].first_piece} * read_ahead::k_slot_len;
        return {&regions[r], from,
                static_cast<std::size_t>(std::min<std::uint64_t>(read_ahead::k_slot_len, regions[r].len - from))};
    }

    std::array<region, 2 * k_firmware_ptn_max + 1> regions{};
    std::size_t count = 0;
    std::size_t pieces = 0;

private:
    void add(std::uint64_t at, std::uint64_t len, int entry)
    {
        if (len == 0)
            return;
        regions[count++] = {at, len, entry, pieces};
        pieces += static_cast<std::size_t>((len + read_ahead::k_slot_len - 1) / read_ahead::k_slot_len);
    }
};

/// SHA-256 of one block at a time through one context, taken once.
class block_hasher {
public:
    block_hasher() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {}
    ~block_hasher() { EVP_MD_free(md_); }
    block_hasher(const block_hasher&) = delete;
    block_hasher& operator=(const block_hasher&) = delete;

    /// 1 when `block` hashes to `expected`, 0 when not, -1 when no digest could be computed.
    int matches(std::span<const std::uint8_t> block, std::span<const std::uint8_t, 32> expected)
    {
        sha256_digest got{};
        unsigned len = 0;
        if (md_ == nullptr || !ctx_ || EVP_DigestInit_ex2(ctx_.get(), md_, nullptr) != 1 ||
            EVP_DigestUpdate(ctx_.get(), block.data(), block.size()) != 1 ||
            EVP_DigestFinal_ex(ctx_.get(), got.data(), &len) != 1 || len != got.size())
            return -1;
        return std::equal(got.begin(), got.end(), expected.begin()) ? 1 : 0;
    }

private:
    EVP_MD* md_;
    evp_md_ctx_ptr ctx_;
};

/// Step 5 and 6: the rest of the stream, checked block by block and, for an
/// upgrade, written entry by entry.
class stream_run {
public:
    stream_run(firmware_stream& stream, const stream_prefix& p, const upgrade_plan& plan, const ptn_table* device_table,
               bool minimize_writes, upgrade_journal* journal)
        : stream_(stream), prefix_(p), plan_(plan), device_table_(device_table),
          minimize_writes_(minimize_writes || (journal != nullptr && journal->rerun())), journal_(journal),
          layout_(plan, stream.held().size(), stream.size()),
          legacy_needed_(firmware_legacy_digest_needed(*p.header, true))
    {
    }

    /// Reads the rest. 0 when every byte came and every block matched (and was
    /// written, for an upgrade); -1 after printing.
    int read_rest();

    /// The whole-file digests, once read_rest returned 0.
    [[nodiscard]] firmware_dual_digests digests();

    /// An entry failed to be written (NOR: the others were still written).
    [[nodiscard]] bool write_failed() const { return write_failed_; }

private:
    int take(std::size_t index, std::uint64_t offset, std::span<const std::uint8_t> bytes);
    int check_blocks(const stream_layout::piece& piece, std::uint64_t offset, std::span<const std::uint8_t> bytes);
    int write_piece(const stream_layout::piece& piece, std::span<const std::uint8_t> bytes);

    firmware_stream& stream_;
    const stream_prefix& prefix_;
    const upgrade_plan& plan_;
    const ptn_table* device_table_; ///< null for a check
    bool minimize_writes_;          ///< also on a rerun of the image the record names
    upgrade_journal* journal_;
    stream_layout layout_;
    bool legacy_needed_;
    legacy_digest legacy_;
    strong_digest strong_;
    block_hasher blocks_;
    std::optional<firmware_entry_writer> writer_;
    bool skip_entry_ = false; ///< a NOR entry whose write failed: its other pieces are only checked
    bool write_failed_ = false;
    std::optional<progress> shown_;                 ///< a check's progress
    std::unique_ptr<std::uint8_t[]> block_digests_; ///< the index's, copied out of the held bytes
};

int stream_run::check_blocks(const stream_layout::piece& piece, std::uint64_t offset,
                             std::span<const std::uint8_t> bytes)
{
    const firmware_ptn_entry& entry = plan_.entries[static_cast<std::size_t>(piece.in->entry)];
    const std::uint64_t first = firmware_index_first_block(*prefix_.table, static_cast<std::size_t>(piece.in->entry)) +
                                piece.from / k_firmware_index_block_len;
    for (std::size_t at = 0; at < bytes.size(); at += k_firmware_index_block_len) {
        const auto block = bytes.subspan(at, std::min<std::size_t>(k_firmware_index_block_len, bytes.size() - at));
        const std::uint64_t number = (piece.from + at) / k_firmware_index_block_len;
        const std::uint64_t digest_at = (first + at / k_firmware_index_block_len) * k_firmware_index_digest_len;
        const int match =
            blocks_.matches(block, std::span(block_digests_.get() + digest_at, k_firmware_index_digest_len)
                                       .first<k_firmware_index_digest_len>());
        if (match == 1)
            continue;
        std::array<char, 33> name{};
        std::memcpy(name.data(), entry.name.data(), entry.name.size());
        if (match < 0)
            log_error(k_module, k_line_block_digest_failed, "PTN[%s] block %llu digest could not be computed.\n",
                      name.data(), static_cast<unsigned long long>(number));
        else
            log_error(k_module, k_line_block_differs,
                      "PTN[%s] block %llu {0x%llx:0x%zx} differs from the signed chunk index.\n", name.data(),
                      static_cast<unsigned long long>(number), static_cast<unsigned long long>(offset + at),
                      block.size());
        return -1;
    }
    return 0;
}

int stream_run::write_piece(const stream_layout::piece& piece, std::span<const std::uint8_t> bytes)
{
    const auto index = static_cast<std::size_t>(piece.in->entry);
    const firmware_ptn_entry& entry = plan_.entries[index];
    if (piece.from == 0) {
        firmware_announce_entry(plan_, index);
        skip_entry_ = false;
        writer_.emplace(entry, *device_table_);
        if (writer_->open(minimize_writes_) != 0)
            skip_entry_ = true;
    }
    if (!skip_entry_ && writer_->write(piece.from, bytes) != 0)
        skip_entry_ = true;
    if (!skip_entry_ && piece.from + bytes.size() == piece.in->len) {
        if (writer_->finish() != 0)
            skip_entry_ = true;
        else
            journal_->entry_done(index);
    }
    if (!skip_entry_)
        return 0;
    // A failed NOR entry leaves the others to be written, but the upgrade as a
    // whole has failed; an eMMC failure ends the walk.
    writer_.reset();
    write_failed_ = true;
    return entry.type == k_firmware_type_nor ? 0 : -1;
}

int stream_run::take(std::size_t index, std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (legacy_needed_)
        (void)strong_.update(offset, bytes);
    if (shown_)
        shown_->update(offset + bytes.size());
    const stream_layout::piece piece = layout_.at(index);
    if (piece.in->entry < 0)
        return 0;
    if (check_blocks(piece, offset, bytes) != 0)
        return -1;
    if (device_table_ == nullptr || (skip_entry_ && piece.from != 0))
        return 0;
    return write_piece(piece, bytes);
}

int stream_run::read_rest()
{
    // The held prefix first, on this thread; the worker starts after it.
    const std::span<const std::uint8_t> held = stream_.held();
    (void)strong_.update(0, held);
    if (legacy_needed_)
        (void)legacy_.update(0, held);
    // Of the held bytes only the block digests are used from here on: kept
    // alone (at most 2 MiB), they leave room for the ring whatever the documents took.
    const std::span<const std::uint8_t> digests = prefix_.view.digests;
    block_digests_ = make_buffer(digests.size());
    if (!block_digests_) {
        log_error(k_module, k_line_stream_prefix_alloc, "Failed to alloc %llu bytes memory.\n",
                  static_cast<unsigned long long>(digests.size()));
        return -1;
    }
    std::copy(digests.begin(), digests.end(), block_digests_.get());
    stream_.drop_held();
    if (device_table_ == nullptr)
        shown_.emplace("verify", stream_.size());
    const int rc = stream_.read_on(
        layout_.pieces, [this](std::size_t index) { return layout_.at(index).len; },
        [this](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
            if (legacy_needed_)
                (void)legacy_.update(offset, bytes);
            else
                (void)strong_.update(offset, bytes);
        },
        [this](std::size_t index, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
            return take(index, offset, bytes);
        });
    writer_.reset();
    if (rc == -3) {
        log_error(k_module, k_line_window_alloc, "Failed to alloc %zu bytes memory.\n",
                  firmware_file::k_read_ahead_bytes);
        return -1;
    }
    if (rc != 0)
        return -1;
    return stream_.expect_end();
}

firmware_dual_digests stream_run::digests()
{
    firmware_dual_digests d{};
    d.legacy_rc = legacy_needed_ ? legacy_.final(d.legacy) : -1;
    d.strong_rc = strong_.final(d.strong);
    return d;
}

/// Steps 1 to 3. 0, or the operation's result after printing. The header and
/// the table are decoded once from the held bytes, which never change: what the
/// index's signatures cover is exactly what was decoded.
int read_prefix(firmware_stream& stream, const char* path, stream_prefix& p)
{
    if (const int rc = read_header(stream, p); rc != 0)
        return rc;
    if (firmware_trusted_keys().empty()) {
        log_error(k_module, k_line_stream_no_keys,
                  "firmware stream '%s' refused: this build trusts no strong key to check its chunk index.\n", path);
        return -1;
    }
    if (read_table(stream, path, p) != 0)
        return -1;
    return authenticate_prefix(stream, p);
}

/// Step 6: the whole-file signatures, judged as for a file. 0, or the result after printing.
int judge_whole(stream_run& run, stream_prefix& p, std::uint64_t total_len)
{
    firmware_verdict v;
    v.reached = firmware_verdict::stage::signatures;
    v.image_size = total_len;
    v.total_len = static_cast<std::uint32_t>(total_len);
    v.strong_active = true;
    v.header = std::move(p.header);
    firmware_verdict_judge(run.digests(), firmware_trusted_keys(), v);
    return firmware_signatures_report(v);
}

} // namespace

int firmware_stream_check_and_upgrade(const char* stream_path, const char* device, std::uint32_t base, int upgrade,
                                      bool minimize_writes)
{
    progress_stage("check");
    firmware_stream stream;
    if (stream.open(stream_path, k_line_open) != 0)
        return -1;
    stream_prefix p;
    if (const int rc = read_prefix(stream, stream_path, p); rc != 0)
        return rc;
    firmware_board board;
    if (firmware_board_load(device, base, board) < 0)
        return -1;
    upgrade_plan plan;
    if (const int rc = firmware_decide(board, *p.table, *p.header, stream, plan); rc != 0)
        return rc;
    if (upgrade != 0)
        log_info(k_module, k_line_upgradable, "Firmware is upgradable for this DEVICE. \n");
    // The record names the image before the first write and goes away after the last sync.
    upgrade_journal journal(k_state_dir);
    upgrade_image_id id;
    id.digest = p.index_digest;
    if (upgrade != 0 && journal.begin(id, plan, *board.table) != 0) {
        log_error(k_module, k_line_upgrade_failed, "Failed to upgrade firmware into this device.\n");
        return -1;
    }
    stream_run run(stream, p, plan, upgrade != 0 ? board.table.get() : nullptr, minimize_writes,
                   upgrade != 0 ? &journal : nullptr);
    int rc = run.read_rest();
    if (rc == 0) {
        rc = judge_whole(run, p, stream.size());
        if (rc != 0 && upgrade != 0)
            log_info(k_module, k_line_blocks_verified,
                     "every block written was verified against the signed chunk index.\n");
    }
    if (rc == 0 && run.write_failed())
        rc = -1;
    if (rc == 0 && upgrade != 0)
        rc = firmware_floor_raise(plan.security_version); // before the record goes, as for a file
    if (rc == 0 && upgrade != 0)
        rc = journal.finish();
    if (rc != 0) {
        if (upgrade != 0)
            log_error(k_module, k_line_upgrade_failed, "Failed to upgrade firmware into this device.\n");
        return rc;
    }
    if (upgrade == 0)
        log_info(k_module, k_line_upgradable, "Firmware is upgradable for this DEVICE. \n");
    progress_stage("done");
    return 0;
}
