// SPDX-License-Identifier: Apache-2.0
#pragma once
// Checks of internal contracts (a missing JSON root or output record, a missing
// array element). They stay active in every build type: a broken contract ends
// the program with the same report as the C library's assert, naming the
// expression and the line the module assigns to it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

/// Prints "<program>: <file>:<line>: <function>: Assertion `<expression>' failed."
/// on stderr and aborts.
[[noreturn]] inline void contract_failed(const char* expression, const char* file, int line, const char* function)
{
    // Lines already printed on stdout belong before the report.
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line,
                 function, expression);
    std::abort();
}

/// Aborts through contract_failed unless `holds`.
inline void contract(bool holds, const char* expression, const char* file, int line, const char* function)
{
    if (!holds)
        contract_failed(expression, file, line, function);
}
