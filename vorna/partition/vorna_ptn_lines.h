// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every line number that the "vorna_ptn" module prints, in one place: the module
// spans two files (the table and the read and write commands), and a number given
// twice would make two messages indistinguishable. Each number is also a case
// label below, so that a duplicate does not compile. The numbers never change:
// scripts and tests match them.
// Only the module's own sources include it: other modules give some of these
// names to lines of their own.

#include "vorna/support/vorna_lines.h"

// X(name, number)
#define VORNA_PTN_LINES(X)                                                                                             \
    /* vorna_ptn.cpp */                                                                                                \
    X(k_line_size_zero, 103)                                                                                           \
    X(k_line_disk_overflow, 113)                                                                                       \
    X(k_line_name_conflict, 121)                                                                                       \
    X(k_line_base_order, 129)                                                                                          \
    X(k_line_overlap, 137)                                                                                             \
    X(k_line_assert_root, 154)                                                                                         \
    X(k_line_assert_layout, 155)                                                                                       \
    X(k_line_disk_size_missing, 161)                                                                                   \
    X(k_line_disk_size_type, 163) /* a "disk-size" that is not a string */                                             \
    X(k_line_device_missing, 169)                                                                                      \
    X(k_line_device_type, 171) /* a "device" that is not a string */                                                   \
    X(k_line_device_too_long, 174)                                                                                     \
    X(k_line_partitions_missing, 181)                                                                                  \
    X(k_line_too_many, 190)                                                                                            \
    X(k_line_assert_ptn, 197)                                                                                          \
    X(k_line_name_missing, 204)                                                                                        \
    X(k_line_name_type, 209)                                                                                           \
    X(k_line_name_too_long, 215)                                                                                       \
    X(k_line_name_chars, 220)                                                                                          \
    X(k_line_base_missing, 233)                                                                                        \
    X(k_line_base_type, 238)                                                                                           \
    X(k_line_size_missing, 247)                                                                                        \
    X(k_line_size_type, 252)                                                                                           \
    X(k_line_flash_missing, 261)                                                                                       \
    X(k_line_flash_type, 266)                                                                                          \
    X(k_line_up_missing, 276)                                                                                          \
    X(k_line_up_type, 281)                                                                                             \
    X(k_line_encap_missing, 291)                                                                                       \
    X(k_line_encap_type, 296)                                                                                          \
    X(k_line_encap_too_long, 302)                                                                                      \
    X(k_line_validate, 326)                                                                                            \
    X(k_line_nor_missing, 368)                                                                                         \
    X(k_line_nor_parse, 374)                                                                                           \
    X(k_line_emmc_missing, 380)                                                                                        \
    X(k_line_emmc_parse, 386)                                                                                          \
    X(k_line_buffer_alloc, 407)                                                                                        \
    X(k_line_read, 415)                                                                                                \
    X(k_line_json, 421)                                                                                                \
    X(k_line_table_alloc, 427)                                                                                         \
    X(k_line_table_parse, 434)                                                                                         \
    X(k_line_show, 508)                                                                                                \
    X(k_line_base_range, 710) /* negative, or more than 32 bits */                                                     \
    X(k_line_size_range, 711)                                                                                          \
    X(k_line_disk_size_range, 712) /* negative */                                                                      \
    /* vorna_ptn_read_write.cpp */                                                                                     \
    X(k_line_read_table, 534)                                                                                          \
    X(k_line_read_not_found, 545)                                                                                      \
    X(k_line_read_alloc, 553)                                                                                          \
    X(k_line_read_device, 562)                                                                                         \
    X(k_line_read_bad_header, 570)                                                                                     \
    X(k_line_read_content_len, 572) /* a header announcing more than the partition holds */                            \
    X(k_line_read_write_content, 576)                                                                                  \
    X(k_line_read_write_raw, 585)                                                                                      \
    X(k_line_write_table, 618)                                                                                         \
    X(k_line_write_not_found, 629)                                                                                     \
    X(k_line_write_no_input, 636)                                                                                      \
    X(k_line_write_too_big, 642)                                                                                       \
    X(k_line_write_alloc, 649)                                                                                         \
    X(k_line_write_read_input, 658)                                                                                    \
    X(k_line_write_read_header, 666) /* the current header could not be read */                                        \
    X(k_line_write_magic, 669)       /* the current header's magic was replaced */                                     \
    X(k_line_write_header, 674)                                                                                        \
    X(k_line_write_content, 682)                                                                                       \
    X(k_line_write_raw, 692)                                                                                           \
    X(k_line_write_final_header, 700) /* the header that makes the new contents valid */                               \
    X(k_line_read_output_is_device, 701)

VORNA_DECLARE_LINES(ptn_line, ptn_line_known, VORNA_PTN_LINES)
static_assert(ptn_line_known(k_line_read_table));
