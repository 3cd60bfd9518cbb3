// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one way vorna prints its progress and failures:
//   "[ERROR]<module>:<line> | <text>"  and  "[INFO]<module>:<line> | <text>"
// on standard output. Callers pass the module's name and a named line constant;
// the message text (with its own trailing newline) stays at the call site.

/// Prints "[ERROR]module:line | " followed by the formatted text on stdout.
[[gnu::format(printf, 3, 4)]] void log_error(const char* module, int line, const char* fmt, ...);

/// Prints "[INFO]module:line | " followed by the formatted text on stdout.
[[gnu::format(printf, 3, 4)]] void log_info(const char* module, int line, const char* fmt, ...);
