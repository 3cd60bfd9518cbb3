// SPDX-License-Identifier: Apache-2.0
#pragma once
// Write-behind for one long sequential write (the copies of vorna -r and -w).
//
// Without it the whole copy lands in the page cache first and one fsync at the
// end writes it out: the disk idles while the copy runs, and the copy holds as
// much memory as it writes (a second copy of a partition where the output it
// replaces is still cached). With it each range goes to the disk as soon as it
// is written, and a range one window back is waited for, so the disk works
// alongside the copy and the final fsync finds little to do. The final fsync
// stays: this only starts writes early, it makes nothing durable by itself.
#include <sys/types.h>

class write_behind {
public:
    /// Bytes in flight before the oldest range is waited for.
    static constexpr off_t k_default_window = off_t{8} << 20;

    /// `fd`: the descriptor written; only a regular file or a block device is
    /// written behind, anything else (a pipe, a character device) is left as it
    /// is. `drop`: ranges waited for also leave the page cache, so that the copy
    /// reuses its own pages (for a new file, which nothing reads back soon).
    write_behind(int fd, bool drop, off_t window = k_default_window);

    /// After `len` bytes were written at `offset`, in order with the earlier
    /// ranges: starts their write-out and waits for what lies a window back.
    /// 0, or -1 when the write-out of an earlier range failed (errno set): that
    /// error is consumed here, so the caller must treat it as a failed write.
    [[nodiscard]] int wrote(off_t offset, off_t len);

private:
    int fd_;
    bool active_;
    bool drop_;
    off_t window_;
    bool started_ = false;
    off_t waited_ = 0; ///< the ranges from the first offset up to this one have been waited for
};
