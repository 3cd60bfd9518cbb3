// SPDX-License-Identifier: Apache-2.0
#pragma once
// Progress of long copies on standard error, so that standard output keeps only
// the program's lines. On a terminal: one line "NAME: PCT% DONE/TOTAL bytes",
// redrawn a few times a second at most and cleared at the end. With --progress:
// machine-readable lines "progress NAME DONE TOTAL", one when the copy starts,
// one whenever the whole percentage changes, and one when it is complete.
// With --progress the firmware operations also say which step they are in,
// "stage TEXT" (see progress_stage), so that a caller can follow the whole run.
#include <cstdint>

/// Turns the machine-readable lines on (vorna --progress).
void progress_set_machine(bool on);

/// With --progress, prints the line "stage " and the formatted text on standard
/// error: "check", "write NAME N COUNT", "done". Nothing without it.
[[gnu::format(printf, 1, 2)]] void progress_stage(const char* format, ...);

class progress {
public:
    /// Starts showing the copy of `total` bytes called `name` (kept by pointer).
    progress(const char* name, std::uint64_t total);
    ~progress();
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;

    /// `done` bytes of the total are copied.
    void update(std::uint64_t done);

private:
    void draw(std::uint64_t done);

    const char* name_;
    std::uint64_t total_;
    bool terminal_;
    bool drawn_ = false;
    int last_percent_ = -1;
    std::int64_t last_draw_ns_ = 0;
};
