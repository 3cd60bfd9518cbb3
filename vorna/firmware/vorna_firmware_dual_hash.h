// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one digest consumer of a verification pass: the legacy MD5 on the
// caller's thread; the strong SHA-256 and any per-chunk job (the chunk digests
// later reads are held to) on one worker thread (vorna_chunk_worker.h). A
// dual-signed image then costs about what the slower of the digests costs
// alone, not their sum.
#include "vorna/firmware/vorna_chunk_worker.h"
#include "vorna/firmware/vorna_firmware_digest.h"

#include <functional>
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
    /// The job run on the worker beside the strong digest, for every chunk.
    using chunk_job = std::function<void(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;

    /// `strong`: whether the strong digest is computed (strong_rc is -1 when not).
    explicit firmware_dual_hasher(bool strong = true, chunk_job also = {});

    /// Feeds the chunk that stands at `offset` of the image to both digests.
    /// Chunks come in file order. 0, or -1 once either digest has failed.
    int feed(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    /// Waits for the worker and gives both digests.
    [[nodiscard]] firmware_dual_digests finish();

private:
    bool strong_active_;
    chunk_job also_;
    legacy_digest legacy_;
    strong_digest strong_; // the worker's alone until finish()
    chunk_worker worker_;
};
