// SPDX-License-Identifier: Apache-2.0
#include "vorna/storage/write_behind.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

write_behind::write_behind(int fd, bool drop, off_t window) : fd_(fd), drop_(drop), window_(window)
{
    struct stat st {};
    active_ = window > 0 && ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

int write_behind::wrote(off_t offset, off_t len)
{
    if (!active_ || len <= 0)
        return 0;
    if (!started_) {
        started_ = true;
        waited_ = offset;
    }
    // Only a hint: a failure to start the write-out shows at the wait or at fsync.
    (void)::sync_file_range(fd_, offset, len, SYNC_FILE_RANGE_WRITE);
    const off_t end = offset + len - window_;
    if (end <= waited_)
        return 0;
    int rc;
    do {
        rc = ::sync_file_range(fd_, waited_, end - waited_,
                               SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == ENOSYS) {
        // A system (or an emulator) without the call: the final fsync does it all.
        active_ = false;
        return 0;
    }
    if (rc != 0)
        return -1;
    if (drop_)
        (void)::posix_fadvise(fd_, waited_, end - waited_, POSIX_FADV_DONTNEED);
    waited_ = end;
    return 0;
}
