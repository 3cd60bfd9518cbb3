// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/vorna_stream_writer.h"

#include "vorna/storage/vorna_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <new>

int stream_writer::open(const char* path, bool spare_unchanged)
{
    if (spare_unchanged) {
        held_.reset(new (std::nothrow) std::uint8_t[k_compare_block]);
        if (!held_)
            return -1;
    }
    fd_ = file_open(path, spare_unchanged ? O_RDWR : O_WRONLY);
    written_ = 0;
    if (!fd_)
        return -1;
    // The device's pages stay cached: a check that reads them back soon finds them.
    behind_ = write_behind(fd_.get(), false);
    return 0;
}

int stream_writer::put(off_t offset, const std::uint8_t* data, off_t len)
{
    if (file_write_fd_at(fd_.get(), offset, data, len) != 0)
        return -1;
    written_ += static_cast<std::uint64_t>(len);
    // A failed write-out found here is not reported again by fsync: it fails the write.
    return behind_.wrote(offset, len);
}

int stream_writer::write(off_t offset, const std::uint8_t* data, off_t len)
{
    if (!fd_ || data == nullptr || offset < 0 || len <= 0)
        return -1;
    if (!held_)
        return put(offset, data, len);
    // Runs of differing blocks go out as one write each.
    off_t run = -1;
    for (off_t at = 0; at < len; at += k_compare_block) {
        const off_t n = std::min(k_compare_block, len - at);
        const off_t got = pread_fully(fd_.get(), offset + at, held_.get(), n);
        if (got < 0)
            return -1;
        const bool same = got == n && std::memcmp(held_.get(), data + at, static_cast<std::size_t>(n)) == 0;
        if (!same && run < 0)
            run = at;
        if (same && run >= 0) {
            if (put(offset + run, data + run, at - run) != 0)
                return -1;
            run = -1;
        }
    }
    return run < 0 ? 0 : put(offset + run, data + run, len - run);
}

int stream_writer::finish()
{
    const bool synced = ::fsync(fd_.get()) == 0;
    const bool closed = fd_.reset() == 0;
    return synced && closed ? 0 : -1;
}
