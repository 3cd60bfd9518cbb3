// SPDX-License-Identifier: Apache-2.0
// The record of an upgrade in progress, from any bytes: a record decodes only
// from exactly the text its encoder writes (so it encodes back to the same
// bytes), with an entry inside its count and names a partition may carry.
#include "vorna/firmware/vorna_upgrade_record.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    upgrade_record rec;
    if (!upgrade_record_decode(text, rec))
        return 0;
    FUZZ_REQUIRE(rec.complete || (rec.entry < rec.entries && rec.name[0] != '\0'));
    FUZZ_REQUIRE(rec.left_count <= rec.left.size());
    std::array<char, k_upgrade_record_max> out{};
    const std::size_t len = upgrade_record_encode(rec, out);
    FUZZ_REQUIRE(std::string_view(out.data(), len) == text);
    return 0;
}
