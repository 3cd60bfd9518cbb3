// SPDX-License-Identifier: Apache-2.0
#include "tests/support/test_support.h"

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>

// VORNA_TEST_EMULATOR: the cross-compiling emulator's command, ';'-separated, or "".
#include "test_emulator.h"

namespace test_support {

namespace fs = std::filesystem;

temp_dir::temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/vorna-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string temp_dir::file(const std::string& name) const
{
    return (path_ / name).string();
}

std::vector<std::uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string& path, const std::string& text)
{
    write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string read_text(const std::string& path)
{
    auto bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(gen() >> 24);
    return out;
}

file_size_limit::file_size_limit(rlim_t bytes)
{
    if (::getrlimit(RLIMIT_FSIZE, &old_) != 0)
        throw std::runtime_error("getrlimit failed");
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        std::signal(SIGXFSZ, old_handler_);
        throw std::runtime_error("setrlimit failed");
    }
}

file_size_limit::~file_size_limit()
{
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
}

scoped_env::scoped_env(const char* name, const std::string& value) : name_(name)
{
    if (const char* old = std::getenv(name))
        old_ = old;
    ::setenv(name, value.c_str(), 1);
}

scoped_env::~scoped_env()
{
    if (old_)
        ::setenv(name_, old_->c_str(), 1);
    else
        ::unsetenv(name_);
}

namespace {

/// The sanitizer run-time this process was started with, or "".
std::string sanitizer_runtime()
{
    std::string found;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "/libasan.so") != nullptr) {
                *static_cast<std::string*>(data) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

} // namespace

scoped_preload::scoped_preload(const std::string& library)
{
    std::string list = library;
    std::string runtime = sanitizer_runtime();
    if (!runtime.empty())
        list = runtime + ":" + list;
    // Set for the emulator itself, the library (built for the product) would be
    // refused by the build machine's loader.
    if (std::string(VORNA_TEST_EMULATOR).empty())
        env_.emplace("LD_PRELOAD", list);
    else
        env_.emplace("QEMU_SET_ENV", "LD_PRELOAD=" + list);
}

namespace {

using elf_kind = std::array<unsigned char, 4>;

// Class, byte order and machine of an ELF file: what decides which processor runs it.
std::optional<elf_kind> elf_kind_of(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    unsigned char head[20] = {};
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "\x7f" "ELF", 4) != 0)
        return std::nullopt;
    return elf_kind{head[4], head[5], head[18], head[19]};
}

// Under a cross build the tests themselves run in the emulator, and so must every
// program built for the same processor. Host tools and scripts run directly.
std::vector<std::string> emulator_prefix(const std::string& program)
{
    std::vector<std::string> parts;
    std::string emulator = VORNA_TEST_EMULATOR;
    if (emulator.empty())
        return parts;
    auto program_kind = elf_kind_of(program.c_str());
    if (!program_kind)
        return parts;
    auto own_kind = elf_kind_of("/proc/self/exe");
    if (own_kind && *own_kind != *program_kind)
        return parts;
    std::size_t start = 0;
    while (start < emulator.size()) {
        std::size_t end = emulator.find(';', start);
        if (end == std::string::npos)
            end = emulator.size();
        if (end > start)
            parts.push_back(emulator.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace

std::vector<std::string> emulated(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return argv;
    std::vector<std::string> args = emulator_prefix(argv.front());
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

bool others_can_reach(const std::string& path)
{
    std::string folder = path.substr(0, path.rfind('/'));
    for (;;) {
        struct stat st {};
        if (::stat(folder.empty() ? "/" : folder.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
        if (folder.empty())
            return true;
        folder.resize(folder.rfind('/'));
    }
}

namespace {

/// Writes `input` into `fifo` once a reader opened it; run in a process of its own.
[[noreturn]] void feed_fifo(const std::string& fifo, const std::vector<std::uint8_t>& input)
{
    ::signal(SIGPIPE, SIG_DFL);
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (std::size_t done = 0; fd >= 0 && done < input.size();) {
        const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

/// run_cli, with `input` (when given) fed on standard input or into `fifo`.
cli_result run_program(const std::vector<std::string>& argv_in, const std::string& cwd,
                       const std::vector<std::uint8_t>* input, const std::string& fifo)
{
    if (argv_in.empty())
        throw std::invalid_argument("run_cli: no program");
    // The child resolves a relative program name in `cwd`; so must the look at its kind.
    const std::string& program = argv_in.front();
    bool relative = !program.empty() && program.front() != '/' && !cwd.empty();
    std::vector<std::string> args = emulator_prefix(relative ? cwd + "/" + program : program);
    args.insert(args.end(), argv_in.begin(), argv_in.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const bool piped = input != nullptr && fifo.empty();
    int out_pipe[2];
    int err_pipe[2];
    int in_pipe[2] = {-1, -1};
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0 ||
        (piped && ::pipe2(in_pipe, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    // A program that stops reading must not end this one.
    void (*old_sigpipe)(int) = ::signal(SIGPIPE, SIG_IGN);
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(piped ? in_pipe[0] : devnull, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const pid_t feeder = input != nullptr && !fifo.empty() ? ::fork() : -1;
    if (feeder == 0) {
        // Only the program may hold the output pipes open.
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            ::close(fd);
        feed_fifo(fifo, *input);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    std::size_t fed = 0;
    if (piped) {
        ::close(in_pipe[0]);
        ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
        if (input->empty()) {
            ::close(in_pipe[1]);
            in_pipe[1] = -1;
        }
    }

    cli_result result;
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::write(fds[2].fd, input->data() + fed, input->size() - fed);
            fed += n > 0 ? static_cast<std::size_t>(n) : 0;
            if (fed == input->size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    if (fds[2].fd >= 0)
        ::close(fds[2].fd);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (feeder > 0) {
        ::kill(feeder, SIGKILL);
        while (::waitpid(feeder, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::signal(SIGPIPE, old_sigpipe);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    return result;
}

} // namespace

cli_result run_cli(const std::vector<std::string>& argv, const std::string& cwd)
{
    return run_program(argv, cwd, nullptr, "");
}

cli_result run_cli_fed(const std::vector<std::string>& argv, const std::vector<std::uint8_t>& input,
                       const std::string& fifo)
{
    return run_program(argv, "", &input, fifo);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string error_line(const std::string& module, int line, const std::string& text)
{
    return "[ERROR]" + module + ":" + std::to_string(line) + " | " + text;
}

std::string hex(const std::uint8_t* bytes, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string dev_private_key()
{
    return VORNA_DEV_KEY_DIR "/dev_private_key.pem";
}

std::string dev_key_blob()
{
    return VORNA_DEV_KEY_DIR "/dev_public_key.txt";
}

} // namespace test_support
