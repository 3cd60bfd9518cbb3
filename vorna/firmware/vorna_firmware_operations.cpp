// SPDX-License-Identifier: Apache-2.0
// The operations on an image file: `vorna -c` and `vorna -u` prove it genuine
// and meant for this device, decide a plan of what is written where (every
// refusal comes before the first write, vorna_firmware_plan.h) and, for an
// upgrade, apply it to the NOR and eMMC devices; `vorna -v` exports its
// "firmware-info" document. An image that arrives through a pipe takes its own
// path (vorna_firmware_stream.cpp).
#include "vorna/firmware/vorna_firmware.h"

#include "vorna/storage/vorna_file.h"
#include "vorna/storage/device_writer.h"
#include "vorna/firmware/vorna_firmware_plan.h"
#include "vorna/firmware/vorna_firmware_verify.h"
#include "vorna/firmware/vorna_upgrade_record.h"
#include "vorna/firmware/vorna_firmware_index.h"
#include "vorna/firmware/vorna_security_floor.h"
#include "vorna/support/vorna_paths.h"
#include "vorna/storage/staged_output.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_progress.h"
#include "vorna/partition/vorna_ptn.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_firmware";

constexpr const char* k_info_name = "firmware-info";
constexpr firmware_document_lines k_document_lines{
    k_module, "firmware", k_line_info_outside_image, k_line_invalid_header, k_line_content_too_long, k_line_too_big};

constexpr off_t k_nor_block_size = 0x10000;
// Contents are written in the read-ahead's windows of verified bytes, counted
// from the entry's start; a multiple of the NOR block size (and of the blocks
// the eMMC writer compares), so that blocks stay counted from the entry's base.
static_assert(read_ahead::k_slot_len % k_nor_block_size == 0);
static_assert(read_ahead::k_slot_len % writer_policy::k_minimize_block == 0);

/// Writes one entry's contents window by window as the image's worker reads
/// and checks them ahead (each window held to the verified bytes), so that the
/// next window is read while this one is written. 0; -1 when the device write
/// failed (eMMC after line 368); -2 when the image no longer holds the verified
/// bytes (printed by the reader); -3 when the windows cannot be had.
int write_entry(const firmware_ptn_entry& entry, const ptn_table& device_table, firmware_file& image,
                bool minimize_writes)
{
    firmware_entry_writer out(entry, device_table);
    if (out.open(minimize_writes) != 0)
        return -1;
    const std::uint64_t contents_at = entry.content_offset;
    const int rc = image.read_ahead_verified(contents_at, entry.content_size,
                                             [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
                                                 return out.write(offset - contents_at, bytes);
                                             });
    if (rc != 0)
        return rc;
    return out.finish();
}

/// Applies the plan: writes every entry to its device in table order. 0, or -1
/// when an entry failed.
int apply_plan(const upgrade_plan& plan, const ptn_table& device_table, firmware_file& image, bool minimize_writes,
               upgrade_journal& journal)
{
    int result = 0;
    const std::span<const firmware_ptn_entry> entries = plan.entries;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const firmware_ptn_entry& entry = entries[index];
        firmware_announce_entry(plan, index);
        // A rerun of the image the record names compares every block first.
        const int rc = write_entry(entry, device_table, image, minimize_writes || journal.rerun());
        if (rc == -3) {
            log_error(k_module, k_line_window_alloc, "Failed to alloc %zu bytes memory.\n",
                      firmware_file::k_read_ahead_bytes);
            return -1;
        }
        // A failed NOR entry leaves the others to be written, but the upgrade as a
        // whole has failed; an eMMC failure or a changed image ends the walk.
        if (rc == -2 || (rc < 0 && entry.type != k_firmware_type_nor))
            return -1;
        if (rc < 0)
            result = -1;
        else
            journal.entry_done(index);
    }
    return result;
}

/// The image's name in the record: the digest of its chunk index (read through
/// the verified reads, as a stream of it would be named), else the digest its
/// signatures were judged by. 0, or -1 when the index cannot be read.
int image_id_of(firmware_image& fw, upgrade_image_id& id)
{
    firmware_index_location at;
    if (firmware_index_locate(*fw.table, fw.file.size(), at) == firmware_index_status::ok) {
        index_digest digest(at);
        std::array<std::uint8_t, 0x10000> piece{};
        for (std::uint64_t done = 0, end = at.at + at.len; done < end; done += piece.size()) {
            const auto part =
                std::span(piece).first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - done)));
            if (fw.file.read_at(done, part) != 0 || digest.update(done, part) != 0)
                return -1;
        }
        id.by = upgrade_image_id::kind::index;
        return digest.final(id.digest);
    }
    if (fw.whole.strong_rc == 0) {
        id.by = upgrade_image_id::kind::strong;
        id.digest = fw.whole.strong;
        return 0;
    }
    id.by = upgrade_image_id::kind::legacy;
    std::copy(fw.whole.legacy.begin(), fw.whole.legacy.end(), id.digest.begin());
    return fw.whole.legacy_rc;
}

} // namespace

int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure, firmware_image& out,
                        firmware_later_reads reads)
{
    if (out.file.open(path, lines) < 0)
        return -1;
    // Everything that follows the check is read through the pass's digests, in
    // every mode: the header's fields, the table, the documents a check matches or
    // an export writes, and the contents an upgrade writes are all bytes the
    // signatures covered.
    firmware_verdict verdict = firmware_verify(out.file, out.digests, firmware_trusted_keys(), reads);
    if (verdict.reached == firmware_verdict::stage::no_record) {
        log_error(k_module, lines.header, "Failed to build firmware header\n");
        return header_failure;
    }
    const int rc = firmware_verdict_report(verdict, out.file);
    if (rc < 0)
        return rc;
    out.header = std::move(verdict.header);
    out.whole = verdict.digests;
    // A table that does not fit is refused by the decoder; one that fits is read.
    const firmware_table_span span = firmware_table_within(*out.header, out.file.size());
    std::array<std::uint8_t, k_firmware_ptn_table_len> raw{};
    const std::span<std::uint8_t> table_bytes = std::span(raw).first(span.len);
    if (span.len < k_firmware_ptn_table_len || out.file.read_at(span.at, table_bytes) == 0)
        out.table = firmware_ptn_table_decode(table_bytes);
    if (!out.table) {
        log_error(k_module, lines.table, "Failed to build firmware ptn_table\n");
        return -1;
    }
    return 0;
}

int firmware_check_and_upgrade(const char* image_path, const char* device, std::uint32_t base, int upgrade,
                               bool minimize_writes)
{
    if (device == nullptr || image_path == nullptr || base == 0) {
        log_error(k_module, k_line_invalid_args, "Invalid pass-in args, (%p,%p,0x%X)\n",
                  static_cast<const void*>(image_path), static_cast<const void*>(device), base);
        return -1;
    }
    if (firmware_stream::names_stream(image_path))
        return firmware_stream_check_and_upgrade(image_path, device, base, upgrade, minimize_writes);
    progress_stage("check");
    firmware_board board;
    if (firmware_board_load(device, base, board) < 0)
        return -1;
    firmware_image fw;
    // A check reads only the table and the documents after the pass (firmware_decide).
    const auto reads = upgrade == 0 ? firmware_later_reads::table_and_documents : firmware_later_reads::every_chunk;
    int rc = firmware_image_open(image_path, {k_line_get_size, k_line_open, k_line_header, k_line_image_table}, -2, fw,
                                 reads);
    if (rc < 0)
        return rc;
    upgrade_plan plan;
    rc = firmware_decide(board, *fw.table, *fw.header, fw.file, plan);
    if (rc < 0)
        return rc;
    log_info(k_module, k_line_upgradable, "Firmware is upgradable for this DEVICE. \n");
    if (upgrade == 0) {
        progress_stage("done");
        return 0;
    }

    // The record names the image before the first write and goes away after the
    // last sync. The floor is raised before it goes: a floor raised before the
    // upgrade completed would refuse the image the device still runs if it
    // failed, and a cut between the two leaves a record whose rerun of the same
    // image (equal to the floor) completes it.
    upgrade_journal journal(k_state_dir);
    upgrade_image_id id;
    int result = image_id_of(fw, id) == 0 ? journal.begin(id, plan, *board.table) : -1;
    if (result == 0)
        result = apply_plan(plan, *board.table, fw.file, minimize_writes, journal);
    if (result == 0)
        result = firmware_floor_raise(plan.security_version);
    if (result == 0)
        result = journal.finish();
    if (result < 0) {
        log_error(k_module, k_line_upgrade_failed, "Failed to upgrade firmware into this device.\n");
        return result;
    }
    progress_stage("done");
    return result;
}

int firmware_check(const char* image_path, const char* device, std::uint32_t base)
{
    return firmware_check_and_upgrade(image_path, device, base, 0);
}

int firmware_upgrade(const char* image_path, const char* device, std::uint32_t base, bool minimize_writes)
{
    return firmware_check_and_upgrade(image_path, device, base, 1, minimize_writes);
}

int firmware_info_export(const char* image_path, const char* out_path)
{
    // Checked before the image is opened (for writing, too).
    if (output_overwrites(out_path, image_path)) {
        log_error(k_module, k_line_output_is_image, "output %s is the firmware %s.\n", out_path, image_path);
        return -1;
    }
    firmware_image fw;
    int rc = firmware_image_open(
        image_path, {k_line_info_get_size, k_line_info_open, k_line_info_header, k_line_info_image_table}, -1, fw);
    if (rc < 0)
        return rc;
    // The image's rule picks the document (the host tool's info judges it the
    // same way): the output is written once, and not at all when any entry of
    // the name cannot be read.
    firmware_document info;
    switch (firmware_document_find(*fw.table, k_info_name, fw.file, info)) {
    case firmware_document_status::none: return 0;
    case firmware_document_status::ok: break;
    default: firmware_document_report(info, k_document_lines); return -1;
    }
    // A content_len of 0 is refused by file_replace, and so reported as a failed write.
    if (file_replace(out_path, info.doc.bytes.get(), info.doc.frame.header.content_len) < 0) {
        log_error(k_module, k_line_write, "Faield to write firmware info to (%s).\n", out_path);
        return -1;
    }
    return 0;
}
