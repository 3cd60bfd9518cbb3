// SPDX-License-Identifier: Apache-2.0
#pragma once
// Outputs that are replaced whole or not at all, shared by vorna and cfgcrypt
// (header only: cfgcrypt links nothing of vorna).
//
// A regular file, a missing one, or a symbolic link at the output path is
// written to a private temporary file beside it (mode 0600 until complete), made
// durable, renamed over the path (a link is replaced, not followed) and the
// folder synced. A character device, a FIFO or a block device is written where
// it is: there is nothing to rename, and /dev/null or a pipe cannot be synced.
#include "vorna/storage/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class output_kind {
    replaced, ///< regular file, symbolic link or nothing: written beside and renamed over
    direct,   ///< character device, FIFO or block device: written in place
    refused,  ///< a folder or a socket: errno says why
};

/// How `path` is written; `found` (optional) receives what the output names
/// (st_ino 0 when nothing is there yet).
inline output_kind output_kind_of(const char* path, struct stat* found = nullptr)
{
    struct stat st {};
    struct stat own {};
    output_kind kind = output_kind::replaced;
    // Followed: /dev/stdout is a link to whatever standard output is.
    if (::stat(path, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISBLK(st.st_mode))) {
        kind = output_kind::direct;
    } else if (::lstat(path, &own) == 0) {
        st = own;
        if (S_ISDIR(own.st_mode) || S_ISSOCK(own.st_mode)) {
            errno = S_ISDIR(own.st_mode) ? EISDIR : ENXIO;
            kind = output_kind::refused;
        }
    } else {
        st = {};
    }
    if (found != nullptr)
        *found = st;
    return kind;
}

/// Whether writing the output `out` would write into the existing file `other`
/// (same device and inode): a link at `out` is replaced, so only what `out`
/// itself names (or, for a device, what it leads to) counts.
inline bool output_overwrites(const char* out, const char* other)
{
    struct stat target {};
    struct stat st {};
    output_kind_of(out, &target);
    return target.st_ino != 0 && ::stat(other, &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino;
}

/// A temporary file beside an output that replaces the output only when
/// committed; otherwise the destructor removes it.
class staged_output {
public:
    /// `temp_name`: the temporary file's name in the output's folder, ending in "XXXXXX".
    explicit staged_output(const char* temp_name = ".vorna-XXXXXX") : temp_name_(temp_name) {}
    staged_output(const staged_output&) = delete;
    staged_output& operator=(const staged_output&) = delete;
    ~staged_output() { discard(); }

    /// The temporary file's template for `target`: its folder and temp_name.
    [[nodiscard]] std::string template_for(std::string_view target) const
    {
        std::size_t slash = target.rfind('/');
        std::string folder = slash == std::string_view::npos ? std::string() : std::string(target.substr(0, slash + 1));
        return folder + temp_name_;
    }

    /// Creates the temporary file (mode 0600) and notes the mode and owner the
    /// output will get: those of the regular file it replaces, or 0666 less the
    /// umask. 0, or -1 with errno set and nothing left behind.
    [[nodiscard]] int create(const std::string& target)
    {
        discard();
        std::string name = template_for(target);
        std::vector<char> buf(name.begin(), name.end());
        buf.push_back('\0');
        // Close-on-exec: a program started meanwhile reaches the file by its name only.
        fd_ = unique_fd(::mkostemp(buf.data(), O_CLOEXEC));
        if (!fd_)
            return -1;
        temp_path_ = buf.data();
        target_ = target;

        mode_t mask = ::umask(0); // single-threaded: nothing races with the restore
        ::umask(mask);
        mode_ = 0666 & ~mask;
        keep_owner_ = false;
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            mode_ = st.st_mode & 07777;
            uid_ = st.st_uid;
            gid_ = st.st_gid;
            keep_owner_ = true;
        }
        return 0;
    }

    [[nodiscard]] int fd() const { return fd_.get(); }

    /// Path of the temporary file (empty before create() and after commit()).
    [[nodiscard]] const std::string& temp_path() const { return temp_path_; }

    /// The mode the output gets instead of the one create() noted.
    void set_mode(mode_t mode) { mode_ = mode; }

    /// Gives the file its final mode and owner, makes it durable, renames it over
    /// the target and syncs the folder. 0, or -1 with errno set; the temporary
    /// file is gone either way.
    [[nodiscard]] int commit() { return make_durable() == 0 ? rename_over() : -1; }

    /// commit()'s first half: the final mode and owner, then fsync and close.
    /// 0, or -1 with errno set and the temporary file gone.
    [[nodiscard]] int make_durable()
    {
        if (!fd_ || temp_path_.empty()) {
            errno = EBADF;
            return -1;
        }
        // Only root may give a file away; an unprivileged run keeps its own owner.
        if (keep_owner_ && ::fchown(fd_.get(), uid_, gid_) != 0 && errno != EPERM)
            return fail();
        // Without the sync the rename could reach the disk before the data, and
        // a power cut would leave an empty output where a good one used to be.
        if (::fchmod(fd_.get(), mode_) != 0 || ::fsync(fd_.get()) != 0 || fd_.reset() != 0)
            return fail();
        return 0;
    }

    /// commit()'s second half, after make_durable(): the rename over the target
    /// and the sync of its folder. 0, or -1 with errno set.
    [[nodiscard]] int rename_over()
    {
        if (temp_path_.empty()) {
            errno = EBADF;
            return -1;
        }
        if (::rename(temp_path_.c_str(), target_.c_str()) != 0)
            return fail();
        temp_path_.clear();
        std::size_t slash = target_.rfind('/');
        std::string folder = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
        unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return dir && ::fsync(dir.get()) == 0 ? 0 : -1;
    }

private:
    int fail()
    {
        discard();
        return -1;
    }

    void discard()
    {
        int saved = errno;
        fd_.reset();
        if (!temp_path_.empty())
            ::unlink(temp_path_.c_str());
        temp_path_.clear();
        errno = saved;
    }

    const char* temp_name_;
    std::string target_;
    std::string temp_path_;
    unique_fd fd_;
    mode_t mode_ = 0600;
    bool keep_owner_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

/// An output of vorna: staged and renamed, or opened in place (see the top).
class output_file {
public:
    /// 0, or -1 with errno set (a folder at the path, a failed open or create).
    [[nodiscard]] int open(const char* path)
    {
        switch (output_kind_of(path)) {
        case output_kind::refused: return -1;
        case output_kind::direct: direct_ = unique_fd(::open(path, O_WRONLY | O_CLOEXEC)); return direct_ ? 0 : -1;
        case output_kind::replaced: return staged_.create(path);
        }
        return -1;
    }

    [[nodiscard]] int fd() const { return direct_ ? direct_.get() : staged_.fd(); }

    /// Completes the output. 0, or -1 with errno set; a staged output that is
    /// not committed is removed when this goes out of scope.
    [[nodiscard]] int commit()
    {
        if (!direct_)
            return staged_.commit();
        // A pipe or a character device cannot be synced and says so with EINVAL.
        bool synced = ::fsync(direct_.get()) == 0 || errno == EINVAL;
        return direct_.reset() == 0 && synced ? 0 : -1;
    }

private:
    staged_output staged_;
    unique_fd direct_;
};
