#pragma once
// Opening an image file for the firmware operations: read-only and mapped
// privately, so that no operation can change the file it was given.
#include "vorna/mapped_file.h"

struct firmware_map_lines {
    int size; ///< line of the "Failed to get file size" message
    int open; ///< line of the "Failed to open file" message
    int mmap; ///< line of the "Failed to mmap file" message
};

/// Sizes the image, opens it O_RDONLY and maps it whole with PROT_READ,
/// MAP_PRIVATE. An invalid mapping after printing the failure at the caller's line.
[[nodiscard]] mapped_file firmware_image_map(const char* path, const firmware_map_lines& lines);
