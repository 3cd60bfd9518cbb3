// SPDX-License-Identifier: Apache-2.0
// Preloaded into vorna inside the kernel rig to cut the power at an exact point:
// once the chosen line of vorna's output (standard output and standard error
// counted together) has been written, it writes "b" to the kernel's sysrq
// trigger, which resets the machine at once, with no flush of any cache. vorna
// runs unchanged: only its standard streams are this library's.
//
// Environment:
//   VORNA_CUT_AT_LINE  N >= 1: cut after the N-th counted line
//   VORNA_CUT_MATCH    count only the lines that contain this text (all when unset)
//   VORNA_CUT_TRIGGER  the file written (default /proc/sysrq-trigger)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct shim_state {
    bool ready = false;
    long cut_at = 0;
    long lines = 0;
    const char* match = nullptr;
    std::string pending; ///< the counted stream's unfinished line
};

shim_state g_state;

void prepare()
{
    if (g_state.ready)
        return;
    g_state.ready = true;
    if (const char* n = std::getenv("VORNA_CUT_AT_LINE"))
        g_state.cut_at = std::strtol(n, nullptr, 10);
    if (const char* m = std::getenv("VORNA_CUT_MATCH"); m != nullptr && *m != '\0')
        g_state.match = m;
}

void cut_power()
{
    const char* trigger = std::getenv("VORNA_CUT_TRIGGER");
    const int fd = ::open(trigger != nullptr && *trigger != '\0' ? trigger : "/proc/sysrq-trigger", O_WRONLY);
    if (fd >= 0) [[maybe_unused]]
        const ssize_t put = ::write(fd, "b", 1);
    // Only a trigger that is a plain file (a test of this library) gets here.
    ::_exit(86);
}

/// Counts the finished lines among `n` bytes written; true when the cut is due.
bool count(const char* data, std::size_t n)
{
    bool due = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (data[i] != '\n') {
            g_state.pending.push_back(data[i]);
            continue;
        }
        if (g_state.match == nullptr || g_state.pending.find(g_state.match) != std::string::npos)
            due = due || ++g_state.lines == g_state.cut_at;
        g_state.pending.clear();
    }
    return due;
}

/// The write of the streams that stand in for stdout and stderr: the bytes go to
/// the descriptor at once, then the finished lines are counted.
ssize_t stream_write(void* cookie, const char* buf, size_t n)
{
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(cookie));
    // The state's own initialisation may run after install(): read it again.
    prepare();
    size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(fd, buf + done, n - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(put);
    }
    if (count(buf, n))
        cut_power();
    return static_cast<ssize_t>(n);
}

/// vorna prints through stdio, which writes inside the C library where no
/// preloaded write() can see it; so stdout and stderr are replaced by streams
/// of this library's own, buffered as before (stdout by line, stderr not at all).
[[gnu::constructor]] void install()
{
    prepare();
    if (g_state.cut_at <= 0)
        return;
    const cookie_io_functions_t io{nullptr, stream_write, nullptr, nullptr};
    FILE* out = ::fopencookie(reinterpret_cast<void*>(std::intptr_t{STDOUT_FILENO}), "w", io);
    FILE* err = ::fopencookie(reinterpret_cast<void*>(std::intptr_t{STDERR_FILENO}), "w", io);
    if (out == nullptr || err == nullptr)
        return;
    std::setvbuf(out, nullptr, _IOLBF, 0);
    std::setvbuf(err, nullptr, _IONBF, 0);
    stdout = out;
    stderr = err;
}

} // namespace
