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
