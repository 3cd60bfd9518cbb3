// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every line number that the "vorna_firmware" module prints, in one place: the
// module spans several files, and a number given twice would make two messages
// indistinguishable. Each number is also a case label below, so that a duplicate
// does not compile. The numbers never change: scripts and tests match them.

#include "vorna/support/vorna_lines.h"

// X(name, number)
#define VORNA_FIRMWARE_LINES(X)                                                                                        \
    /* vorna_firmware_verify.cpp */                                                                                    \
    X(k_line_bad_magic, 190)                                                                                           \
    X(k_line_size_mismatch, 196)                                                                                       \
    X(k_line_too_short, 199) /* too short to hold the signature field */                                               \
    X(k_line_rsa_failed, 204)                                                                                          \
    X(k_line_rsa_pass, 207)                                                                                            \
    X(k_line_header_alloc, 229)                                                                                        \
    X(k_line_table_short, 281) /* table runs past the end of the file */                                               \
    X(k_line_table_alloc, 285)                                                                                         \
    /* vorna_firmware_operations.cpp */                                                                                \
    X(k_line_outside_image, 330) /* contents of a walked entry reach past the end of the image */                      \
    X(k_line_unknown_ptn, 333)   /* a walked entry the device has no partition for */                                  \
    X(k_line_moved, 338)                                                                                               \
    X(k_line_move_unsupported, 339)                                                                                    \
    X(k_line_update, 344)                                                                                              \
    X(k_line_invalid_type, 361)                                                                                        \
    X(k_line_emmc_failed, 368)                                                                                         \
    X(k_line_invalid_args, 392)                                                                                        \
    X(k_line_ptn_table, 399)                                                                                           \
    X(k_line_device_info, 410)                                                                                         \
    X(k_line_get_size, 417)                                                                                            \
    X(k_line_open, 425)                                                                                                \
    X(k_line_header, 439)                                                                                              \
    X(k_line_image_table, 452)                                                                                         \
    X(k_line_support_list, 459)                                                                                        \
    X(k_line_not_supported, 465)                                                                                       \
    X(k_line_upgradable, 469)                                                                                          \
    X(k_line_upgrade_failed, 475)                                                                                      \
    X(k_line_window_alloc, 605)                                                                                        \
    X(k_line_content_size, 610)  /* contents larger than the entry's own size */                                       \
    X(k_line_past_nor, 611)      /* a NOR entry's range passes the NOR device's end */                                 \
    X(k_line_nor_size, 612)      /* the NOR device's size cannot be had */                                             \
    X(k_line_past_emmc, 613)     /* an eMMC entry's range passes the eMMC disk size */                                 \
    X(k_line_table_overlap, 614) /* the image table lies inside walked contents */                                     \
    X(k_line_no_contents, 615)   /* a walked entry with no contents at all */                                          \
    /* vorna_firmware_operations.cpp: export */                                                                        \
    X(k_line_info_get_size, 523)                                                                                       \
    X(k_line_info_open, 531)                                                                                           \
    X(k_line_info_header, 545)                                                                                         \
    X(k_line_info_image_table, 558)                                                                                    \
    X(k_line_info_outside_image, 566) /* contents reach past the end of the image */                                   \
    X(k_line_invalid_header, 571)                                                                                      \
    X(k_line_content_too_long, 575) /* content_len larger than the contents behind the header */                       \
    X(k_line_write, 579)                                                                                               \
    X(k_line_too_big, 620) /* a document larger than vorna reads */                                                    \
    X(k_line_output_is_image, 700)                                                                                     \
    /* vorna_firmware_source.cpp */                                                                                    \
    X(k_line_read, 600)          /* a read of the image failed or came up short */                                     \
    X(k_line_changed, 601)       /* a chunk no longer has its verified digest */                                       \
    X(k_line_changed_short, 602) /* a chunk can no longer be read whole */                                             \
    X(k_line_digests_alloc, 603)                                                                                       \
    X(k_line_chunk_alloc, 604)                                                                                         \
    /* vorna_firmware_verify.cpp: strong */                                                                            \
    X(k_line_block_missing, 650)                                                                                       \
    X(k_line_block_malformed, 653)                                                                                     \
    X(k_line_unknown_keys, 656)                                                                                        \
    X(k_line_bad_signature, 659)                                                                                       \
    X(k_line_digest_failed, 662)                                                                                       \
    X(k_line_strong_pass, 665)                                                                                         \
    X(k_line_legacy_waived, 668)                                                                                       \
    /* vorna_firmware_source.cpp: a stream */                                                                          \
    X(k_line_stream_ended, 672)        /* the stream ended before total_len */                                         \
    X(k_line_stream_longer, 673)       /* the stream goes on past total_len */                                         \
    X(k_line_stream_prefix_alloc, 674) /* no memory for the held prefix */                                             \
    /* vorna_firmware_stream.cpp */                                                                                    \
    X(k_line_stream_no_keys, 671)  /* a build without trusted strong keys cannot check a stream */                     \
    X(k_line_index_missing, 675)   /* no "chunk-index" entry */                                                        \
    X(k_line_index_malformed, 676) /* an index that cannot be used */                                                  \
    X(k_line_stream_order, 677)    /* not in stream order */                                                           \
    X(k_line_prefix_too_big, 678)  /* more than k_firmware_stream_prefix_max before the contents */                    \
    X(k_line_index_block_missing, 679)                                                                                 \
    X(k_line_index_block_malformed, 680)                                                                               \
    X(k_line_index_unknown_keys, 681)                                                                                  \
    X(k_line_index_bad_signature, 682)                                                                                 \
    X(k_line_index_digest_failed, 683)                                                                                 \
    X(k_line_index_pass, 684)                                                                                          \
    X(k_line_block_differs, 685)   /* a block of the stream is not the one the index signed */                         \
    X(k_line_blocks_verified, 686) /* after a failed whole-file check: what the device holds */                        \
    X(k_line_block_digest_failed, 687)

VORNA_DECLARE_LINES(firmware_line, firmware_line_known, VORNA_FIRMWARE_LINES)
static_assert(firmware_line_known(k_line_rsa_pass));
