// SPDX-License-Identifier: Apache-2.0
#pragma once
// The line numbers of a module that spans files, declared from one list.
// LIST(X) names every line as X(name, number); VORNA_DECLARE_LINES makes of it
// the enum `type` of the names and `known(line)`, whose switch takes every number
// as a case label, so that a number listed twice does not compile.

#define VORNA_LINE_ENUMERATOR(name, number) name = number,
#define VORNA_LINE_CASE(name, number) case number:

#define VORNA_DECLARE_LINES(type, known, LIST)                                                                         \
    enum type : int { LIST(VORNA_LINE_ENUMERATOR) };                                                                   \
    constexpr bool known(int line)                                                                                     \
    {                                                                                                                  \
        switch (line) {                                                                                                \
            LIST(VORNA_LINE_CASE)                                                                                      \
            return true;                                                                                               \
        default: return false;                                                                                         \
        }                                                                                                              \
    }
