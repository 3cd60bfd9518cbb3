// SPDX-License-Identifier: Apache-2.0
// The private folder and temporary file of cfgcrypt's output.
// Its own durable replace, not vorna's staged output: cfgcrypt links no vorna code, by design.
#include "cfgcrypt/private_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace {

constexpr const char* k_file_name = "out";
constexpr int k_folder_attempts = 8;
// mkdtemp's random part: the "XXXXXX" that ends the folder's name.
constexpr std::size_t k_random_length = 6;

/// The folder part of `target` with its slash ("" for a bare name).
std::string folder_of(const std::string& target)
{
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
}

/// Whether `name` is what mkdtemp makes of `pattern` (letters and digits for the Xs).
bool made_from(std::string_view name, std::string_view pattern)
{
    if (pattern.size() < k_random_length)
        return false;
    const std::string_view prefix = pattern.substr(0, pattern.size() - k_random_length);
    if (name.size() != pattern.size() || !name.starts_with(prefix))
        return false;
    for (char c : name.substr(prefix.size())) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

struct dir_closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

/// Removes the private folder `name` in `dir` when it is this user's, has the
/// mode such folders are made with, and no run holds its lock: only a killed
/// run's temporary file is removed from it, so a folder holding anything else
/// stays. Nothing is followed: every step works on the folder opened and
/// checked first.
void remove_if_stale(int dir, const char* name)
{
    struct stat named {};
    if (::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode) ||
        named.st_uid != ::geteuid() || (named.st_mode & 07777) != 0700)
        return;
    unique_fd folder(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0 || st.st_dev != named.st_dev || st.st_ino != named.st_ino)
        return;
    // A run still going holds the lock, through its own descriptor or the one
    // that its shell and openssl inherited.
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    ::unlinkat(folder.get(), k_file_name, 0);
    // Removed by name only while the name still leads to the folder checked; the
    // lock stays held until it is gone, so that a run that made it meanwhile
    // sees that it lost it (make_folder).
    struct stat again {};
    if (::fstatat(dir, name, &again, AT_SYMLINK_NOFOLLOW) == 0 && again.st_dev == st.st_dev &&
        again.st_ino == st.st_ino)
        ::unlinkat(dir, name, AT_REMOVEDIR);
}

/// Syncs the output's folder after the rename. Everything that can fail is
/// done before it, and the sync itself tried once, so that a folder which
/// cannot be made durable fails while the old output is still in place.
class folder_sync {
public:
    /// `folder`: the output's folder ("" for the current one); `inside`: an open
    /// folder in it. 0, or -1 with errno set.
    int prepare(const std::string& folder, int inside)
    {
        fd_ = unique_fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_ && errno == EACCES) {
            // A folder that may be written and searched but not read (a drop
            // folder) cannot be opened to be synced, and a descriptor without
            // read access (O_PATH) cannot sync. The folder inside it is on the
            // same filesystem: syncing that whole filesystem makes the entries of
            // the output's folder durable with the rest.
            fd_ = unique_fd(::fcntl(inside, F_DUPFD_CLOEXEC, 0));
            whole_filesystem_ = true;
        }
        if (!fd_)
            return -1;
        const int synced = run();
        if (synced == 0 || whole_filesystem_ || errno != EINVAL)
            return synced;
        // A filesystem that cannot sync a folder by itself: all of it, then.
        whole_filesystem_ = true;
        return run();
    }

    /// 0, or -1 with errno set.
    [[nodiscard]] int run() const { return whole_filesystem_ ? ::syncfs(fd_.get()) : ::fsync(fd_.get()); }

private:
    unique_fd fd_;
    bool whole_filesystem_ = false;
};

} // namespace

int private_output::create(const std::string& target)
{
    remove_stale_folders(target);
    // Another user who may write the output's folder can move the new folder away
    // before it is opened; what is opened then is not ours and is refused. A few
    // fresh tries make that a race the other user has to win every time. Another
    // run's removal of stale folders may take a folder that is not yet locked: a
    // fresh try too.
    for (int attempt = 1;; ++attempt) {
        if (make_folder(target) == 0) {
            file_ = unique_fd(
                ::openat(folder_.get(), k_file_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file_)
                break;
            fail();
        }
        const bool moved = errno == EPERM || errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        if (!moved || attempt == k_folder_attempts)
            return -1;
    }
    file_present_ = true;
    target_ = target;

    struct stat st {};
    const mode_t mask = ::umask(0); // single-threaded: nothing races with the restore
    ::umask(mask);
    mode_ = 0666 & ~mask;
    keep_owner_ = false;
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode_ = st.st_mode & 07777;
        uid_ = st.st_uid;
        gid_ = st.st_gid;
        keep_owner_ = true;
    }
    return 0;
}

int private_output::make_folder(const std::string& target)
{
    discard();
    std::string name = folder_of(target) + folder_name_;
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return -1;
    folder_path_ = buf.data();
    // Not close-on-exec: openssl reaches the folder through this descriptor. It
    // must be a folder of ours with mode 0700, which nobody else can have made:
    // what the name leads to from now on does not matter.
    folder_ = unique_fd(::open(folder_path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    struct stat st {};
    if (!folder_ || ::fstat(folder_.get(), &st) != 0) {
        // Still there under its name unless it was moved or replaced meanwhile.
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            discard_named_folder();
        return forget_folder();
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700) {
        forget_folder();
        errno = EPERM;
        return -1;
    }
    // Until it is locked, another run may take the folder for one that a killed
    // run left, and remove it: then the lock is that run's, or the folder has no
    // links left.
    if (::flock(folder_.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(folder_.get(), &st) != 0 || st.st_nlink == 0) {
        forget_folder();
        errno = ENOENT;
        return -1;
    }
    return 0;
}

void private_output::remove_stale_folders(const std::string& target) const
{
    const std::string folder = folder_of(target);
    unique_fd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return;
    unique_dir listing(::fdopendir(fd.get()));
    if (!listing)
        return;
    fd.release(); // the listing owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing.get())) {
        if (made_from(entry->d_name, folder_name_))
            names.emplace_back(entry->d_name);
    }
    for (const std::string& name : names)
        remove_if_stale(::dirfd(listing.get()), name.c_str());
}

void private_output::discard_named_folder() const
{
    const int saved = errno;
    ::rmdir(folder_path_.c_str());
    errno = saved;
}

int private_output::forget_folder()
{
    // The name no longer leads to the folder made: nothing of ours to remove there.
    const int saved = errno;
    folder_.reset();
    folder_path_.clear();
    errno = saved;
    return -1;
}

std::string private_output::openssl_path() const
{
    return folder_ ? "/proc/self/fd/" + std::to_string(folder_.get()) + "/" + k_file_name : std::string();
}

int private_output::commit()
{
    if (!file_) {
        errno = EBADF;
        return -1;
    }
    // Only root may give a file away; an unprivileged run keeps its own owner.
    if (keep_owner_ && ::fchown(file_.get(), uid_, gid_) != 0 && errno != EPERM)
        return fail();
    // Without the sync the rename could reach the disk before the data, and a
    // power cut would leave an empty output where a good one used to be.
    if (::fchmod(file_.get(), mode_) != 0 || ::fsync(file_.get()) != 0 || file_.reset() != 0)
        return fail();
    folder_sync sync;
    if (sync.prepare(folder_of(target_), folder_.get()) != 0)
        return fail();
    if (::renameat(folder_.get(), k_file_name, AT_FDCWD, target_.c_str()) != 0)
        return fail();
    file_present_ = false;
    discard();
    // Synced after the private folder is gone, so that its removal lasts too.
    return sync.run() == 0 ? 0 : k_replaced_not_synced;
}

int private_output::fail()
{
    discard();
    return -1;
}

void private_output::discard()
{
    const int saved = errno;
    file_.reset();
    if (folder_ && file_present_)
        ::unlinkat(folder_.get(), k_file_name, 0);
    file_present_ = false;
    // The name is removed only while it still leads to our folder: another user
    // who moved it away may have put a folder of their own there.
    struct stat ours {};
    struct stat named {};
    if (folder_ && !folder_path_.empty() && ::fstat(folder_.get(), &ours) == 0 &&
        ::lstat(folder_path_.c_str(), &named) == 0 && ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
        ::rmdir(folder_path_.c_str());
    folder_.reset();
    folder_path_.clear();
    errno = saved;
}
