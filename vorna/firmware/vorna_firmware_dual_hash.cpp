// Two digests, two threads, one pass over the image.
#include "vorna/firmware/vorna_firmware_dual_hash.h"

#include <algorithm>

firmware_dual_hasher::firmware_dual_hasher()
    : worker_(
          [this](std::uint64_t offset, std::span<const std::uint8_t> bytes) { return strong_.update(offset, bytes); })
{
}

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    const int strong_rc = worker_.hand(offset, chunk);
    const int legacy_rc = legacy_.update(offset, chunk);
    return legacy_rc == 0 && strong_rc == 0 ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    firmware_dual_digests d{};
    const int worker_rc = worker_.finish();
    d.legacy_rc = legacy_.final(d.legacy);
    d.strong_rc = worker_rc == 0 ? strong_.final(d.strong) : -1;
    return d;
}

int firmware_dual_hash_image(firmware_dual_hasher& hasher, std::span<const std::uint8_t> image)
{
    constexpr std::size_t k_chunk = std::size_t{1} << 20;
    for (std::size_t at = 0; at < image.size(); at += k_chunk) {
        if (hasher.feed(at, image.subspan(at, std::min(k_chunk, image.size() - at))) != 0)
            return -1;
    }
    return 0;
}
