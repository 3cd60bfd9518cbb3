// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a call prints on standard output, for unit tests of the modules' messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace test_support {

/// Runs `fn` and returns what it printed on stdout.
inline std::string printed(const std::function<void()>& fn)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace test_support
