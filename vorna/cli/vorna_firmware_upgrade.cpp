// SPDX-License-Identifier: Apache-2.0
#include "vorna/cli/vorna_firmware_upgrade.h"

#include "vorna/storage/unique_fd.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_upgrade_record.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_progress.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/cli/vorna_version.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr const char* k_module = "vorna_firmware_upgrade";

enum line : int {
    k_line_show_args = 256,
    k_line_check_args = 267,
    k_line_version_args = 277,
    k_line_read_args = 287,
    k_line_write_args = 297,
    k_line_locked = 305,
    k_line_lock_refused = 306, // the lock file exists but is not one vorna may use
    k_line_upgrade_args = 312,
};

// Values of the long options that have no short letter.
enum long_only : int {
    k_opt_progress = 0x100,
    k_opt_minimize_writes,
    k_opt_last_upgrade,
};

// The leading '-' hands every word that is not an option back in place, so
// options are taken from anywhere in the command line whatever the environment
// says about argument order.
constexpr const char* k_short_options = "-hsuf:vd:b:crwn:o:i:V";

// One option a line, as getopt_long reads them.
// clang-format off
constexpr option k_long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"show", no_argument, nullptr, 's'},
    {"upgrade", no_argument, nullptr, 'u'},
    {"firmware", required_argument, nullptr, 'f'},
    {"version", no_argument, nullptr, 'v'},
    {"device", required_argument, nullptr, 'd'},
    {"ptn-base", required_argument, nullptr, 'b'},
    {"check", no_argument, nullptr, 'c'},
    {"read", no_argument, nullptr, 'r'},
    {"write", no_argument, nullptr, 'w'},
    {"ptn-name", required_argument, nullptr, 'n'},
    {"out-file", required_argument, nullptr, 'o'},
    {"in-file", required_argument, nullptr, 'i'},
    {"progress", no_argument, nullptr, k_opt_progress},
    {"program-version", no_argument, nullptr, 'V'},
    {"minimize-writes", no_argument, nullptr, k_opt_minimize_writes},
    {"last-upgrade", no_argument, nullptr, k_opt_last_upgrade},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

/// The parsed command line; the texts point into argv.
struct command_line {
    const char* device = nullptr;
    const char* firmware = nullptr;
    const char* ptn_name = nullptr;
    const char* out_file = nullptr;
    const char* in_file = nullptr;
    std::uint32_t base = 0;
    bool help = false;
    bool program_version = false;
    bool show = false;
    bool check = false;
    bool version = false;
    bool read = false;
    bool write = false;
    bool upgrade = false;
    bool progress = false;
    bool minimize_writes = false; ///< -u writes only the eMMC blocks that differ
    bool last_upgrade = false;    ///< says whether an upgrade is incomplete
    bool bad_option = false; ///< an unknown option, or one without its argument
};

command_line parse_command_line(int argc, char** argv)
{
    command_line cmd;
    // 0 starts the scan afresh, also when main runs more than once in a process.
    optind = 0;
    int c;
    while ((c = ::getopt_long(argc, argv, k_short_options, k_long_options, nullptr)) != -1) {
        switch (c) {
        case 'h': cmd.help = true; break;
        case 'V': cmd.program_version = true; break;
        case 's': cmd.show = true; break;
        case 'u': cmd.upgrade = true; break;
        case 'v': cmd.version = true; break;
        case 'c': cmd.check = true; break;
        case 'r': cmd.read = true; break;
        case 'w': cmd.write = true; break;
        case 'f': cmd.firmware = optarg; break;
        case 'd': cmd.device = optarg; break;
        case 'n': cmd.ptn_name = optarg; break;
        case 'o': cmd.out_file = optarg; break;
        case 'i': cmd.in_file = optarg; break;
        // The base is hexadecimal with or without 0x; only its low 32 bits are kept.
        case 'b': cmd.base = static_cast<std::uint32_t>(std::strtol(optarg, nullptr, 16)); break;
        case k_opt_progress: cmd.progress = true; break;
        case k_opt_minimize_writes: cmd.minimize_writes = true; break;
        case k_opt_last_upgrade: cmd.last_upgrade = true; break;
        // An unknown option or a missing argument ('?', already reported by
        // getopt_long) ends the run: a typo must not pass for success.
        case '?': cmd.bad_option = true; break;
        // Words that are not options (1) are passed over.
        default: break;
        }
    }
    return cmd;
}

int missing_argument(int line)
{
    log_error(k_module, line, "Missing argument.\n");
    return -1;
}

} // namespace

void usage()
{
    std::printf("Usage:\n"
                "\t-c \t\t check firmware.bin\n"
                "\t-b \t\t the partition table base address\n"
                "\t-d \t\t the device where can found partition table\n"
                "\t-r \t\t read partition\n"
                "\t-w \t\t write partition\n"
                "\t-n \t\t partition name\n"
                "\t-i \t\t write file to partition\n"
                "\t-o \t\t read file from partition\n"
                "\t-f \t\t the firmware.bin\n"
                "\n"
                "Example:\n"
                "./vorna -c -b 0x10000 -d /dev/mmcblk0 -f firmware.bin\n"
                "./vorna -u -b 0x10000 -d /dev/mmcblk0 -f firmware.bin\n"
                "./vorna -s -b 0x10000 -d /dev/mmcblk0 \n"
                "\n");
}

namespace {

/// Why an existing lock file is not one this process may take, or null when it
/// is: a link (whose target the id would overwrite), anything but a regular
/// file, or a file of another user (who could then keep every upgrade out).
const char* lock_file_refusal(const struct stat& st, char* text, std::size_t len)
{
    if (S_ISLNK(st.st_mode))
        return "a symbolic link";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_nlink != 1)
        return "a file with other hard links";
    if (st.st_uid != ::geteuid()) {
        std::snprintf(text, len, "owned by uid %u", static_cast<unsigned>(st.st_uid));
        return text;
    }
    return nullptr;
}

/// Opens the lock file into `fd`, never through a link or a FIFO, and checks
/// that it is one this process may take: 0, or -2 for a file that is not
/// acceptable and -1 for any other failure, after printing.
int open_lock_file(const char* path, unique_fd& fd)
{
    char owner[32] = {};
    // O_NOFOLLOW: a symbolic link planted at the lock's path would otherwise let
    // the truncation and the id land in whatever file it points to. O_NONBLOCK: a
    // FIFO planted there must not hold the open.
    fd = unique_fd(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st {};
    // A failed open may be because of what is there (a link, another user's file
    // in a sticky folder); that is said as such, not as a failed open. A hard link
    // or somebody else's file that did open would have that file truncated and
    // overwritten with the id, like the target of a symbolic link.
    const bool looked = fd ? ::fstat(fd.get(), &st) == 0 : ::lstat(path, &st) == 0;
    if (const char* why = looked ? lock_file_refusal(st, owner, sizeof owner) : nullptr) {
        std::fprintf(stderr, "lock file %s is not acceptable: %s\n", path, why);
        return -2;
    }
    if (!fd || !looked) {
        std::fprintf(stderr, "can't open file %s\n", path);
        return -1;
    }
    return 0;
}

/// Takes the write lock on the whole file without waiting: 0 when held, 1 when
/// another process holds it, -1 on any other failure.
int take_record_lock(int fd, const char* path)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd, F_SETLK, &lock) == 0)
        return 0;
    const int err = errno;
    if (err == EAGAIN || err == EACCES) {
        std::fprintf(stderr, "file: %s already locked\n", path);
        return 1;
    }
    std::fprintf(stderr, "can't lock %s: %s\n", path, std::strerror(err));
    return -1;
}

/// Replaces the file's content with this process's id and says so.
void record_pid(int fd, const char* path)
{
    // Truncated only now: before the lock is held the file is the holder's. The
    // id is informative only: the record lock alone decides who runs, so a
    // failure to rewrite it does not stop the holder.
    [[maybe_unused]] const int truncated = ::ftruncate(fd, 0);
    char pid_text[16] = {};
    const long pid = static_cast<long>(::getpid());
    const int len = std::snprintf(pid_text, sizeof pid_text, "%ld", pid);
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid_text, static_cast<std::size_t>(len) + 1, 0);
    std::printf("file: %s is locked by %ld\n", path, pid);
}

} // namespace

int lock_pid_file(const char* path)
{
    unique_fd fd;
    if (const int opened = open_lock_file(path, fd); opened != 0)
        return opened;
    if (const int held = take_record_lock(fd.get(), path); held != 0)
        return held;
    record_pid(fd.get(), path);
    // The lock lives as long as the process: the descriptor is never closed.
    fd.release();
    return 0;
}

namespace {

/// Runs the command that works without the upgrade lock (--last-upgrade, -s,
/// -c, -v, -r or -w, the first given in that order) and gives its status;
/// nothing when none was asked.
std::optional<int> run_unlocked_command(const command_line& cmd)
{
    // The record is replaced by a rename: read while an upgrade runs, it names that upgrade.
    if (cmd.last_upgrade)
        return upgrade_state_report(k_state_dir);
    if (cmd.show) {
        if (cmd.device == nullptr || cmd.base == 0)
            return missing_argument(k_line_show_args);
        return ptn_table_show(cmd.device, cmd.base) == 0 ? 0 : -1;
    }
    if (cmd.check) {
        if (cmd.firmware == nullptr || cmd.device == nullptr || cmd.base == 0)
            return missing_argument(k_line_check_args);
        return firmware_check(cmd.firmware, cmd.device, cmd.base);
    }
    if (cmd.version) {
        if (cmd.firmware == nullptr || cmd.out_file == nullptr)
            return missing_argument(k_line_version_args);
        return firmware_info_export(cmd.firmware, cmd.out_file);
    }
    if (cmd.read) {
        if (cmd.device == nullptr || cmd.base == 0 || cmd.ptn_name == nullptr || cmd.out_file == nullptr)
            return missing_argument(k_line_read_args);
        return ptn_read_to_file(cmd.device, cmd.base, cmd.ptn_name, cmd.out_file);
    }
    if (cmd.write) {
        if (cmd.device == nullptr || cmd.base == 0 || cmd.ptn_name == nullptr || cmd.in_file == nullptr)
            return missing_argument(k_line_write_args);
        return ptn_write_from_file(cmd.device, cmd.base, cmd.ptn_name, cmd.in_file);
    }
    return std::nullopt;
}

/// Takes the machine-wide upgrade lock; 0 when held, -1 after the line saying why not.
int take_upgrade_lock()
{
    // A lock file that is not acceptable says so; the other failures keep the
    // line of a lock held elsewhere.
    const int locked = lock_pid_file(k_lock_path);
    if (locked == 0)
        return 0;
    if (locked == -2)
        log_error(k_module, k_line_lock_refused, "The lock file %s is not acceptable, exit(-1)\n", k_lock_path);
    else
        log_error(k_module, k_line_locked, "The program is already running, exit(-1)\n");
    return -1;
}

} // namespace

int vorna_main(int argc, char** argv)
{
    // Each line reaches a pipe as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const command_line cmd = argc < 2 ? command_line{} : parse_command_line(argc, argv);
    if (argc < 2 || cmd.bad_option) {
        usage();
        return -1;
    }
    progress_set_machine(cmd.progress);

    if (cmd.help) {
        usage();
        return 0;
    }
    if (cmd.program_version)
        return print_program_version("vorna");
    if (const std::optional<int> status = run_unlocked_command(cmd))
        return *status;

    if (take_upgrade_lock() != 0)
        return -1;
    if (!cmd.upgrade)
        return 0;
    if (cmd.device == nullptr || cmd.firmware == nullptr || cmd.base == 0)
        return missing_argument(k_line_upgrade_args);
    return firmware_upgrade(cmd.firmware, cmd.device, cmd.base, cmd.minimize_writes);
}
