// SPDX-License-Identifier: Apache-2.0
// The two digests of one pass.
#include "vorna/firmware/vorna_firmware_dual_hash.h"

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    const int strong_rc = feed_strong(offset, chunk);
    const int legacy_rc = legacy_.update(offset, chunk);
    return legacy_rc == 0 && strong_rc == 0 ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    firmware_dual_digests d{};
    d.legacy_rc = legacy_.final(d.legacy);
    d.strong_rc = strong_active_ ? strong_.final(d.strong) : -1;
    return d;
}
