#pragma once
// The legacy MD5 and the strong SHA-256 over the same chunks of one reading
// pass, the SHA-256 on a second thread: a dual-signed image then costs about
// what the slower of the two digests costs alone, not their sum.
//
// The hand-off is a ring of four 1 MiB slots: feed() copies its chunk into free
// slots for the worker, runs MD5 over it on the calling thread and returns, so
// the caller may reuse its buffer at once and never waits for the worker unless
// the worker is four slots behind. Waiting for the worker after every chunk
// instead costs a thread wake-up per chunk, which a busy machine makes slow.
#include "vorna/vorna_firmware_digest.h"

#include <array>
#include <condition_variable>
#include <memory>
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

    /// Copies `piece` (at most a slot long) into the next free slot. 0 or -1.
    int hand_over(std::uint64_t offset, std::span<const std::uint8_t> piece);

    static constexpr std::size_t k_slots = 4;
    static constexpr std::size_t k_slot_len = std::size_t{1} << 20;
    struct slot {
        std::unique_ptr<std::uint8_t[]> bytes; ///< allocated on first use
        std::size_t len = 0;
        std::uint64_t offset = 0;
    };

    legacy_digest legacy_;
    strong_digest strong_; // the worker's alone while it runs
    std::mutex mutex_;
    std::condition_variable cv_;
    // Guarded by mutex_: slots [tail_, tail_ + filled_) wait for the worker.
    std::array<slot, k_slots> ring_;
    std::size_t tail_ = 0;
    std::size_t filled_ = 0;
    bool stopping_ = false;
    bool strong_failed_ = false;
    std::thread worker_;
};

/// Feeds a whole image held in memory (today's mapped image) to `hasher` in
/// chunks of a MiB. 0 or -1.
[[nodiscard]] int firmware_dual_hash_image(firmware_dual_hasher& hasher, std::span<const std::uint8_t> image);
