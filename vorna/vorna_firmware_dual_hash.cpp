// Two digests, two threads, one pass over the image.
#include "vorna/vorna_firmware_dual_hash.h"

#include "vorna/vorna_alloc.h"

#include <algorithm>
#include <system_error>

firmware_dual_hasher::firmware_dual_hasher()
{
    try {
        worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        // No second thread: feed() hashes both on the caller's thread.
    }
}

firmware_dual_hasher::~firmware_dual_hasher()
{
    stop();
}

void firmware_dual_hasher::stop()
{
    if (!worker_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    worker_.join();
}

void firmware_dual_hasher::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return filled_ > 0 || stopping_; });
        if (filled_ == 0)
            return; // stopping, and every slot is hashed
        slot& s = ring_[tail_];
        lock.unlock();
        const int rc = strong_.update(s.offset, std::span(s.bytes.get(), s.len));
        lock.lock();
        if (rc != 0)
            strong_failed_ = true;
        tail_ = (tail_ + 1) % k_slots;
        --filled_;
        cv_.notify_all();
    }
}

int firmware_dual_hasher::hand_over(std::uint64_t offset, std::span<const std::uint8_t> piece)
{
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return filled_ < k_slots; });
    slot& s = ring_[(tail_ + filled_) % k_slots];
    lock.unlock();
    // Only this thread fills a free slot, so the copy runs unlocked.
    if (!s.bytes)
        s.bytes = make_buffer(k_slot_len);
    if (!s.bytes)
        return -1;
    std::copy(piece.begin(), piece.end(), s.bytes.get());
    s.len = piece.size();
    s.offset = offset;
    lock.lock();
    ++filled_;
    cv_.notify_all();
    return 0;
}

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    if (!worker_.joinable()) {
        const int strong_rc = strong_.update(offset, chunk);
        return legacy_.update(offset, chunk) == 0 && strong_rc == 0 ? 0 : -1;
    }
    int strong_rc = 0;
    for (std::size_t at = 0; at < chunk.size() && strong_rc == 0; at += k_slot_len)
        strong_rc = hand_over(offset + at, chunk.subspan(at, std::min(k_slot_len, chunk.size() - at)));
    const int legacy_rc = legacy_.update(offset, chunk);
    std::lock_guard lock(mutex_);
    if (strong_rc != 0)
        strong_failed_ = true;
    return legacy_rc == 0 && !strong_failed_ ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    stop();
    firmware_dual_digests d{};
    d.legacy_rc = legacy_.final(d.legacy);
    d.strong_rc = strong_failed_ ? -1 : strong_.final(d.strong);
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
