// SPDX-License-Identifier: Apache-2.0
#pragma once
// cfgcrypt's temporary output, out of every other user's reach.
//
// openssl opens its output by name, so a temporary file beside the output could
// be replaced by a link in a folder that other users may write (a root run would
// then write wherever the link points). Here the temporary file lives in a fresh
// folder of mode 0700 (mkdtemp) beside the output, and openssl is given a name
// that resolves through this process's own descriptor of that folder
// (/proc/self/fd/N/out): renaming or replacing the folder's entry changes
// nothing. The commit renames the file out of the folder over the output; the
// folder and whatever is in it go on every path.
//
// A run holds a lock on its folder (flock, on the descriptor that the shell and
// openssl inherit) from before the temporary file exists until the folder is
// gone. A folder of this user with the private name and mode that nobody holds
// locked was left by a run that was killed outright; the next run in that
// folder removes it.
#include "vorna/storage/unique_fd.h"

#include <sys/types.h>

#include <string>
#include <string_view>

class private_output {
public:
    /// `folder_name`: the private folder's name beside the output, ending in "XXXXXX".
    explicit private_output(const char* folder_name) : folder_name_(folder_name) {}
    private_output(const private_output&) = delete;
    private_output& operator=(const private_output&) = delete;
    ~private_output() { discard(); }

    /// The longest name that openssl_path() gives, for sizing the command first.
    static constexpr std::string_view k_longest_path = "/proc/self/fd/2147483647/out";

    /// Makes the private folder beside `target` and the empty temporary file in
    /// it (mode 0600), and notes the mode and owner the output will get: those of
    /// the regular file it replaces, or 0666 less the umask. 0, or -1 with errno
    /// set and nothing left behind.
    [[nodiscard]] int create(const std::string& target);

    /// The temporary file's name for a program this process starts (the folder's
    /// descriptor is inherited); empty before create().
    [[nodiscard]] std::string openssl_path() const;

    /// The private folder's path (empty before create() and after it is gone).
    [[nodiscard]] const std::string& folder_path() const { return folder_path_; }

    /// commit()'s result when the output was replaced but its folder could not
    /// be synced after the rename (though it could be just before).
    static constexpr int k_replaced_not_synced = 1;

    /// Gives the file its final mode and owner, makes it durable, renames it over
    /// the target, syncs the target's folder and removes the private one. 0;
    /// -1 with errno set when the target was left as it was (everything that can
    /// fail is tried before the rename); k_replaced_not_synced with errno set.
    /// The temporary file and folder are gone either way.
    [[nodiscard]] int commit();

private:
    /// Makes the private folder, opens it and locks it. 0, or -1 with errno set
    /// (EPERM when what the name led to was not the folder made; ENOENT when
    /// another run took it for a killed run's and removed it).
    int make_folder(const std::string& target);
    /// Removes the private folders beside `target` that killed runs of this
    /// user left (their lock is free). Silent: a folder that cannot be listed
    /// keeps them.
    void remove_stale_folders(const std::string& target) const;
    /// Removes the folder made, by its name (when it could not be opened).
    void discard_named_folder() const;
    /// Drops the folder's descriptor and path without removing anything. -1.
    int forget_folder();
    int fail();
    /// Removes the temporary file and the private folder, keeping errno.
    void discard();

    const char* folder_name_;
    std::string target_;
    std::string folder_path_;
    unique_fd folder_;
    unique_fd file_;
    bool file_present_ = false;
    mode_t mode_ = 0600;
    bool keep_owner_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};
