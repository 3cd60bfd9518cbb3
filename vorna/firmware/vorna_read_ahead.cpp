// SPDX-License-Identifier: Apache-2.0
// One worker, a ring of slots, pieces in order.
#include "vorna/firmware/vorna_read_ahead.h"

#include <new>
#include <system_error>

read_ahead::~read_ahead()
{
    end();
    if (worker_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
}

bool read_ahead::reserve()
{
    for (auto& slot : room_) {
        // Not zero-filled: a maker writes every byte of a piece before it is used.
        if (!slot)
            slot.reset(new (std::nothrow) std::uint8_t[k_slot_len]);
        if (!slot)
            return false;
    }
    return true;
}

std::span<std::uint8_t> read_ahead::room(std::size_t slot)
{
    return room_[slot] ? std::span(room_[slot].get(), k_slot_len) : std::span<std::uint8_t>();
}

void read_ahead::begin(std::size_t count, maker make)
{
    end();
    if (!thread_tried_) {
        thread_tried_ = true;
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            // No second thread: next() makes each piece here.
        }
    }
    {
        std::lock_guard lock(mutex_);
        make_ = std::move(make);
        count_ = count;
        made_ = handed_ = given_back_ = 0;
        failed_ = false;
        active_ = true;
    }
    cv_.notify_all();
}

void read_ahead::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] {
            return stopping_ || (active_ && !failed_ && made_ < count_ && made_ - given_back_ < k_slots);
        });
        if (stopping_)
            return;
        const std::size_t index = made_;
        const std::size_t slot = index % k_slots;
        making_ = true;
        lock.unlock();
        // The slot is this thread's alone until made_ passes it.
        const bool ok = make_(index, room(slot), pieces_[slot]);
        lock.lock();
        making_ = false;
        made_ok_[slot] = ok;
        ++made_;
        if (!ok)
            failed_ = true;
        cv_.notify_all();
    }
}

bool read_ahead::next(std::span<const std::uint8_t>& piece)
{
    std::unique_lock lock(mutex_);
    if (!active_)
        return false;
    given_back_ = handed_;
    if (handed_ == count_ || (failed_ && handed_ == made_))
        return false;
    if (!worker_.joinable()) {
        const std::size_t slot = handed_ % k_slots;
        made_ok_[slot] = make_(handed_, room(slot), pieces_[slot]);
        made_ = handed_ + 1;
        failed_ = !made_ok_[slot];
    } else {
        cv_.notify_all(); // a slot may be free again
        cv_.wait(lock, [this] { return made_ > handed_; });
    }
    const std::size_t slot = handed_ % k_slots;
    ++handed_;
    piece = pieces_[slot];
    return made_ok_[slot];
}

void read_ahead::end()
{
    std::unique_lock lock(mutex_);
    if (!active_)
        return;
    active_ = false;
    cv_.wait(lock, [this] { return !making_; });
    make_ = nullptr;
}
