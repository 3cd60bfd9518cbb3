// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every line number that the "vorna_file" module prints, in one place: the module
// spans two files (the device writer, and the MTD erase block rewrite),
// and a number given twice would make two messages indistinguishable. Each number
// is also a case label below, so that a duplicate does not compile. The numbers
// never change: scripts and tests match them.
// Only the module's own sources include it: other modules give some of these
// names to lines of their own.

#include "vorna/support/vorna_lines.h"

// X(name, number)
#define VORNA_FILE_LINES(X)                                                                                            \
    /* device_writer.cpp: the NOR policy */                                                                            \
    X(k_line_invalid_param, 233)                                                                                       \
    X(k_line_get_size, 239)                                                                                            \
    X(k_line_invalid_offset, 244)                                                                                      \
    X(k_line_write_overflow, 249)                                                                                      \
    X(k_line_open, 256)                                                                                                \
    X(k_line_malloc, 262)                                                                                              \
    X(k_line_block_size, 268) /* block size of 0 or less */                                                            \
    X(k_line_seek, 274)       /* a seek that did not land where asked */                                               \
    X(k_line_read, 280)                                                                                                \
    X(k_line_write, 299)                                                                                               \
    X(k_line_flush, 305) /* the device did not take the blocks onto its medium */                                      \
    /* device_writer.cpp: the MTD policy */                                                                            \
    X(k_line_mtd_erase_size, 320) /* an erase block size vorna will not buffer */                                      \
    X(k_line_mtd_malloc, 322)                                                                                          \
    X(k_line_mtd_read, 324)                                                                                            \
    /* vorna_mtd.cpp */                                                                                                \
    X(k_line_mtd_erase, 326)                                                                                           \
    X(k_line_mtd_program, 328)                                                                                         \
    X(k_line_mtd_verify, 330)  /* the block read back is not what was programmed */                                    \
    X(k_line_mtd_restore, 332) /* a failed block could not be given its old bytes back */

VORNA_DECLARE_LINES(file_line, file_line_known, VORNA_FILE_LINES)
static_assert(file_line_known(k_line_open));
