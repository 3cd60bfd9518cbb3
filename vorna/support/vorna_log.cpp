// SPDX-License-Identifier: Apache-2.0
#include "vorna/support/vorna_log.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The format is checked at the callers, whose declarations carry the attribute.
[[gnu::format(printf, 4, 0)]] void log_line(const char* level, const char* module, int line, const char* fmt,
                                            std::va_list args)
{
    std::printf("[%s]%s:%d | ", level, module, line);
    std::vprintf(fmt, args);
}

} // namespace

void log_error(const char* module, int line, const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    log_line("ERROR", module, line, fmt, args);
    va_end(args);
}

void log_info(const char* module, int line, const char* fmt, ...)
{
    std::va_list args;
    va_start(args, fmt);
    log_line("INFO", module, line, fmt, args);
    va_end(args);
}
