// SPDX-License-Identifier: Apache-2.0
// One job, a second thread, chunks in order.
#include "vorna/firmware/vorna_chunk_worker.h"

#include "vorna/support/vorna_alloc.h"

#include <algorithm>
#include <system_error>

chunk_worker::chunk_worker(job work) : job_(std::move(work))
{
    try {
        worker_ = std::thread([this] { this->work(); });
    } catch (const std::system_error&) {
        // No second thread: hand() runs the job on the caller's thread.
    }
}

chunk_worker::~chunk_worker()
{
    (void)finish();
}

int chunk_worker::finish()
{
    if (worker_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
    std::lock_guard lock(mutex_);
    return failed_ ? -1 : 0;
}

void chunk_worker::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return filled_ > 0 || stopping_; });
        if (filled_ == 0)
            return; // stopping, and every slot is done
        slot& s = ring_[tail_];
        lock.unlock();
        const int rc = job_(s.offset, std::span(s.bytes.get(), s.len));
        lock.lock();
        if (rc != 0)
            failed_ = true;
        tail_ = (tail_ + 1) % k_slots;
        --filled_;
        cv_.notify_all();
    }
}

int chunk_worker::run_here(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    const int rc = job_(offset, bytes);
    std::lock_guard lock(mutex_);
    if (rc != 0)
        failed_ = true;
    return failed_ ? -1 : 0;
}

int chunk_worker::hand(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (!worker_.joinable())
        return run_here(offset, bytes);
    for (std::size_t at = 0; at < bytes.size(); at += k_slot_len) {
        const auto piece = bytes.subspan(at, std::min(k_slot_len, bytes.size() - at));
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return filled_ < k_slots; });
        slot& s = ring_[(tail_ + filled_) % k_slots];
        lock.unlock();
        // Only this thread fills a free slot, so the copy runs unlocked.
        // Not zero-filled: every byte the job sees is copied in first.
        if (!s.bytes)
            s.bytes.reset(new (std::nothrow) std::uint8_t[k_slot_len]);
        if (!s.bytes) {
            // Every earlier chunk must be done first: the job sees them in order.
            lock.lock();
            cv_.wait(lock, [this] { return filled_ == 0; });
            lock.unlock();
            if (run_here(offset + at, piece) != 0)
                return -1;
            continue;
        }
        std::copy(piece.begin(), piece.end(), s.bytes.get());
        s.len = piece.size();
        s.offset = offset + at;
        lock.lock();
        ++filled_;
        cv_.notify_all();
    }
    std::lock_guard lock(mutex_);
    return failed_ ? -1 : 0;
}
