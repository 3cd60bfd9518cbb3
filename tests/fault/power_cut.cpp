// SPDX-License-Identifier: Apache-2.0
// Preloaded into vorna inside the kernel rig to cut the power at an exact point:
// once the chosen line of vorna's output (standard output and standard error
// counted together) has been written, it writes "b" to the kernel's sysrq
// trigger, which resets the machine at once, with no flush of any cache.
//
// Environment:
//   VORNA_CUT_AT_LINE  N >= 1: cut after the N-th counted line
//   VORNA_CUT_MATCH    count only the lines that contain this text (all when unset)
//   VORNA_CUT_TRIGGER  the file written (default /proc/sysrq-trigger)
#include <fcntl.h>
#include <unistd.h>

#include "tests/fault/watched_files.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using write_fn = ssize_t (*)(int, const void*, size_t);

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
    static write_fn real = fault::next_symbol<write_fn>("write");
    if (fd >= 0)
        real(fd, "b", 1);
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

} // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t n)
{
    static write_fn real = fault::next_symbol<write_fn>("write");
    prepare();
    const ssize_t put = real(fd, buf, n);
    if ((fd == STDOUT_FILENO || fd == STDERR_FILENO) && g_state.cut_at > 0 && put > 0 &&
        count(static_cast<const char*>(buf), static_cast<std::size_t>(put)))
        cut_power();
    return put;
}
