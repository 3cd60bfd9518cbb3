// SPDX-License-Identifier: Apache-2.0
// The I/O fault library on the positional calls, seen through a probe program
// that makes one pwrite and one pread.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace ts = test_support;

struct probe_case {
    const char* calls;
    int error;
    std::optional<long long> at;
    long long offset;
    const char* want_out;
    const char* want_log;
};

TEST(fail_io, faults_and_cuts_pread_and_pwrite_at_the_offset_they_are_given)
{
    const probe_case cases[] = {
        // A call reaching past the bad spot stops there; one starting there fails.
        {"pwrite", EIO, 100, 0, "pwrite 100 0\npread 200 0\n", "pwrite 0 0 100\n"},
        {"pread", EIO, 50, 50, "pwrite 200 0\npread -1 5\n", "pread 0 50 -1\n"},
        // Error 0: the end of the medium, for every call without a spot.
        {"pread,pwrite", 0, std::nullopt, 4096, "pwrite 0 0\npread 0 0\n", "pwrite 0 4096 0\npread 0 4096 0\n"},
        // The calls at the file position are other calls.
        {"read,write", EIO, std::nullopt, 0, "pwrite 200 0\npread 200 0\n", ""},
    };
    for (const auto& c : cases) {
        ts::temp_dir dir;
        const std::string file = dir.file("device");
        const std::string log = dir.file("faults.log");
        ts::write_file(file, ts::random_bytes(8192, 1));
        ts::write_file(log, {});
        ts::cli_result r;
        {
            ts::scoped_preload preload(VORNA_FAIL_IO_LIB);
            ts::scoped_env watched("VORNA_FAIL_FILES", file);
            ts::scoped_env calls("VORNA_FAIL_CALL", c.calls);
            ts::scoped_env error("VORNA_FAIL_ERRNO", std::to_string(c.error));
            ts::scoped_env logged("VORNA_FAIL_LOG", log);
            std::optional<ts::scoped_env> at;
            if (c.at)
                at.emplace("VORNA_FAIL_AT", std::to_string(*c.at));
            r = ts::run_cli({VORNA_IO_PROBE, file, std::to_string(c.offset), "200"});
        }
        EXPECT_EQ(r.status, 0) << c.calls;
        EXPECT_EQ(r.out, c.want_out) << c.calls;
        EXPECT_EQ(ts::read_text(log), c.want_log) << c.calls;
    }
}

} // namespace
