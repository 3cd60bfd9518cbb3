// SPDX-License-Identifier: Apache-2.0
// The vorna that is installed, whatever key the build trusts. The other
// command-line tests run vorna_dev, a copy built with the development key; this
// is the one test of the program itself, which checks what can be checked
// without the configured key's private half.
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>

namespace {

using namespace firmware_cli;
using test_support::lines_of;
using test_support::random_bytes;
using test_support::run_cli;
using test_support::temp_dir;

TEST(ShippedVorna, VersionNamesTheConfiguredKey)
{
    auto r = run_cli({VORNA_SHIPPED_BIN, "-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("vorna ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], std::string("legacy key: ") + VORNA_SHIPPED_FINGERPRINT);
    // Then one line per configured strong key.
    EXPECT_EQ(lines.size(), 2u + VORNA_SHIPPED_STRONG_KEYS) << r.out;
}

TEST(ShippedVorna, AnImageSignedWithTheDevelopmentKeyPassesOnlyWhereThatKeyIsTrusted)
{
    board b;
    temp_dir work;
    image_plan plan;
    plan.parts = {{"kernel", 0x100000, 0x100000, "\"emmc\"", random_bytes(30000, 3)}};
    const std::string image = pack(work, plan);
    auto r = run_cli({VORNA_SHIPPED_BIN, "-c", "-b", "0x10000", "-d", b.table, "-f", image});
    // The same image passes the test copy built with the development key.
    auto dev = run_cli({VORNA_BIN, "-c", "-b", "0x10000", "-d", b.table, "-f", image});
    EXPECT_EQ(dev.status, 0) << dev.out;
    if (VORNA_SHIPPED_IS_DEV_KEY) {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, dev.out);
    } else {
        EXPECT_EQ(r.status, 252) << r.out;
        EXPECT_EQ(lines_of(r.out),
                  (std::vector<std::string>{"[ERROR]vorna_firmware:204 | firmware RSA verify failed", ""}));
    }
}

} // namespace
