#pragma once
// The legacy MD5 and the strong SHA-256 over the same chunks of one reading
// pass, the SHA-256 on a second thread (vorna_chunk_worker.h): a dual-signed
// image then costs about what the slower of the two digests costs alone, not
// their sum.
#include "vorna/firmware/vorna_chunk_worker.h"
#include "vorna/firmware/vorna_firmware_digest.h"

#include <span>

/// Both digests of a pass, each with its own result (0, or -1 when it failed).
struct firmware_dual_digests {
    int legacy_rc;
    md5_digest legacy;
    int strong_rc;
    sha256_digest strong;
};

class firmware_dual_hasher {
public:
    firmware_dual_hasher();

    /// Feeds the chunk that stands at `offset` of the image to both digests.
    /// Chunks come in file order. 0, or -1 once either digest has failed.
    int feed(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    /// Waits for the worker and gives both digests.
    [[nodiscard]] firmware_dual_digests finish();

private:
    legacy_digest legacy_;
    strong_digest strong_; // the worker's alone until finish()
    chunk_worker worker_;
};

/// Feeds a whole image held in memory (today's mapped image) to `hasher` in
/// chunks of a MiB. 0 or -1.
[[nodiscard]] int firmware_dual_hash_image(firmware_dual_hasher& hasher, std::span<const std::uint8_t> image);
