// SPDX-License-Identifier: Apache-2.0
// The layout validation on layouts built straight from bytes, with any bases,
// sizes, disk size and names (from a small alphabet, so that names collide).
// Its verdict is compared with the rule said another way: sizes not zero, every
// partition on the disk, names unique, and each base at or past the end of the
// partition before it.
#include "vorna/support/vorna_bytes.h"
#include "vorna/partition/vorna_ptn.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <set>
#include <string>

namespace {

// Per entry: base(4) size(4) name length(1) name(2)
constexpr std::size_t k_entry_bytes = 11;
// Leading: disk_size(8) count(1)
constexpr std::size_t k_lead_bytes = 9;

bool valid_by_rule(const ptn_layout& layout)
{
    const auto disk = static_cast<std::uint64_t>(layout.disk_size);
    std::set<std::string> names;
    std::uint64_t prev_end = 0;
    for (std::uint32_t j = 0; j < layout.count; ++j) {
        const ptn_entry& e = layout.ptns[j];
        const std::uint64_t end = std::uint64_t{e.base} + e.size;
        if (e.size == 0 || end > disk)
            return false;
        if (!names.insert(e.name.data()).second)
            return false;
        if (j > 0 && e.base < prev_end)
            return false;
        prev_end = end;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < k_lead_bytes)
        return 0;
    std::span<const std::uint8_t> in(data, size);
    ptn_layout layout{};
    layout.disk_size = static_cast<std::int64_t>((std::uint64_t{load_be32_at(in, 0)} << 32) | load_be32_at(in, 4));
    const std::size_t wanted = in[8] % (k_ptn_max + 1);
    const std::size_t available = (size - k_lead_bytes) / k_entry_bytes;
    layout.count = static_cast<std::uint32_t>(std::min(wanted, available));
    for (std::uint32_t j = 0; j < layout.count; ++j) {
        auto raw = in.subspan(k_lead_bytes + j * k_entry_bytes, k_entry_bytes);
        ptn_entry& e = layout.ptns[j];
        e.base = load_be32_at(raw, 0);
        e.size = load_be32_at(raw, 4);
        const std::size_t len = raw[8] % 3;
        for (std::size_t c = 0; c < len; ++c)
            e.name[c] = static_cast<char>('a' + raw[9 + c] % 3);
    }
    const bool valid = ptn_layout_validate(&layout) == 0;
    FUZZ_REQUIRE(valid == valid_by_rule(layout));
    return 0;
}
