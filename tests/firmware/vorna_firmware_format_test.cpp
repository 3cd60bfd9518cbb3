// SPDX-License-Identifier: Apache-2.0
// The image's rules as pure functions: the walk's end, the upgrade's rule for
// an entry, the board's rule, and the one mask of both digests.
#include "vorna/firmware/vorna_firmware_format.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

firmware_ptn_entry entry(const char* name, std::uint32_t base, std::uint32_t size, std::uint32_t offset,
                         std::uint32_t content_size, std::uint32_t type)
{
    firmware_ptn_entry e{};
    std::memcpy(e.name.data(), name, std::strlen(name));
    e.base = base;
    e.size = size;
    e.content_offset = offset;
    e.content_size = content_size;
    e.type = type;
    return e;
}

TEST(FirmwareFormat, TheWalkEndsBeforeTheFirstEntryOfSizeZero)
{
    struct walk {
        std::vector<std::uint32_t> sizes; // the rest of the table is of size 0
        std::size_t walked;
    };
    const walk cases[] = {{{}, 0}, {{0, 5}, 0}, {{1, 2, 0, 3}, 2}, {std::vector<std::uint32_t>(32, 9), 32}};
    for (const walk& w : cases) {
        firmware_ptn_table table{};
        for (std::size_t i = 0; i < w.sizes.size(); ++i)
            table.entries[i].size = w.sizes[i];
        EXPECT_EQ(firmware_walked_entries(table).size(), w.walked) << w.sizes.size();
    }
}

TEST(FirmwareFormat, TheUpgradesRuleFindsTheFirstFaultInItsOrder)
{
    // A sound NOR entry in a 64 KiB image whose table stands at 4096.
    const firmware_ptn_entry good = entry("boot", 0x1000, 0x1000, 0x2000, 0x800, k_firmware_type_nor);
    struct judged {
        const char* what;
        std::function<void(firmware_ptn_entry&, firmware_entry_target&)> change;
        firmware_entry_fault fault;
        bool asks_device; // the device's size is asked for only once it is needed
    };
    using fault = firmware_entry_fault;
    const judged cases[] = {
        {"sound", [](firmware_ptn_entry&, firmware_entry_target&) {}, fault::none, true},
        {"type", [](firmware_ptn_entry& e, firmware_entry_target&) { e.type = 2; }, fault::invalid_type, false},
        // No contents comes before contents that pass the device.
        {"empty",
         [](firmware_ptn_entry& e, firmware_entry_target& t) {
             e.content_size = 0;
             t.device_size = [] { return 1LL; };
         },
         fault::no_contents, false},
        {"larger than its size", [](firmware_ptn_entry& e, firmware_entry_target&) { e.size = 0x7FF; },
         fault::exceeds_size, false},
        {"outside the image", [](firmware_ptn_entry&, firmware_entry_target& t) { t.image_size = 0x27FF; },
         fault::outside_image, false},
        {"no device size", [](firmware_ptn_entry&, firmware_entry_target& t) { t.device_size = [] { return -1LL; }; },
         fault::no_device_size, true},
        {"past the device",
         [](firmware_ptn_entry&, firmware_entry_target& t) { t.device_size = [] { return 0x17FFLL; }; },
         fault::past_device, true},
        {"ends at the device's end",
         [](firmware_ptn_entry&, firmware_entry_target& t) { t.device_size = [] { return 0x1800LL; }; }, fault::none,
         true},
        {"no partition", [](firmware_ptn_entry&, firmware_entry_target& t) { t.has_partition = false; },
         fault::no_partition, true},
        {"table inside", [](firmware_ptn_entry&, firmware_entry_target& t) { t.table_at = 0x27FF; },
         fault::table_overlap, true},
        {"table just after", [](firmware_ptn_entry&, firmware_entry_target& t) { t.table_at = 0x2800; }, fault::none,
         true},
        {"table just before",
         [](firmware_ptn_entry&, firmware_entry_target& t) { t.table_at = 0x2000 - k_firmware_ptn_table_len; },
         fault::none, true},
    };
    for (const judged& j : cases) {
        firmware_ptn_entry e = good;
        firmware_entry_target target{0x10000, 4096, true, [] { return 0x100000LL; }};
        j.change(e, target);
        bool asked = false;
        const std::function<long long()> size = target.device_size;
        target.device_size = [&] {
            asked = true;
            return size();
        };
        EXPECT_EQ(firmware_entry_check(e, target), j.fault) << j.what;
        EXPECT_EQ(asked, j.asks_device) << j.what;
    }
}

TEST(FirmwareFormat, TheBoardsRuleNamesWhatDoesNotBelong)
{
    ptn_table board{};
    board.layouts[0].disk_size = 0x10000;
    board.layouts[0].count = 1;
    std::strcpy(board.layouts[0].ptns[0].name.data(), "boot");
    board.layouts[0].ptns[0].base = 0x1000;
    board.layouts[0].ptns[0].size = 0x2000;
    board.layouts[1].disk_size = 0x100000;
    board.layouts[1].count = 1;
    std::strcpy(board.layouts[1].ptns[0].name.data(), "rootfs");
    board.layouts[1].ptns[0].base = 0x20000;
    board.layouts[1].ptns[0].size = 0x10000;
    struct judged {
        firmware_ptn_entry e;
        bool moves;
        firmware_board_fault fault;
        bool in_other;
    };
    using fault = firmware_board_fault;
    const judged cases[] = {
        {entry("boot", 0x1000, 0x2000, 0, 0x2000, k_firmware_type_nor), false, fault::none, false},
        {entry("boot", 0x1000, 0x2000, 0, 0x10, 7), false, fault::invalid_type, false},
        {entry("rootfs", 0x20000, 0x100, 0, 0x10, k_firmware_type_nor), false, fault::no_partition, true},
        {entry("kernel", 0x1000, 0x100, 0, 0x10, k_firmware_type_emmc), false, fault::no_partition, false},
        {entry("boot", 0x1000, 0x3000, 0, 0x2001, k_firmware_type_nor), false, fault::exceeds_partition, false},
        {entry("boot", 0x2000, 0x2000, 0, 0x10, k_firmware_type_nor), false, fault::base_differs, false},
        {entry("boot", 0x2000, 0x2000, 0, 0x10, k_firmware_type_nor), true, fault::none, false},
        {entry("boot", 0xF000, 0x2000, 0, 0x1001, k_firmware_type_nor), true, fault::past_device, false},
        {entry("rootfs", 0xFFFF0, 0x10000, 0, 0x10, k_firmware_type_emmc), true, fault::none, false},
        {entry("rootfs", 0xFFFF1, 0x10000, 0, 0x10, k_firmware_type_emmc), true, fault::past_device, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const firmware_board_verdict v = firmware_entry_against_board(cases[i].e, cases[i].moves, board);
        EXPECT_EQ(v.fault, cases[i].fault) << i;
        EXPECT_EQ(v.in_other_layout, cases[i].in_other) << i;
    }
}

TEST(FirmwareFormat, TheOneMaskGivesWhatEachSignatureCoversWhereverThePiecesEnd)
{
    const bytes image = test_support::random_bytes(5000, 3);
    struct span_case {
        const char* what;
        firmware_signed_span span;
    };
    const span_case spans[] = {{"legacy", k_legacy_signed_span}, {"strong", k_strong_signed_span}};
    for (const span_case& s : spans) {
        bytes want(image.begin() + static_cast<std::ptrdiff_t>(s.span.from), image.end());
        std::fill(want.begin() + static_cast<std::ptrdiff_t>(s.span.zero_from - s.span.from),
                  want.begin() + static_cast<std::ptrdiff_t>(s.span.zero_to - s.span.from), 0);
        for (std::size_t split : {0, 1, 19, 20, 21, 303, 304, 305, 431, 432, 433, 4095, 4096, 4097, 5000}) {
            bytes got;
            const auto sink = [&](std::span<const std::uint8_t> piece) {
                got.insert(got.end(), piece.begin(), piece.end());
            };
            firmware_signed_mask(s.span, 0, std::span(image).first(split), sink);
            firmware_signed_mask(s.span, split, std::span(image).subspan(split), sink);
            EXPECT_EQ(got, want) << s.what << " split at " << split;
        }
    }
}

TEST(FirmwareFormat, HeaderAndTablePlaceByTheImagesSize)
{
    firmware_header h{};
    h.magic = k_firmware_magic;
    h.total_len = 5000;
    h.ptn_table_offset = 4096;
    EXPECT_EQ(firmware_header_check(h, 5000), firmware_header_status::ok);
    EXPECT_EQ(firmware_header_check(h, 5001), firmware_header_status::size_mismatch);
    EXPECT_EQ(firmware_table_within(h, 5000).len, 904u);
    EXPECT_EQ(firmware_table_within(h, 4096 + 1664).len, 1664u);
    EXPECT_EQ(firmware_table_within(h, 4096 + 2000).len, 1664u);
    h.ptn_table_offset = 0xFFFFFFFF;
    EXPECT_EQ(firmware_table_within(h, 5000).len, 0u);
    h.total_len = 431;
    EXPECT_EQ(firmware_header_check(h, 431), firmware_header_status::too_short);
    h.magic = 0;
    EXPECT_EQ(firmware_header_check(h, 431), firmware_header_status::bad_magic);
}

} // namespace
