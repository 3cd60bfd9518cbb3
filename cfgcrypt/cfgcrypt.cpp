#include "cfgcrypt/cfgcrypt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

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
};

constexpr const char* k_temp_name = ".cfgcrypt-XXXXXX";

class scoped_fd {
public:
    explicit scoped_fd(int fd = -1) : fd_(fd) {}
    scoped_fd(const scoped_fd&) = delete;
    scoped_fd& operator=(const scoped_fd&) = delete;
    ~scoped_fd() { reset(); }
    [[nodiscard]] int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};

/// The folder part of `path` with its trailing '/', or "" for a bare name.
std::string folder_of(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

mode_t current_umask()
{
    // The program is single-threaded, so setting and restoring the mask races with nothing.
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
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

std::string output_target(const std::string& out)
{
    struct stat st {};
    if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return out;
    std::unique_ptr<char, free_deleter> resolved(::realpath(out.c_str(), nullptr));
    return resolved ? std::string(resolved.get()) : out;
}

std::string temp_template_for(std::string_view target)
{
    return folder_of(target) + k_temp_name;
}

staged_output::~staged_output()
{
    discard();
}

void staged_output::discard()
{
    int saved = errno;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temp_path_.empty())
        ::unlink(temp_path_.c_str());
    temp_path_.clear();
    errno = saved;
}

int staged_output::create(const std::string& target)
{
    discard();
    std::string name = temp_template_for(target);
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    // Close-on-exec: the shell and openssl must reach the file only by its name.
    fd_ = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd_ < 0)
        return -1;
    temp_path_ = buf.data();
    target_ = target;

    // The replacement should look like the file it replaces (or like the file
    // openssl would have created), not like a private temporary file.
    mode_t mode = 0666 & ~current_umask();
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
        // Only root may give a file away; an unprivileged run keeps its own owner.
        if (::fchown(fd_, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
            discard();
            return -1;
        }
    }
    if (::fchmod(fd_, mode) != 0) {
        discard();
        return -1;
    }
    return 0;
}

int staged_output::commit()
{
    if (fd_ < 0 || temp_path_.empty()) {
        errno = EBADF;
        return -1;
    }
    // Without these the rename could reach the disk before the data does, and
    // a power cut would leave an empty output where a good one used to be.
    if (::fsync(fd_) != 0) {
        discard();
        return -1;
    }
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
        discard();
        return -1;
    }
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        discard();
        return -1;
    }
    temp_path_.clear();

    std::string folder = folder_of(target_);
    scoped_fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
        int saved = errno;
        dir.reset();
        errno = saved;
        return -1;
    }
    return 0;
}

int run_command(const char* command)
{
    // execve takes non-const strings; keep writable copies ready before the fork.
    char sh_name[] = "sh";
    char dash_c[] = "-c";
    std::string text(command);
    char* argv[] = {sh_name, dash_c, text.data(), nullptr};
    char* envp[] = {nullptr};

    // The child reports a failed execve through this pipe; a successful one
    // closes it unwritten, so the shell's own 127 stays distinguishable.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        cfgcrypt_error(k_line_start, "Start command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    scoped_fd report_read(report[0]);
    scoped_fd report_write(report[1]);

    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        cfgcrypt_error(k_line_start, "Start command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    if (pid == 0) {
        ::execve("/bin/sh", argv, envp);
        int err = errno;
        ssize_t n = ::write(report_write.get(), &err, sizeof err);
        (void)n;
        ::_exit(127);
    }
    report_write.reset();

    int exec_errno = 0;
    ssize_t n;
    do {
        n = ::read(report_read.get(), &exec_errno, sizeof exec_errno);
    } while (n < 0 && errno == EINTR);

    int wstatus = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &wstatus, 0);
    } while (waited < 0 && errno == EINTR);

    if (n == static_cast<ssize_t>(sizeof exec_errno)) {
        cfgcrypt_error(k_line_exec, "Exec /bin/sh failed(%s)!\r\n", std::strerror(exec_errno));
        return 1;
    }
    if (waited < 0) {
        cfgcrypt_error(k_line_wait, "Wait for command failed(%s)!\r\n", std::strerror(errno));
        return 1;
    }
    if (WIFSIGNALED(wstatus)) {
        cfgcrypt_error(k_line_killed, "Command killed(signal %d)!\r\n", WTERMSIG(wstatus));
        return 1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1;
}

int run_shell_command(char direction, const char* in, const char* out, const char* pass)
{
    const std::string target = output_target(out);
    const std::string temp_name = temp_template_for(target);
    command_buffer command{};
    // mkstemp keeps the template's length, so a command that fits now still fits
    // once the temporary file has its name; a refusal leaves nothing behind.
    if (format_command(command, direction, in, temp_name, pass) != 0) {
        cfgcrypt_error(k_line_command_too_long, "Command too long(in or out path too long)!\r\n");
        return -1;
    }

    staged_output staged;
    if (staged.create(target) != 0) {
        cfgcrypt_error(k_line_temp_create, "Create temp file failed(%s: %s)!\r\n", temp_name.c_str(),
                       std::strerror(errno));
        return 1;
    }
    if (format_command(command, direction, in, staged.temp_path(), pass) != 0) {
        cfgcrypt_error(k_line_command_too_long, "Command too long(in or out path too long)!\r\n");
        return -1;
    }

    int status = run_command(command.data());
    if (status != 0)
        return status;
    if (staged.commit() != 0) {
        cfgcrypt_error(k_line_commit, "Replace output failed(%s: %s)!\r\n", target.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}
