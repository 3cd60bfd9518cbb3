// SPDX-License-Identifier: Apache-2.0
#pragma once
// A second thread that runs one job over a stream of chunks, so that a reading
// pass can hash on two cores at once. hand() copies its chunk into a ring of
// four 1 MiB slots and returns, so the caller may reuse its buffer at once and
// waits only when the worker is four slots behind; waiting for the worker after
// every chunk instead costs a thread wake-up per chunk, which a busy machine
// makes slow. Without a second thread (none could be started, or a slot could
// not be allocated) the job runs on the caller's thread: slower, same results.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

class chunk_worker {
public:
    /// The work done for each chunk: the bytes that stand at `offset`, valid
    /// during the call only. 0, or -1 when it failed.
    using job = std::function<int(std::uint64_t offset, std::span<const std::uint8_t> bytes)>;

    explicit chunk_worker(job work);
    ~chunk_worker();
    chunk_worker(const chunk_worker&) = delete;
    chunk_worker& operator=(const chunk_worker&) = delete;

    /// Runs the job over `bytes` (at `offset`) on the worker, in the order handed.
    /// 0, or -1 once a job has failed.
    int hand(std::uint64_t offset, std::span<const std::uint8_t> bytes);

    /// Waits until every chunk handed is done and stops the worker. 0, or -1
    /// when a job failed.
    [[nodiscard]] int finish();

private:
    void work();
    int run_here(std::uint64_t offset, std::span<const std::uint8_t> bytes);

    static constexpr std::size_t k_slots = 4;
    static constexpr std::size_t k_slot_len = std::size_t{1} << 20;
    struct slot {
        std::unique_ptr<std::uint8_t[]> bytes; ///< allocated on first use
        std::size_t len = 0;
        std::uint64_t offset = 0;
    };

    job job_;
    std::mutex mutex_;
    std::condition_variable cv_;
    // Guarded by mutex_: slots [tail_, tail_ + filled_) wait for the worker.
    std::array<slot, k_slots> ring_;
    std::size_t tail_ = 0;
    std::size_t filled_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread worker_;
};
