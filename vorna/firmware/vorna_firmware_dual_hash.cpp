// SPDX-License-Identifier: Apache-2.0
// The digests of one pass: MD5 here, the rest on the worker.
#include "vorna/firmware/vorna_firmware_dual_hash.h"

#include <utility>

firmware_dual_hasher::firmware_dual_hasher(bool strong, chunk_job also)
    : strong_active_(strong), also_(std::move(also)),
      worker_([this](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
          // The chunk job keeps its own failure.
          if (also_)
              also_(offset, bytes);
          return strong_active_ ? strong_.update(offset, bytes) : 0;
      })
{
}

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    const int strong_rc = strong_active_ || also_ ? worker_.hand(offset, chunk) : 0;
    const int legacy_rc = legacy_.update(offset, chunk);
    return legacy_rc == 0 && strong_rc == 0 ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    firmware_dual_digests d{};
    const int worker_rc = worker_.finish();
    d.legacy_rc = legacy_.final(d.legacy);
    d.strong_rc = strong_active_ && worker_rc == 0 ? strong_.final(d.strong) : -1;
    return d;
}
