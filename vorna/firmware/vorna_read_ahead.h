// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one worker thread of a firmware operation and the ring of buffers it
// fills ahead of the caller. A stream is a run of pieces, numbered from 0: the
// worker makes each piece in a free slot (reads it, and runs its own share of the
// work on it, such as the SHA-256 digests), the caller takes the pieces in order
// and does its share (the MD5, a device write) while the worker is already on
// the next ones. Both work on the same buffer: a slot is made again only once
// the caller is done with it, so no piece is ever copied from one thread's
// buffer into the other's. The verification pass and every entry an upgrade
// writes are streams of the same thread; none is started per piece.
//
// Without a second thread (none could be started) the caller's thread makes
// each piece when it asks for it: slower, same results.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

class read_ahead {
public:
    static constexpr std::size_t k_slots = 3;
    static constexpr std::size_t k_slot_len = std::size_t{2} << 20;

    /// Makes piece `index` on the worker: puts its bytes in `room` (k_slot_len
    /// bytes, or none when the ring has no buffers) or finds them elsewhere, points
    /// `piece` at them and runs the worker's share on them. False when it failed:
    /// the stream then ends with that piece.
    using maker =
        std::function<bool(std::size_t index, std::span<std::uint8_t> room, std::span<const std::uint8_t>& piece)>;

    read_ahead() = default;
    ~read_ahead();
    read_ahead(const read_ahead&) = delete;
    read_ahead& operator=(const read_ahead&) = delete;

    /// Takes the slots' buffers (once). False when they cannot be had.
    [[nodiscard]] bool reserve();
    [[nodiscard]] bool reserved() const { return room_[0] != nullptr; }

    /// Starts a stream of `count` pieces; the worker begins at once. Only one
    /// stream runs at a time: the one before must have been ended.
    void begin(std::size_t count, maker make);

    /// The next piece in order, once made; the one handed before is given back.
    /// False when making it failed (the maker kept why) or the stream is done.
    [[nodiscard]] bool next(std::span<const std::uint8_t>& piece);

    /// Ends the stream, done or not: the worker stops after the piece it is on,
    /// and what the maker wrote is visible here once this returns.
    void end();

private:
    void work();
    std::span<std::uint8_t> room(std::size_t slot);

    std::array<std::unique_ptr<std::uint8_t[]>, k_slots> room_;
    std::array<std::span<const std::uint8_t>, k_slots> pieces_;
    std::array<bool, k_slots> made_ok_{};

    std::mutex mutex_;
    std::condition_variable cv_;
    // Guarded by mutex_. Pieces [given_back_, made_) are made and not yet given
    // back; handed_ counts the pieces next() has handed out.
    maker make_;
    std::size_t count_ = 0;
    std::size_t made_ = 0;
    std::size_t handed_ = 0;
    std::size_t given_back_ = 0;
    bool active_ = false;   ///< a stream runs
    bool failed_ = false;   ///< a piece of this stream could not be made
    bool making_ = false;   ///< the worker is inside the maker
    bool stopping_ = false; ///< the worker is to end
    bool thread_tried_ = false;
    std::thread worker_;
};
