// SPDX-License-Identifier: Apache-2.0
// `vorna -v`: copies the "firmware-info" document of a genuine image to a file.
#include "vorna/firmware/vorna_firmware.h"

#include "vorna/storage/vorna_file.h"
#include "vorna/firmware/vorna_firmware_reader.h"
#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"
#include "vorna/storage/staged_output.h"

namespace {

constexpr const char* k_module = "vorna_firmware";
constexpr const char* k_info_name = "firmware-info";
constexpr firmware_document_lines k_document_lines{
    k_module, "firmware", k_line_info_outside_image, k_line_invalid_header, k_line_content_too_long, k_line_too_big};

/// Writes the document of one "firmware-info" entry to `out_path`. 0, or -1 after printing.
int export_entry(const firmware_ptn_entry& entry, firmware_source& image, const char* out_path)
{
    ptn_document doc;
    if (firmware_document_read(entry, image, k_document_lines, doc) < 0)
        return -1;
    // A content_len of 0 is refused by file_replace, and so reported as a failed write.
    if (file_replace(out_path, doc.bytes.get(), doc.frame.header.content_len) < 0) {
        log_error(k_module, k_line_write, "Faield to write firmware info to (%s).\n", out_path);
        return -1;
    }
    return 0;
}

} // namespace

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
    // Every entry is scanned whatever its size; a later entry's document replaces
    // an earlier one's, since each write replaces the file whole.
    for (const firmware_ptn_entry& entry : fw.table->entries) {
        if (firmware_ptn_name_is(entry, k_info_name) && export_entry(entry, fw.file, out_path) < 0)
            return -1;
    }
    return 0;
}
