// Two digests, two threads, one pass over the image.
#include "vorna/vorna_firmware_dual_hash.h"

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
        cv_.wait(lock, [this] { return has_job_ || stopping_; });
        if (has_job_) {
            const std::span<const std::uint8_t> chunk = job_;
            const std::uint64_t offset = job_offset_;
            lock.unlock();
            const int rc = strong_.update(offset, chunk);
            lock.lock();
            strong_rc_ = rc;
            has_job_ = false;
            cv_.notify_all();
        } else if (stopping_) {
            return;
        }
    }
}

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    if (!worker_.joinable()) {
        const int strong_rc = strong_.update(offset, chunk);
        return legacy_.update(offset, chunk) == 0 && strong_rc == 0 ? 0 : -1;
    }
    {
        std::lock_guard lock(mutex_);
        job_ = chunk;
        job_offset_ = offset;
        has_job_ = true;
    }
    cv_.notify_all();
    const int legacy_rc = legacy_.update(offset, chunk);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !has_job_; });
    return legacy_rc == 0 && strong_rc_ == 0 ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    stop();
    firmware_dual_digests d{};
    d.legacy_rc = legacy_.final(d.legacy);
    d.strong_rc = strong_.final(d.strong);
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
