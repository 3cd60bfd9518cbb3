#pragma once
// Opening an image file for the firmware operations: read-only and mapped
// privately, so that no operation can change the file it was given; then the
// steps every consumer takes before it reads entries.
#include "vorna/mapped_file.h"
#include "vorna/vorna_firmware.h"

#include <memory>

/// The caller's line numbers for the messages of the opening steps.
struct firmware_open_lines {
    int size;   ///< "Failed to get file size"
    int open;   ///< "Failed to open file"
    int mmap;   ///< "Failed to mmap file"
    int header; ///< "Failed to build firmware header"
    int table;  ///< "Failed to build firmware ptn_table"
};

/// An image mapped and checked, with its decoded header and table.
struct firmware_image {
    mapped_file map;
    std::unique_ptr<firmware_header> header;
    std::unique_ptr<firmware_ptn_table> table;
};

/// Sizes the image, opens it O_RDONLY and maps it whole with PROT_READ,
/// MAP_PRIVATE. An invalid mapping after printing the failure at the caller's line.
[[nodiscard]] mapped_file firmware_image_map(const char* path, const firmware_open_lines& lines);

/// Maps the image, decodes and checks its header (magic, length, signature) and
/// decodes its table into `out`. 0; -1 when it cannot be mapped or its table not
/// decoded; `header_failure` when the header record cannot be built; -2 or -4
/// from the check. Every failure is printed.
[[nodiscard]] int firmware_image_open(const char* path, const firmware_open_lines& lines, int header_failure,
                                      firmware_image& out);
