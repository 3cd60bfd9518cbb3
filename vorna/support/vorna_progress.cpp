// SPDX-License-Identifier: Apache-2.0
#include "vorna/support/vorna_progress.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

bool g_machine = false;

constexpr std::int64_t k_redraw_ns = 250'000'000; // at most four redraws a second

std::int64_t now_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int percent_of(std::uint64_t done, std::uint64_t total)
{
    return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

} // namespace

void progress_set_machine(bool on)
{
    g_machine = on;
}

void progress_stage(const char* format, ...)
{
    if (!g_machine)
        return;
    // Formatted first, so that the line goes out in one call on the unbuffered stream.
    char text[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= 0)
        std::fprintf(stderr, "stage %s\n", text);
}

progress::progress(const char* name, std::uint64_t total)
    : name_(name), total_(total), terminal_(::isatty(STDERR_FILENO) == 1)
{
    update(0);
}

progress::~progress()
{
    // The terminal line is cleared, so that the next line starts clean.
    if (drawn_)
        std::fputs("\r\033[K", stderr);
}

void progress::update(std::uint64_t done)
{
    int percent = percent_of(done, total_);
    if (g_machine && percent != last_percent_)
        std::fprintf(stderr, "progress %s %llu %llu\n", name_, static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total_));
    last_percent_ = percent;
    // Machine lines and a redrawn line would garble each other.
    if (terminal_ && !g_machine)
        draw(done);
}

void progress::draw(std::uint64_t done)
{
    std::int64_t now = now_ns();
    if (drawn_ && done != total_ && now - last_draw_ns_ < k_redraw_ns)
        return;
    last_draw_ns_ = now;
    drawn_ = true;
    std::fprintf(stderr, "\r%s: %3d%% %llu/%llu bytes", name_, percent_of(done, total_),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
}
