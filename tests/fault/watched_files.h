// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared by the preloaded fault libraries: the set of files whose calls they
// touch, matched by the device and inode of a descriptor (so any path naming the
// same file counts), and the next definition of an intercepted function.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace fault {

template <typename Fn>
Fn next_symbol(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

class watched_files {
public:
    /// Takes a ':'-separated list of paths. A path that does not exist keeps its
    /// place in the numbering; at most eight are taken.
    void parse(const char* list)
    {
        const char* start = list;
        while (*start != '\0' && count_ < k_max) {
            std::size_t len = std::strcspn(start, ":");
            std::array<char, 4096> path{};
            if (len < path.size()) {
                std::memcpy(path.data(), start, len);
                struct stat st {};
                if (::stat(path.data(), &st) == 0)
                    files_[static_cast<std::size_t>(count_)] = {st.st_dev, st.st_ino};
            }
            ++count_;
            start += len;
            if (*start == ':')
                ++start;
        }
    }

    /// The position in the list of the descriptor's file, or -1. errno is kept.
    int index_of(int fd) const
    {
        struct stat st {};
        int saved_errno = errno;
        int rc = ::fstat(fd, &st);
        errno = saved_errno;
        if (rc != 0)
            return -1;
        for (int i = 0; i < count_; ++i) {
            const file_id& f = files_[static_cast<std::size_t>(i)];
            if (f.ino != 0 && f.dev == st.st_dev && f.ino == st.st_ino)
                return i;
        }
        return -1;
    }

private:
    struct file_id {
        dev_t dev = 0;
        ino_t ino = 0;
    };
    static constexpr int k_max = 8;
    int count_ = 0;
    std::array<file_id, k_max> files_{};
};

} // namespace fault
