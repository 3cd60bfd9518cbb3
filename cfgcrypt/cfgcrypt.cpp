// SPDX-License-Identifier: Apache-2.0
#include "cfgcrypt/cfgcrypt.h"

#include "cfgcrypt/private_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Every message of the program names the function "main".
constexpr const char* k_function = "main";

// Lines of the messages printed here; main's own are 149, 156 and 163.
enum line : int {
    k_line_command_too_long = 170,
    k_line_temp_create = 177,
    k_line_start = 184, // the pipe or the child process could not be made
    k_line_exec = 191,  // the child could not run /bin/sh
    k_line_wait = 198,
    k_line_killed = 205,
    k_line_commit = 212,
    k_line_interrupted = 219, // a stop signal ended the command
    k_line_not_synced = 226,  // the output was replaced, its folder not synced
};

// Signals that end a run; they are held back while a temporary file exists and
// taken synchronously while the command runs. SIGCHLD tells when it has ended.
constexpr int k_stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t run_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : k_stop_signals)
        sigaddset(&set, sig);
    sigaddset(&set, SIGCHLD);
    return set;
}

/// While in scope, the stop signals and SIGCHLD stay pending instead of being
/// delivered, and SIGCHLD is not ignored (an ignored one would reap the child
/// before the wait). Nested scopes restore what the outer one set.
class held_signals {
public:
    held_signals()
    {
        sigset_t set = run_signals();
        ::sigprocmask(SIG_BLOCK, &set, &old_mask_);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGCHLD, &dfl, &old_chld_);
    }
    ~held_signals()
    {
        ::sigaction(SIGCHLD, &old_chld_, nullptr);
        // A stop signal still pending is delivered here, after the temporary
        // file is gone or committed.
        ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;

private:
    sigset_t old_mask_{};
    struct sigaction old_chld_ {};
};

bool is_stop_signal(int sig)
{
    return sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
}

/// Waits for `pid`, ending its process group at the first stop signal. The wait
/// status in *wstatus; the stop signal taken (0 for none) in *stopped. 0, or -1
/// when the child could not be waited for.
int wait_child(pid_t pid, int* wstatus, int* stopped)
{
    const sigset_t waited_for = run_signals();
    for (;;) {
        pid_t done = ::waitpid(pid, wstatus, WNOHANG);
        if (done == pid)
            return 0;
        if (done < 0 && errno != EINTR)
            return -1;
        // A SIGCHLD that came since the look above is still pending: no race.
        int sig = ::sigwaitinfo(&waited_for, nullptr);
        if (is_stop_signal(sig) && *stopped == 0) {
            *stopped = sig;
            if (::kill(-pid, SIGTERM) != 0)
                ::kill(pid, SIGTERM);
        }
    }
}

/// Tells cfgcrypt through `report` why the command could not be started (the
/// line of its message and errno), and ends the process.
[[noreturn]] void report_and_exit(int report, int line, int error)
{
    const int record[2] = {line, error};
    ssize_t n = ::write(report, record, sizeof record);
    (void)n;
    ::_exit(127);
}

/// Ends the calling process the way `wstatus` says another one ended, so that
/// cfgcrypt sees how the shell ended.
[[noreturn]] void end_like(int wstatus)
{
    if (WIFEXITED(wstatus))
        ::_exit(WEXITSTATUS(wstatus));
    const int sig = WTERMSIG(wstatus);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

/// cfgcrypt's child: it leads the command's process group, starts the shell in
/// it and ends as the shell ends. The shell forks openssl, which would outlive a
/// cfgcrypt killed outright and go on filling the temporary file: when cfgcrypt
/// dies the kernel sends this process SIGTERM, and it kills the whole group. A
/// stop signal while cfgcrypt lives is passed on to the group once. Runs with
/// the stop signals and SIGCHLD blocked (held_signals), and takes them
/// synchronously.
[[noreturn]] void supervise(char* const argv[], char* const envp[], int report, pid_t parent)
{
    ::setpgid(0, 0);
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        report_and_exit(report, k_line_start, errno);
    // cfgcrypt may have died before the request: nobody would send the signal then.
    if (::getppid() != parent)
        ::_exit(127);
    const pid_t shell = ::fork();
    if (shell < 0)
        report_and_exit(report, k_line_start, errno);
    if (shell == 0) {
        sigset_t set = run_signals();
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        ::execve("/bin/sh", argv, envp);
        report_and_exit(report, k_line_exec, errno);
    }
    ::close(report);
    const sigset_t waited_for = run_signals();
    int wstatus = 0;
    bool passed_on = false;
    for (;;) {
        const pid_t done = ::waitpid(shell, &wstatus, WNOHANG);
        if (done == shell)
            end_like(wstatus);
        if (done < 0 && errno != EINTR)
            ::kill(0, SIGKILL);
        // A SIGCHLD that came since the look above is still pending: no race.
        const int sig = ::sigwaitinfo(&waited_for, nullptr);
        if (!is_stop_signal(sig))
            continue;
        if (::getppid() != parent)
            ::kill(0, SIGKILL);
        // This process gets its own copy too, blocked: hence only once.
        if (!passed_on)
            ::kill(0, sig);
        passed_on = true;
    }
}

} // namespace

void cfgcrypt_error(int line, const char* fmt, ...)
{
    std::printf("[ERROR][%s:%d]: ", k_function, line);
    std::va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    // The child shares standard output; what was printed must come out first.
    std::fflush(stdout);
}

std::string shell_quote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

int format_command(std::span<char, k_command_size> command, char direction, std::string_view in, std::string_view out,
                   std::string_view pass)
{
    const std::string quoted_in = shell_quote(in);
    const std::string quoted_out = shell_quote(out);
    int len = std::snprintf(command.data(), command.size(), "openssl enc -aes-128-cbc -%c -in %s -out %s -pass pass:%.*s",
                            direction, quoted_in.c_str(), quoted_out.c_str(), static_cast<int>(pass.size()),
                            pass.data());
    if (len < 0 || static_cast<std::size_t>(len) >= command.size()) {
        command[0] = '\0';
        return -1;
    }
    return 0;
}

namespace {

/// run_command's status from what the child reported and how the wait ended;
/// the line saying why on any failure. Called right after the wait, whose errno it prints.
int command_status(bool reported, const int (&failure)[2], int waited, int wstatus, int stopped)
{
    if (reported) {
        if (failure[0] == k_line_exec)
            cfgcrypt_error(k_line_exec, "Exec /bin/sh failed(%s)!\r\n", std::strerror(failure[1]));
        else
            cfgcrypt_error(k_line_start, "Start command failed(%s)!\r\n", std::strerror(failure[1]));
        return 1;
    }
    if (waited < 0) {
        cfgcrypt_error(k_line_wait, "Wait for command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    if (stopped != 0) {
        cfgcrypt_error(k_line_interrupted, "Interrupted(signal %d)!\r\n", stopped);
        return 128 + stopped;
    }
    if (WIFSIGNALED(wstatus)) {
        cfgcrypt_error(k_line_killed, "Command killed(signal %d)!\r\n", WTERMSIG(wstatus));
        return 1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1;
}

} // namespace

int run_command(const char* command)
{
    // execve takes non-const strings; keep writable copies ready before the fork.
    char sh_name[] = "sh";
    char dash_c[] = "-c";
    std::string text(command);
    char* argv[] = {sh_name, dash_c, text.data(), nullptr};
    char* envp[] = {nullptr};

    // The child reports a failed fork or execve through this pipe; a successful
    // execve closes it unwritten, so the shell's own 127 stays distinguishable.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        cfgcrypt_error(k_line_start, "Start command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    unique_fd report_read(report[0]);
    unique_fd report_write(report[1]);

    held_signals held;
    std::fflush(nullptr);
    const pid_t self = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        cfgcrypt_error(k_line_start, "Start command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    if (pid == 0)
        supervise(argv, envp, report_write.get(), self);
    // Its own group, so that ending it reaches openssl too when the shell forks.
    ::setpgid(pid, pid); // either side may come first; the other then fails harmlessly
    report_write.reset();

    int failure[2] = {0, 0}; // the line of the message and errno
    ssize_t n;
    do {
        n = ::read(report_read.get(), failure, sizeof failure);
    } while (n < 0 && errno == EINTR);

    int wstatus = 0;
    int stopped = 0;
    int waited = wait_child(pid, &wstatus, &stopped);

    return command_status(n == static_cast<ssize_t>(sizeof failure), failure, waited, wstatus, stopped);
}

int run_shell_command(char direction, const char* in, const char* out, const char* pass)
{
    // Held from before the temporary file exists until after it is gone.
    held_signals held;
    private_output staged(k_cfgcrypt_temp_name);
    const output_kind kind = output_kind_of(out);
    // openssl writes a device or a FIFO itself; anything else through a temporary
    // file in a private folder, whose longest name sizes the command first.
    const std::string_view temp_name =
        kind == output_kind::direct ? std::string_view(out) : private_output::k_longest_path;
    command_buffer command{};
    // A refusal leaves nothing behind.
    if (format_command(command, direction, in, temp_name, pass) != 0) {
        cfgcrypt_error(k_line_command_too_long, "Command too long(in or out path too long)!\r\n");
        return -1;
    }
    if (kind == output_kind::direct)
        return run_command(command.data());

    if (kind == output_kind::refused || staged.create(out) != 0) {
        const int err = errno;
        const std::string_view path(out);
        const std::size_t slash = path.rfind('/');
        const std::string folder_template =
            std::string(slash == std::string_view::npos ? "" : path.substr(0, slash + 1)) + k_cfgcrypt_temp_name;
        cfgcrypt_error(k_line_temp_create, "Create temp file failed(%s: %s)!\r\n", folder_template.c_str(),
                       std::strerror(err));
        return 1;
    }
    if (format_command(command, direction, in, staged.openssl_path(), pass) != 0) {
        cfgcrypt_error(k_line_command_too_long, "Command too long(in or out path too long)!\r\n");
        return -1;
    }

    int status = run_command(command.data());
    if (status != 0)
        return status;
    const int committed = staged.commit();
    if (committed == private_output::k_replaced_not_synced) {
        // The status says what became of the output: it was replaced. Only a
        // power cut before the folder reaches the disk could bring the old one back.
        cfgcrypt_error(k_line_not_synced, "Output replaced, sync of its folder failed(%s: %s)!\r\n", out,
                       std::strerror(errno));
        return 0;
    }
    if (committed != 0) {
        cfgcrypt_error(k_line_commit, "Replace output failed(%s: %s)!\r\n", out, std::strerror(errno));
        return 1;
    }
    return 0;
}
