#pragma once
// The legacy MD5 and the strong SHA-256 over the same chunks of one reading
// pass, the SHA-256 on a second thread: a dual-signed image then costs about
// what the slower of the two digests costs alone, not their sum.
//
// The hand-off is one chunk deep: feed() lends its chunk to the worker, runs MD5
// over it on the calling thread, and returns once both are done with it, so the
// caller may reuse its buffer at once. With chunks of a MiB or more the wake-up
// per chunk is lost in the hashing.
#include "vorna/vorna_firmware_digest.h"

#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>

/// Both digests of a pass, each with its own result (0, or -1 when it failed).
struct firmware_dual_digests {
    int legacy_rc;
    md5_digest legacy;
    int strong_rc;
    sha256_digest strong;
};

class firmware_dual_hasher {
public:
    /// Starts the worker; when no thread can be had, both digests run on the
    /// caller's thread instead (slower, same results).
    firmware_dual_hasher();
    ~firmware_dual_hasher();
    firmware_dual_hasher(const firmware_dual_hasher&) = delete;
    firmware_dual_hasher& operator=(const firmware_dual_hasher&) = delete;

    /// Feeds the chunk that stands at `offset` of the image to both digests.
    /// Chunks come in file order. 0, or -1 once either digest has failed.
    int feed(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    /// Stops the worker and gives both digests.
    [[nodiscard]] firmware_dual_digests finish();

private:
    void work();
    void stop();

    legacy_digest legacy_;
    strong_digest strong_;
    std::mutex mutex_;
    std::condition_variable cv_;
    // Guarded by mutex_: the chunk lent to the worker, and its result.
    std::span<const std::uint8_t> job_;
    std::uint64_t job_offset_ = 0;
    bool has_job_ = false;
    bool stopping_ = false;
    int strong_rc_ = 0;
    std::thread worker_;
};

/// Feeds a whole image held in memory (today's mapped image) to `hasher` in
/// chunks of a MiB. 0 or -1.
[[nodiscard]] int firmware_dual_hash_image(firmware_dual_hasher& hasher, std::span<const std::uint8_t> image);
