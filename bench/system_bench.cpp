// SPDX-License-Identifier: Apache-2.0
// Whole-program benchmarks: the real vorna binary against the standard tool that
// does the same work on the same files, timed in the same run, alternately, so
// that a busy machine slows both alike. Prints a Markdown table.
//
// Usage: system_bench PARENT_DIR [ROUNDS [stream]]
// `stream` runs only the rows of the streamed upgrade and of the strong-only check.
// The data (about 4.5 GiB at most, most of it random bytes) lives in a fresh
// folder under PARENT_DIR and is removed at the end. Exits 1 when a run fails or leaves a
// device with the wrong bytes: a figure is only printed for work done right.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr std::uint32_t k_table_base = 0x10000;
constexpr std::uint32_t k_nor_base = 0x10000;       // the 16 MiB NOR partition
constexpr std::uint32_t k_nor_size = 16u << 20;
constexpr std::uint32_t k_kernel_base = 0x100000;   // the 64 MiB eMMC partition
constexpr std::uint32_t k_kernel_size = 64u << 20;
constexpr std::uint32_t k_rootfs_base = 0x4100000;  // the partition of the 256 MiB image
constexpr std::uint32_t k_rootfs_size = 256u << 20;
// Room for the header, the table and the two documents, so that the image is 256 MiB.
constexpr std::uint32_t k_big_contents = k_rootfs_size - (16u << 10);
constexpr std::uint32_t k_huge_base = k_rootfs_base + k_rootfs_size; // the partition of the 512 MiB image
constexpr std::uint32_t k_huge_size = 512u << 20;
constexpr std::uint32_t k_huge_contents = k_huge_size - (16u << 10);
constexpr std::size_t k_image_table = 4096;
constexpr std::size_t k_entry_content_offset = 40;

struct run_result {
    bool ok = false;
    double seconds = 0;
    long max_rss_kib = 0;
    std::string failure; ///< what went wrong, with the program's output, when not ok
};

/// A child's exit status, or a text that says why there is none.
std::string describe_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return "exit status " + std::to_string(WEXITSTATUS(wstatus));
    if (WIFSIGNALED(wstatus))
        return "signal " + std::to_string(WTERMSIG(wstatus));
    return "status " + std::to_string(wstatus);
}

class bench {
public:
    bench(fs::path dir, int rounds) : dir_(std::move(dir)), rounds_(rounds) {}

    [[nodiscard]] std::string file(const char* name) const { return (dir_ / name).string(); }

    /// Runs argv (searched on PATH) with its output in files of the work folder;
    /// wall time from fork to reaping, peak memory from wait4. A failure is told
    /// on standard error.
    run_result run(const std::vector<std::string>& args) const
    {
        run_result r = run_quietly(args);
        if (!r.ok)
            std::fputs(r.failure.c_str(), stderr);
        return r;
    }

    /// `stdin_fd`, when given, is the child's standard input (else /dev/null).
    run_result run_quietly(const std::vector<std::string>& args, int stdin_fd = -1) const
    {
        std::vector<char*> argv;
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = file("run.out");
        const std::string err = file("run.err");
        auto start = clock_type::now();
        pid_t pid = ::fork();
        if (pid < 0)
            return {false, 0, 0, std::string("system_bench: fork: ") + std::strerror(errno) + "\n"};
        if (pid == 0) {
            int in_fd = stdin_fd >= 0 ? stdin_fd : ::open("/dev/null", O_RDONLY);
            int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 ||
                ::dup2(err_fd, 2) < 0)
                ::_exit(126);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        int wstatus = 0;
        rusage usage{};
        while (::wait4(pid, &wstatus, 0, &usage) < 0) {
            if (errno != EINTR)
                return {false, 0, 0, std::string("system_bench: wait4: ") + std::strerror(errno) + "\n"};
        }
        run_result r;
        r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        r.max_rss_kib = usage.ru_maxrss;
        r.ok = WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
        if (!r.ok)
            r.failure = "system_bench: " + args[0] + " ended with " + describe_status(wstatus) + "\n" + slurp(out) +
                        slurp(err);
        return r;
    }

    /// vorna, waiting while another upgrade holds the lock (never in a run of
    /// its own, but the machine may be shared with tests).
    run_result run_vorna(const std::vector<std::string>& args) const { return run_vorna_bin(VORNA_BIN, args); }

    /// The same with another build of vorna.
    run_result run_vorna_bin(const char* bin, const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {bin};
        argv.insert(argv.end(), args.begin(), args.end());
        for (int attempt = 0;; ++attempt) {
            run_result r = run_quietly(argv);
            if (r.ok || attempt == 100 || r.failure.find("already locked") == std::string::npos) {
                if (!r.ok)
                    std::fputs(r.failure.c_str(), stderr);
                return r;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    [[nodiscard]] int rounds() const { return rounds_; }

    static std::string slurp(const std::string& path)
    {
        std::string text;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr)
            return text;
        std::array<char, 4096> buf{};
        std::size_t n = 0;
        while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
            text.append(buf.data(), n);
        std::fclose(f);
        return text;
    }

private:
    fs::path dir_;
    int rounds_;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

/// Fills a file with `size` pseudo-random bytes (xorshift: fast, and no run of
/// equal bytes for a tool to take a shortcut on).
bool write_random(const std::string& path, std::size_t size, std::uint64_t seed)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<std::uint64_t> chunk(1 << 17);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15u + 1;
    bool ok = true;
    for (std::size_t done = 0; ok && done < size;) {
        for (auto& w : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        std::size_t n = std::min(size - done, chunk.size() * sizeof(std::uint64_t));
        ok = std::fwrite(chunk.data(), 1, n, f) == n;
        done += n;
    }
    return std::fclose(f) == 0 && ok;
}

bool write_text(const std::string& path, const std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

/// Sets `len` bytes at `offset` of a file to `byte`, durably.
bool fill_region(const std::string& path, std::uint64_t offset, std::size_t len, std::uint8_t byte)
{
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    std::vector<std::uint8_t> chunk(1 << 20, byte);
    bool ok = true;
    for (std::size_t done = 0; ok && done < len;) {
        std::size_t n = std::min(len - done, chunk.size());
        ok = ::pwrite(fd, chunk.data(), n, static_cast<off_t>(offset + done)) == static_cast<ssize_t>(n);
        done += n;
    }
    ok = ::fsync(fd) == 0 && ok;
    return ::close(fd) == 0 && ok;
}

/// True when `len` bytes at `off_a` of `a` equal those at `off_b` of `b`.
bool same_bytes(const std::string& a, std::uint64_t off_a, const std::string& b, std::uint64_t off_b, std::size_t len)
{
    int fa = ::open(a.c_str(), O_RDONLY);
    int fb = ::open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    std::vector<std::uint8_t> ba(1 << 20);
    std::vector<std::uint8_t> bb(1 << 20);
    for (std::size_t done = 0; same && done < len;) {
        std::size_t n = std::min(len - done, ba.size());
        same = ::pread(fa, ba.data(), n, static_cast<off_t>(off_a + done)) == static_cast<ssize_t>(n) &&
               ::pread(fb, bb.data(), n, static_cast<off_t>(off_b + done)) == static_cast<ssize_t>(n) &&
               std::memcmp(ba.data(), bb.data(), n) == 0;
        done += n;
    }
    if (fa >= 0)
        ::close(fa);
    if (fb >= 0)
        ::close(fb);
    return same;
}

/// Where the first entry's contents start in an image.
std::uint32_t first_content_offset(const std::string& image)
{
    std::array<std::uint8_t, 4> b{};
    int fd = ::open(image.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    ssize_t n = ::pread(fd, b.data(), b.size(), k_image_table + k_entry_content_offset);
    ::close(fd);
    if (n != 4)
        return 0;
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

std::int64_t mtime_ns(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

std::string hex(std::uint64_t v)
{
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%llx", static_cast<unsigned long long>(v));
    return text.data();
}

/// One line of the table; `target`, when given, is the ratio the row must reach.
struct row {
    row(std::string what_, std::string data_, std::string ours_, std::string tool_, std::string theirs_,
        std::string ratio_, std::string target_ = {})
        : what(std::move(what_)), data(std::move(data_)), ours(std::move(ours_)), tool(std::move(tool_)),
          theirs(std::move(theirs_)), ratio(std::move(ratio_)), target(std::move(target_))
    {
    }
    std::string what;
    std::string data;
    std::string ours;
    std::string tool;
    std::string theirs;
    std::string ratio;
    std::string target;
};

std::string seconds_text(double s)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.3f s", s);
    return text.data();
}

std::string mib_text(double kib)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f MiB", kib / 1024);
    return text.data();
}

std::string ratio_text(double r)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f", r);
    return text.data();
}

/// A peak-memory row of one mode, against the limit every mode keeps to.
row rss_row(const std::string& mode, const std::string& data, long kib)
{
    constexpr double k_limit = 16 * 1024;
    const std::string what = "peak memory (max RSS), " + mode;
    return {what, data, mib_text(double(kib)), "limit", mib_text(k_limit), ratio_text(kib / k_limit), "≤ 1.00"};
}

/// Runs `ours` and `theirs` alternately, each after its own `prepare` (not
/// timed), and each checked by `verify` (not timed); medians of the rounds.
struct paired {
    std::function<bool()> prepare_ours = [] { return true; };
    std::function<run_result()> ours;
    std::function<bool()> verify_ours = [] { return true; };
    std::function<bool()> prepare_theirs = [] { return true; };
    std::function<run_result()> theirs;
    std::function<bool()> verify_theirs = [] { return true; };
};

bool measure(const bench& b, const char* name, const paired& p, double& ours, double& theirs, long& ours_rss)
{
    std::vector<double> a;
    std::vector<double> t;
    ours_rss = 0;
    // One round more than counted: the first only warms the page cache.
    for (int round = 0; round <= b.rounds(); ++round) {
        if (!p.prepare_ours()) {
            std::fprintf(stderr, "system_bench: %s: preparing vorna's run failed\n", name);
            return false;
        }
        ::sync();
        run_result r = p.ours();
        if (!r.ok || !p.verify_ours()) {
            std::fprintf(stderr, "system_bench: %s: vorna's run failed or left wrong bytes\n", name);
            return false;
        }
        if (!p.prepare_theirs()) {
            std::fprintf(stderr, "system_bench: %s: preparing the tool's run failed\n", name);
            return false;
        }
        ::sync();
        run_result s = p.theirs();
        if (!s.ok || !p.verify_theirs()) {
            std::fprintf(stderr, "system_bench: %s: the tool's run failed or left wrong bytes\n", name);
            return false;
        }
        if (round == 0)
            continue;
        a.push_back(r.seconds);
        t.push_back(s.seconds);
        ours_rss = std::max(ours_rss, r.max_rss_kib);
    }
    ours = median(a);
    theirs = median(t);
    return true;
}

std::string board_json()
{
    const std::string device_info =
        R"({ "vendor_name": "Bench", "vendor_url": "https://bench.example", "product_name": "Vorna-Bench",
             "product_version": "1.0", "product_id": "1", "special_id": "1", "language": "en", "region": "EU",
             "hw_id": "B-1", "oem_id": "B" })";
    auto ptn = [](const char* name, std::uint32_t base, std::uint32_t size, const char* encap) {
        return std::string(R"({ "name": ")") + name + R"(", "base": ")" + hex(base) + R"(", "size": ")" + hex(size) +
               R"(", "write_to_flash": true, "write_to_up": true, "encap_type": ")" + encap + R"(" })";
    };
    return R"({ "partition-table": {
      "partition-layout-nor": { "disk-size": ")" +
           hex(k_nor_base + k_nor_size) + R"(", "device": "nor.img", "partitions": [ )" +
           ptn("device-info", 0, 0x10000, "header") + ", " + ptn("firmware", k_nor_base, k_nor_size, "raw") + R"( ] },
      "partition-layout-emmc": { "disk-size": ")" +
           hex(k_huge_base + k_huge_size) + R"(", "device": "emmc.img", "partitions": [ )" +
           ptn("kernel", k_kernel_base, k_kernel_size, "raw") + ", " +
           ptn("rootfs", k_rootfs_base, k_rootfs_size, "raw") + ", " + ptn("huge", k_huge_base, k_huge_size, "raw") +
           R"( ] } },
      "contents": [ { "partition": "device-info", "header": true, "json": )" +
           device_info + " } ] }";
}

std::string manifest_json(const char* name, std::uint32_t base, std::uint32_t size, const char* type,
                          const char* contents)
{
    return std::string(R"({ "partitions": [ { "name": ")") + name + R"(", "base": ")" + hex(base) +
           R"(", "size": ")" + hex(size) + R"(", "type": ")" + type + R"(", "file": ")" + contents + R"(" } ],
      "support-list": { "support-list": [ { "product_name": "Vorna-Bench", "product_version": "1.0",
                                            "special_id": "1" } ] },
      "firmware-info": { "version": "1.0.0" } })";
}

// --- bytes written by -u --minimize-writes ----------------------------------------
// The eMMC partition of the 512 MiB image already holds its contents but for one
// byte in every 100th 64 KiB block (1 % of them): what vorna writes is counted by
// the kernel (the `wchar` of /proc/PID/io, read before the process is reaped;
// its few output lines count too), with and without the option.

/// Runs `args`, output discarded; the bytes it wrote through write calls, or -1.
long long bytes_written_by(const std::vector<std::string>& args)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(null_fd, 1) < 0 || ::dup2(null_fd, 2) < 0)
            ::_exit(126);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR)
            return -1;
    }
    long long wchar = -1;
    std::string io = bench::slurp("/proc/" + std::to_string(pid) + "/io");
    if (auto at = io.find("wchar: "); at != std::string::npos)
        wchar = std::atoll(io.c_str() + at + 7);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0 ? wchar : -1;
}

/// Prints the line, or false when a run failed or left the device wrong.
bool report_minimized_writes(const std::string& table, const std::string& image, std::uint32_t contents_at,
                             const std::string& emmc, std::uint32_t base, std::uint32_t len)
{
    constexpr std::uint32_t k_block = 0x10000;
    auto change_one_percent = [&] {
        for (std::uint32_t at = 0; at < len; at += 100 * k_block) {
            if (!fill_region(emmc, std::uint64_t{base} + at + 7, 1, 0xA5))
                return false;
        }
        return true;
    };
    const std::vector<std::string> upgrade = {VORNA_BIN, "-u", "-b", hex(k_table_base), "-d", table, "-f", image};
    std::vector<std::string> minimized = upgrade;
    minimized.insert(minimized.begin() + 1, "--minimize-writes");
    long long spared = -1;
    long long plain = -1;
    if (!change_one_percent() || (spared = bytes_written_by(minimized)) < 0 ||
        !same_bytes(image, contents_at, emmc, base, len) || !change_one_percent() ||
        (plain = bytes_written_by(upgrade)) < 0 || !same_bytes(image, contents_at, emmc, base, len)) {
        std::fprintf(stderr, "system_bench: -u --minimize-writes failed or left wrong bytes\n");
        return false;
    }
    std::printf("\nBytes written by `vorna -u --minimize-writes`, 512 MiB eMMC entry, 1 %% of its 64 KiB blocks "
                "differing from the device: %lld (%.2f %% of the entry; plain `vorna -u`: %lld).\n",
                spared, 100.0 * static_cast<double>(spared) / len, plain);
    return true;
}

// --- streamed upgrades --------------------------------------------------------------
// `vorna -u -f -` reads the image from a pipe that a child of the bench fills as a
// download would: as fast as vorna takes it, or at a quarter of the disk's write
// speed. An install that overlaps the transfer cannot end before the slower of
// the transfer and the write, so each row's floor is the larger of the two (on a
// dual build, of md5sum too: the legacy MD5 runs over every byte).

/// Writes the file at `path` into `fd`, at most `rate` bytes a second (0: as
/// fast as the reader takes them). True when every byte went.
bool feed_pipe(const std::string& path, int fd, double rate)
{
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    // Pieces of a pipe's default size, so that a throttled feed comes evenly.
    std::vector<std::uint8_t> buf(64u << 10);
    const auto start = clock_type::now();
    std::uint64_t sent = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (rate > 0)
            std::this_thread::sleep_until(start + std::chrono::duration_cast<clock_type::duration>(
                                                      std::chrono::duration<double>(double(sent) / rate)));
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(fd, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += ok ? w : 0;
        }
        if (!ok)
            break;
        sent += static_cast<std::uint64_t>(n);
    }
    ::close(in);
    return ok;
}

/// Runs `args` with a pipe as its standard input, which a child fills with
/// `image` (feed_pipe). Time and peak memory are the program's; the run fails
/// when the feed did not end well. `widen`: the pipe holds 1 MiB, as vorna makes
/// the pipe it reads, so that the transfer alone is timed as vorna can take it.
run_result run_fed(const bench& b, const std::vector<std::string>& args, const std::string& image, double rate,
                   bool widen = false)
{
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0)
        return {false, 0, 0, std::string("system_bench: pipe: ") + std::strerror(errno) + "\n"};
    if (widen && ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return {false, 0, 0, std::string("system_bench: F_SETPIPE_SZ: ") + std::strerror(errno) + "\n"};
    }
    const pid_t feeder = ::fork();
    if (feeder == 0) {
        ::close(fds[0]);
        // A reader that stops early fails the feed instead of killing it.
        std::signal(SIGPIPE, SIG_IGN);
        ::_exit(feed_pipe(image, fds[1], rate) ? 0 : 1);
    }
    ::close(fds[1]);
    if (feeder < 0) {
        ::close(fds[0]);
        return {false, 0, 0, std::string("system_bench: fork: ") + std::strerror(errno) + "\n"};
    }
    run_result r = b.run_quietly(args, fds[0]);
    ::close(fds[0]);
    int wstatus = 0;
    while (::waitpid(feeder, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (r.ok && !(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0)) {
        r.ok = false;
        r.failure = "system_bench: the feed of " + image + " ended with " + describe_status(wstatus) + "\n";
    }
    return r;
}

/// vorna `bin` reading `image` from a pipe, waiting while another upgrade holds the lock.
run_result run_vorna_fed(const bench& b, const char* bin, const std::vector<std::string>& args,
                         const std::string& image, double rate)
{
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    for (int attempt = 0;; ++attempt) {
        run_result r = run_fed(b, argv, image, rate);
        if (r.ok || attempt == 100 || r.failure.find("already locked") == std::string::npos) {
            if (!r.ok)
                std::fputs(r.failure.c_str(), stderr);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

std::string rate_text(double bytes_per_second)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f MB/s", bytes_per_second / 1e6);
    return text.data();
}

/// The rows of the streamed upgrade (512 MiB) and of the strong-only check, their
/// peak memory rows at the end of `rss_rows`.
int stream_rows(const bench& b, const std::string& table, const std::string& emmc, std::vector<row>& rows,
                std::vector<row>& rss_rows)
{
    // One set of contents in two images: strong-only (legacy field zero), what a
    // streaming product ships, and dual-signed.
    const std::string contents = b.file("stream-contents.bin");
    const std::string manifest = b.file("stream.json");
    const std::string strong_image = b.file("stream.bin");
    const std::string dual_image = b.file("stream-dual.bin");
    if (!write_random(contents, k_huge_contents, 6) ||
        !write_text(manifest, manifest_json("huge", k_huge_base, k_huge_size, "emmc", "stream-contents.bin")) ||
        !b.run({VORNA_IMAGE_BIN, "pack", "--no-legacy", manifest, strong_image, "--key", VORNA_STRONG_PRIVATE_KEY})
             .ok ||
        !b.run(
              {VORNA_IMAGE_BIN, "pack", manifest, VORNA_DEV_PRIVATE_KEY, dual_image, "--key", VORNA_STRONG_PRIVATE_KEY})
             .ok)
        return 1;
    std::error_code ec;
    fs::remove(contents, ec);
    const std::uint32_t strong_at = first_content_offset(strong_image);
    const std::uint32_t dual_at = first_content_offset(dual_image);
    if (strong_at == 0 || dual_at == 0)
        return 1;
    const std::string data = mib_text(static_cast<double>(fs::file_size(strong_image, ec)) / 1024) + " image";
    double ours = 0;
    double theirs = 0;
    long rss = 0;

    // --- the strong-only check against md5sum: SHA-256 alone, no MD5 ------------------
    paired check;
    check.ours = [&] {
        return b.run_vorna_bin(VORNA_STRONG_ONLY_BIN, {"-c", "-b", hex(k_table_base), "-d", table, "-f", strong_image});
    };
    check.theirs = [&] { return b.run({"md5sum", strong_image}); };
    if (!measure(b, "strong-only check", check, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -c`, strong-only build, no legacy signature", data, seconds_text(ours), "`md5sum`",
                    seconds_text(theirs), ratio_text(ours / theirs), "≤ 0.45"});
    rss_rows.push_back(rss_row("`vorna -c`, strong-only build", data, rss));

    // --- streamed at full speed against dd's write of the contents -----------------------
    auto zero = [&] { return fill_region(emmc, k_huge_base, k_huge_contents, 0); };
    auto written = [&emmc](const std::string& image, std::uint32_t at) {
        return [&emmc, image, at] { return same_bytes(image, at, emmc, k_huge_base, k_huge_contents); };
    };
    auto streamed = [&b, &table](const char* bin, const std::string& image, double rate) {
        return [&b, &table, bin, image, rate] {
            return run_vorna_fed(b, bin, {"-u", "-b", hex(k_table_base), "-d", table, "-f", "-"}, image, rate);
        };
    };
    auto dd_write = [&b, &emmc](const std::string& image, std::uint32_t at) {
        return [&b, &emmc, image, at] {
            return b.run({"dd", "if=" + image, "of=" + emmc, "bs=1M", "iflag=skip_bytes,count_bytes",
                          "oflag=seek_bytes", "skip=" + std::to_string(at), "seek=" + std::to_string(k_huge_base),
                          "count=" + std::to_string(k_huge_contents), "conv=notrunc,fsync", "status=none"});
        };
    };
    constexpr double full_speed = 0;
    paired full;
    full.prepare_ours = zero;
    full.ours = streamed(VORNA_STRONG_ONLY_BIN, strong_image, full_speed);
    full.verify_ours = written(strong_image, strong_at);
    full.prepare_theirs = zero;
    full.theirs = dd_write(strong_image, strong_at);
    full.verify_theirs = full.verify_ours;
    double full_s = 0;
    double dd_s = 0;
    long full_rss = 0;
    if (!measure(b, "streamed -u", full, full_s, dd_s, full_rss))
        return 1;

    // --- the floors: the transfer alone (into dd of=/dev/null) and md5sum ------------------
    auto transfer = [&b](const std::string& image, double rate) {
        return [&b, image, rate] {
            return run_fed(b, {"dd", "of=/dev/null", "bs=1M", "status=none"}, image, rate, true);
        };
    };
    paired floors;
    floors.ours = transfer(strong_image, full_speed);
    floors.theirs = [&] { return b.run({"md5sum", dual_image}); };
    double transfer_s = 0;
    double md5_s = 0;
    if (!measure(b, "transfer", floors, transfer_s, md5_s, rss))
        return 1;
    double floor = std::max(transfer_s, dd_s);
    rows.push_back({"`vorna -u -f -`, strong-only build, no legacy signature, pipe at full speed", data,
                    seconds_text(full_s),
                    "larger of the transfer (" + seconds_text(transfer_s) + ") and `dd bs=1M conv=fsync` (" +
                        seconds_text(dd_s) + ")",
                    seconds_text(floor), ratio_text(full_s / floor), "≤ 1.10"});

    // --- streamed through a pipe at a quarter of dd's write speed ----------------------------
    const double throttle = k_huge_contents / dd_s / 4;
    paired slow;
    slow.prepare_ours = zero;
    slow.ours = streamed(VORNA_STRONG_ONLY_BIN, strong_image, throttle);
    slow.verify_ours = full.verify_ours;
    slow.theirs = transfer(strong_image, throttle);
    double slow_s = 0;
    double slow_transfer_s = 0;
    long slow_rss = 0;
    if (!measure(b, "throttled streamed -u", slow, slow_s, slow_transfer_s, slow_rss))
        return 1;
    floor = std::max(slow_transfer_s, dd_s);
    rows.push_back(
        {"`vorna -u -f -`, strong-only build, no legacy signature, pipe at a quarter of dd's speed (" +
             rate_text(throttle) + ")",
         data, seconds_text(slow_s),
         "larger of the transfer (" + seconds_text(slow_transfer_s) + ") and `dd` (" + seconds_text(dd_s) + ")",
         seconds_text(floor), ratio_text(slow_s / floor), "≤ 1.10"});

    // --- dual-signed on a dual build at full speed: the MD5 joins the floor ----------------------
    paired dual;
    dual.prepare_ours = zero;
    dual.ours = streamed(VORNA_STRONG_BIN, dual_image, full_speed);
    dual.verify_ours = written(dual_image, dual_at);
    dual.prepare_theirs = zero;
    dual.theirs = dd_write(dual_image, dual_at);
    dual.verify_theirs = dual.verify_ours;
    double dual_s = 0;
    double dual_dd_s = 0;
    long dual_rss = 0;
    if (!measure(b, "dual streamed -u", dual, dual_s, dual_dd_s, dual_rss))
        return 1;
    floor = std::max({transfer_s, dual_dd_s, md5_s});
    rows.push_back({"`vorna -u -f -`, dual build, dual-signed, pipe at full speed", data, seconds_text(dual_s),
                    "largest of the transfer (" + seconds_text(transfer_s) + "), `dd` (" + seconds_text(dual_dd_s) +
                        ") and `md5sum` (" + seconds_text(md5_s) + ")",
                    seconds_text(floor), ratio_text(dual_s / floor), "≤ 1.10"});
    rss_rows.push_back(rss_row("`vorna -u -f -`, full speed", data, full_rss));
    rss_rows.push_back(rss_row("`vorna -u -f -`, throttled", data, slow_rss));
    rss_rows.push_back(rss_row("`vorna -u -f -`, dual build", data, dual_rss));
    for (const std::string& f : {strong_image, dual_image})
        fs::remove(f, ec);
    return 0;
}

void print_table(const std::vector<row>& rows, int rounds)
{
    std::printf("| benchmark | data | vorna | standard tool | tool | ratio vorna / tool | target |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const row& r : rows)
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.data.c_str(), r.ours.c_str(),
                    r.tool.c_str(), r.theirs.c_str(), r.ratio.c_str(), r.target.empty() ? "–" : r.target.c_str());
    std::printf("\nTimes are medians of %d rounds, vorna and the tool taking turns, page cache warm, after a sync.\n",
                rounds);
}

int run_all(bench& b, bool stream_only)
{
    // --- data --------------------------------------------------------------
    if (!write_text(b.file("board.json"), board_json()) ||
        !b.run({VORNA_IMAGE_BIN, "board", b.file("board.json"), b.file("board")}).ok)
        return 1;
    const std::string table = b.file("board/table.img");
    const std::string nor = b.file("board/nor.img");
    const std::string emmc = b.file("board/emmc.img");
    if (stream_only) {
        std::vector<row> rows;
        std::vector<row> rss_rows;
        if (stream_rows(b, table, emmc, rows, rss_rows) != 0)
            return 1;
        rows.insert(rows.end(), rss_rows.begin(), rss_rows.end());
        print_table(rows, b.rounds());
        return 0;
    }
    struct image_def {
        const char* name;
        const char* contents;
        std::size_t contents_size;
        std::uint64_t seed;
        const char* ptn;
        std::uint32_t base;
        std::uint32_t size;
        const char* type;
    };
    const image_def defs[] = {
        {"nor.bin", "nor-contents.bin", k_nor_size, 1, "firmware", k_nor_base, k_nor_size, "nor"},
        {"emmc.bin", "emmc-contents.bin", k_kernel_size, 2, "kernel", k_kernel_base, k_kernel_size, "emmc"},
        {"big.bin", "big-contents.bin", k_big_contents, 3, "rootfs", k_rootfs_base, k_rootfs_size, "emmc"},
        {"huge.bin", "huge-contents.bin", k_huge_contents, 4, "huge", k_huge_base, k_huge_size, "emmc"},
    };
    for (const image_def& d : defs) {
        std::string manifest = b.file(d.name) + ".json";
        std::vector<std::string> pack = {VORNA_IMAGE_BIN, "pack", manifest, VORNA_DEV_PRIVATE_KEY, b.file(d.name)};
        // The big image is dual-signed: the legacy build checks it as any other.
        if (std::string(d.name) == "big.bin")
            pack.insert(pack.end(), {"--key", VORNA_STRONG_PRIVATE_KEY});
        if (!write_random(b.file(d.contents), d.contents_size, d.seed) ||
            !write_text(manifest, manifest_json(d.ptn, d.base, d.size, d.type, d.contents)) || !b.run(pack).ok)
            return 1;
        // The contents are in the image now; only the images are needed.
        std::error_code ec;
        fs::remove(b.file(d.contents), ec);
    }
    const std::string nor_image = b.file("nor.bin");
    const std::string emmc_image = b.file("emmc.bin");
    const std::string big_image = b.file("big.bin");
    const std::string huge_image = b.file("huge.bin");
    const std::uint32_t nor_at = first_content_offset(nor_image);
    const std::uint32_t emmc_at = first_content_offset(emmc_image);
    if (nor_at == 0 || emmc_at == 0)
        return 1;
    auto vorna = [&](const char* mode, const std::string& image) {
        return [&b, mode, &table, image] {
            return b.run_vorna({mode, "-b", hex(k_table_base), "-d", table, "-f", image});
        };
    };
    std::vector<row> rows;
    double ours = 0;
    double theirs = 0;
    long rss = 0;

    // --- vorna -c against openssl md5 ------------------------------------------
    paired check;
    check.ours = vorna("-c", big_image);
    check.theirs = [&] { return b.run({"openssl", "md5", big_image}); };
    if (!measure(b, "check", check, ours, theirs, rss))
        return 1;
    std::error_code ec;
    const double big_kib = static_cast<double>(fs::file_size(big_image, ec)) / 1024;
    rows.push_back({"`vorna -c`", mib_text(big_kib) + " image", seconds_text(ours), "`openssl md5`",
                    seconds_text(theirs), ratio_text(ours / theirs)});

    // --- the legacy check and the dual check against md5sum --------------------------
    check.theirs = [&] { return b.run({"md5sum", big_image}); };
    if (!measure(b, "legacy check", check, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -c`, legacy check (no trusted key)", mib_text(big_kib) + " image", seconds_text(ours),
                    "`md5sum`", seconds_text(theirs), ratio_text(ours / theirs), "≤ 0.85"});
    paired dual;
    dual.ours = [&] {
        return b.run_vorna_bin(VORNA_STRONG_BIN, {"-c", "-b", hex(k_table_base), "-d", table, "-f", big_image});
    };
    dual.theirs = check.theirs;
    if (!measure(b, "dual check", dual, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -c`, dual-signed, MD5 and SHA-256 (one trusted key)", mib_text(big_kib) + " image",
                    seconds_text(ours), "`md5sum`", seconds_text(theirs), ratio_text(ours / theirs), "≤ 0.90"});
    long dual_rss = rss;

    // --- unchanged NOR partition against cmp --------------------------------------
    // Once written, the partition already holds the image's bytes.
    if (!b.run_vorna({"-u", "-b", hex(k_table_base), "-d", table, "-f", nor_image}).ok ||
        !same_bytes(nor_image, nor_at, nor, k_nor_base, k_nor_size))
        return 1;
    const std::int64_t nor_mtime = mtime_ns(nor);
    paired unchanged;
    unchanged.ours = vorna("-u", nor_image);
    // Nothing may have been written: the device's time stamp stays.
    unchanged.verify_ours = [&] { return mtime_ns(nor) == nor_mtime; };
    unchanged.theirs = [&] {
        return b.run({"cmp", "-n", std::to_string(k_nor_size), "-i",
                      std::to_string(nor_at) + ":" + std::to_string(k_nor_base), nor_image, nor});
    };
    if (!measure(b, "unchanged NOR", unchanged, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -u`, unchanged NOR partition", "16 MiB", seconds_text(ours), "`cmp`", seconds_text(theirs),
                    ratio_text(ours / theirs)});

    // --- changed NOR partition against dd conv=fsync ---------------------------------
    paired changed;
    auto erase = [&] { return fill_region(nor, k_nor_base, k_nor_size, 0xFF); };
    auto written = [&] { return same_bytes(nor_image, nor_at, nor, k_nor_base, k_nor_size); };
    changed.prepare_ours = erase;
    changed.ours = vorna("-u", nor_image);
    changed.verify_ours = written;
    changed.prepare_theirs = erase;
    changed.theirs = [&] {
        return b.run({"dd", "if=" + nor_image, "of=" + nor, "bs=64K", "iflag=skip_bytes,count_bytes",
                      "oflag=seek_bytes", "skip=" + std::to_string(nor_at), "seek=" + std::to_string(k_nor_base),
                      "count=" + std::to_string(k_nor_size), "conv=notrunc,fsync", "status=none"});
    };
    changed.verify_theirs = written;
    if (!measure(b, "changed NOR", changed, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -u`, changed NOR partition", "16 MiB", seconds_text(ours), "`dd bs=64K conv=fsync`",
                    seconds_text(theirs), ratio_text(ours / theirs)});

    // --- eMMC partition against dd oflag=sync ----------------------------------------
    paired emmc_write;
    auto zero = [&] { return fill_region(emmc, k_kernel_base, k_kernel_size, 0); };
    auto emmc_written = [&] { return same_bytes(emmc_image, emmc_at, emmc, k_kernel_base, k_kernel_size); };
    emmc_write.prepare_ours = zero;
    emmc_write.ours = vorna("-u", emmc_image);
    emmc_write.verify_ours = emmc_written;
    emmc_write.prepare_theirs = zero;
    emmc_write.theirs = [&] {
        return b.run({"dd", "if=" + emmc_image, "of=" + emmc, "bs=1M", "iflag=skip_bytes,count_bytes",
                      "oflag=seek_bytes,sync", "skip=" + std::to_string(emmc_at),
                      "seek=" + std::to_string(k_kernel_base), "count=" + std::to_string(k_kernel_size),
                      "conv=notrunc", "status=none"});
    };
    emmc_write.verify_theirs = emmc_written;
    if (!measure(b, "eMMC", emmc_write, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -u`, eMMC partition", "64 MiB", seconds_text(ours), "`dd bs=1M oflag=sync`",
                    seconds_text(theirs), ratio_text(ours / theirs)});

    // --- 512 MiB eMMC partition against md5sum then dd conv=fsync -------------------
    // The tool's side does what an upgrade does: check the whole image, then write.
    const std::uint32_t huge_at = first_content_offset(huge_image);
    if (huge_at == 0)
        return 1;
    paired huge_write;
    auto zero_huge = [&] { return fill_region(emmc, k_huge_base, k_huge_contents, 0); };
    auto huge_written = [&] { return same_bytes(huge_image, huge_at, emmc, k_huge_base, k_huge_contents); };
    huge_write.prepare_ours = zero_huge;
    huge_write.ours = vorna("-u", huge_image);
    huge_write.verify_ours = huge_written;
    huge_write.prepare_theirs = zero_huge;
    huge_write.theirs = [&] {
        return b.run({"sh", "-c",
                      "md5sum \"$1\" >/dev/null && dd if=\"$1\" of=\"$2\" bs=1M iflag=skip_bytes,count_bytes "
                      "oflag=seek_bytes skip=" +
                          std::to_string(huge_at) + " seek=" + std::to_string(k_huge_base) +
                          " count=" + std::to_string(k_huge_contents) + " conv=notrunc,fsync status=none",
                      "sh", huge_image, emmc});
    };
    huge_write.verify_theirs = huge_written;
    if (!measure(b, "512 MiB eMMC", huge_write, ours, theirs, rss))
        return 1;
    const long upgrade_rss = rss;
    const double huge_kib = static_cast<double>(fs::file_size(huge_image, ec)) / 1024;
    rows.push_back({"`vorna -u`, eMMC partition", mib_text(huge_kib) + " image", seconds_text(ours),
                    "`md5sum` + `dd bs=1M conv=fsync`", seconds_text(theirs), ratio_text(ours / theirs), "≤ 1.00"});

    // --- peak memory ---------------------------------------------------------------
    long check_rss = 0;
    for (int round = 0; round < std::max(1, b.rounds() / 2); ++round) {
        run_result r = b.run_vorna({"-c", "-b", hex(k_table_base), "-d", table, "-f", huge_image});
        if (!r.ok)
            return 1;
        check_rss = std::max(check_rss, r.max_rss_kib);
    }
    check_rss = std::max(check_rss, dual_rss);
    rows.push_back(rss_row("`vorna -c`", mib_text(huge_kib) + " image", check_rss));
    rows.push_back(rss_row("`vorna -u`", mib_text(huge_kib) + " image", upgrade_rss));
    // The other modes: the table, and the export of an image's information.
    long show_rss = 0;
    long export_rss = 0;
    for (int round = 0; round < std::max(1, b.rounds() / 2); ++round) {
        run_result s = b.run_vorna({"-s", "-b", hex(k_table_base), "-d", table});
        run_result v =
            b.run_vorna({"-v", "-b", hex(k_table_base), "-d", table, "-f", huge_image, "-o", b.file("info.out")});
        if (!s.ok || !v.ok)
            return 1;
        show_rss = std::max(show_rss, s.max_rss_kib);
        export_rss = std::max(export_rss, v.max_rss_kib);
    }
    rows.push_back(rss_row("`vorna -s`", "board table", show_rss));
    rows.push_back(rss_row("`vorna -v`", mib_text(huge_kib) + " image", export_rss));

    // --- vorna -r and -w of a 1 GiB raw partition against dd conv=fsync ----------------
    // A device of its own: the table at k_table_base, the partition at 1 MiB.
    const std::string copy_dev = b.file("copy.img");
    const std::string copy_in = b.file("copy-in.bin");
    const std::string copy_out = b.file("copy-out.bin");
    constexpr std::uint32_t k_copy_base = 1u << 20;
    constexpr std::uint32_t k_copy_size = 1u << 30;
    const std::string copy_table = R"({ "partition-layout-nor": { "disk-size": ")" + hex(k_copy_base + k_copy_size) +
                                   R"(", "device": ")" + copy_dev +
                                   R"(", "partitions": [ { "name": "data", "base": ")" + hex(k_copy_base) +
                                   R"(", "size": ")" + hex(k_copy_size) +
                                   R"(", "write_to_flash": true, "write_to_up": true, "encap_type": "raw" } ] },
      "partition-layout-emmc": { "disk-size": "0", "device": "", "partitions": [] } })";
    if (!write_random(copy_dev, k_copy_base + std::size_t{k_copy_size}, 4) || !write_random(copy_in, k_copy_size, 5) ||
        !fill_region(copy_dev, k_table_base, 0x8000, 0) || !write_text(b.file("copy-table.json"), copy_table))
        return 1;
    {
        std::FILE* f = std::fopen(copy_dev.c_str(), "r+b");
        if (f == nullptr || std::fseek(f, k_table_base, SEEK_SET) != 0 ||
            std::fwrite(copy_table.data(), 1, copy_table.size(), f) != copy_table.size() || std::fclose(f) != 0)
            return 1;
    }
    auto copy_args = [&](const char* mode, const char* file_opt, const std::string& file) {
        return std::vector<std::string>{mode, "-b", hex(k_table_base), "-d", copy_dev, "-n", "data", file_opt, file};
    };
    // -w first: its input goes before -r makes its two outputs.
    paired write_copy;
    write_copy.ours = [&] { return b.run_vorna(copy_args("-w", "-i", copy_in)); };
    write_copy.verify_ours = [&] { return same_bytes(copy_in, 0, copy_dev, k_copy_base, k_copy_size); };
    write_copy.theirs = [&] {
        return b.run({"dd", "if=" + copy_in, "of=" + copy_dev, "bs=1M", "seek=1", "conv=fsync,notrunc", "status=none"});
    };
    write_copy.verify_theirs = write_copy.verify_ours;
    if (!measure(b, "-w", write_copy, ours, theirs, rss))
        return 1;
    std::vector<row> write_rows;
    write_rows.push_back({"`vorna -w`, raw partition", "1 GiB", seconds_text(ours), "`dd bs=1M conv=fsync`",
                          seconds_text(theirs), ratio_text(ours / theirs), "≤ 1.10"});
    write_rows.push_back(rss_row("`vorna -w`", "1 GiB partition", rss));
    fs::remove(copy_in, ec);

    // A copy taken again: each side writes over the output its own last run left
    // (the warm-up round makes the first), vorna replacing it whole, dd
    // truncating it in place. One file for both would time each on what the
    // other left behind.
    const std::string copy_out_dd = b.file("copy-out-dd.bin");
    paired read_copy;
    read_copy.ours = [&] { return b.run_vorna(copy_args("-r", "-o", copy_out)); };
    read_copy.verify_ours = [&] { return same_bytes(copy_dev, k_copy_base, copy_out, 0, k_copy_size); };
    read_copy.theirs = [&] {
        return b.run({"dd", "if=" + copy_dev, "of=" + copy_out_dd, "bs=1M", "skip=1", "count=1024", "conv=fsync",
                      "status=none"});
    };
    read_copy.verify_theirs = [&] { return same_bytes(copy_dev, k_copy_base, copy_out_dd, 0, k_copy_size); };
    if (!measure(b, "-r", read_copy, ours, theirs, rss))
        return 1;
    rows.push_back({"`vorna -r`, raw partition, the output file already there", "1 GiB", seconds_text(ours),
                    "`dd bs=1M conv=fsync`", seconds_text(theirs), ratio_text(ours / theirs), "≤ 1.10"});
    rows.push_back(rss_row("`vorna -r`", "1 GiB partition", rss));
    rows.insert(rows.end(), write_rows.begin(), write_rows.end());
    for (const std::string& f : {copy_dev, copy_out, copy_out_dd})
        fs::remove(f, ec);

    std::vector<row> stream_rss;
    if (stream_rows(b, table, emmc, rows, stream_rss) != 0)
        return 1;
    // The streamed images share the 512 MiB image's partition: it gets that
    // image's contents back for the count of --minimize-writes below.
    if (!b.run_vorna({"-u", "-b", hex(k_table_base), "-d", table, "-f", huge_image}).ok ||
        !same_bytes(huge_image, huge_at, emmc, k_huge_base, k_huge_contents))
        return 1;
    rows.insert(rows.end(), stream_rss.begin(), stream_rss.end());
    print_table(rows, b.rounds());
    if (!report_minimized_writes(table, huge_image, huge_at, emmc, k_huge_base, k_huge_contents))
        return 1;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "stream") != 0)) {
        std::fprintf(stderr, "usage: system_bench PARENT_DIR [ROUNDS [stream]]\n");
        return 2;
    }
    int rounds = argc >= 3 ? std::atoi(argv[2]) : 5;
    if (rounds < 1) {
        std::fprintf(stderr, "system_bench: ROUNDS must be 1 or more\n");
        return 2;
    }
    std::error_code ec;
    fs::create_directories(argv[1], ec);
    std::string pattern = (fs::path(argv[1]) / "system-bench-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        std::perror("system_bench: mkdtemp");
        return 1;
    }
    bench b(buf.data(), rounds);
    int rc = run_all(b, argc == 4);
    fs::remove_all(buf.data(), ec);
    if (rc != 0)
        std::fprintf(stderr, "system_bench: failed\n");
    return rc;
}
