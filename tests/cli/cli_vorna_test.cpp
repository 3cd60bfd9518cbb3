// SPDX-License-Identifier: Apache-2.0
// vorna's command line through the real binary, on boards made by vorna-image.
// Nothing here takes the upgrade lock (see cli_lock_test.cpp).
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/cli/vorna_firmware_upgrade.h"
#include "vorna/cli/vorna_version.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using test_support::cli_result;
using test_support::run_cli;
using test_support::temp_dir;
using test_support::write_file;
using test_support::write_text;

const std::string k_usage = "Usage:\n"
                            "\t-c \t\t check firmware.bin\n"
                            "\t-b \t\t the partition table base address\n"
                            "\t-d \t\t the device where can found partition table\n"
                            "\t-r \t\t read partition\n"
                            "\t-w \t\t write partition\n"
                            "\t-n \t\t partition name\n"
                            "\t-i \t\t write file to partition\n"
                            "\t-o \t\t read file from partition\n"
                            "\t-f \t\t the firmware.bin\n"
                            "\n"
                            "Example:\n"
                            "./vorna -c -b 0x10000 -d /dev/mmcblk0 -f firmware.bin\n"
                            "./vorna -u -b 0x10000 -d /dev/mmcblk0 -f firmware.bin\n"
                            "./vorna -s -b 0x10000 -d /dev/mmcblk0 \n"
                            "\n";

const std::string k_description = R"({
  "partition-table": {
    "partition-layout-nor": { "disk-size": "0x100000", "device": "nor.img", "partitions": [
      { "name": "bootloader", "base": "0x0", "size": "0x40000",
        "write_to_flash": true, "write_to_up": true, "encap_type": "raw" },
      { "name": "device-info", "base": "0x40000", "size": "0x10000",
        "write_to_flash": false, "write_to_up": false, "encap_type": "header" } ] },
    "partition-layout-emmc": { "disk-size": "0x100000000", "device": "emmc.img", "partitions": [
      { "name": "rootfs", "base": "0x100000", "size": "0xfff00000",
        "write_to_flash": true, "write_to_up": true, "encap_type": "raw" } ] }
  }
})";

// What `vorna -s` prints for k_description; @ stands for the board's folder.
const std::string k_show = "#############################################################################\n"
                           "#########            partition table info                   #################\n"
                           "#############################################################################\n"
                           "layout           : 0\n"
                           "disk size        : 0x100000\n"
                           "device           : @/nor.img\n"
                           "partition number : 2\n"
                           "\n"
                           "partitions:\n"
                           "index name                           base  size(hex)  size(dec)\n"
                           "---------------------------------------------------------------\n"
                           "    0 bootloader               0x00000000 0x00040000     262144\n"
                           "    1 device-info              0x00040000 0x00010000      65536\n"
                           "---------------------------------------------------------------\n"
                           "---------------------------------------------------------------\n"
                           "layout           : 1\n"
                           "disk size        : 0x100000000\n"
                           "device           : @/emmc.img\n"
                           "partition number : 1\n"
                           "\n"
                           "partitions:\n"
                           "index name                           base  size(hex)  size(dec)\n"
                           "---------------------------------------------------------------\n"
                           "    0 rootfs                   0x00100000 0xFFF00000 4293918720\n"
                           "---------------------------------------------------------------\n"
                           "---------------------------------------------------------------\n"
                           "#############################################################################\n";

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

cli_result vorna(std::vector<std::string> args)
{
    args.insert(args.begin(), VORNA_BIN);
    return run_cli(args);
}

std::string err(int line, const std::string& text, const char* module = "vorna_ptn")
{
    return test_support::error_line(module, line, text);
}

std::string missing(int line)
{
    return err(line, "Missing argument.\n", "vorna_firmware_upgrade");
}

class VornaCli : public testing::Test {
protected:
    void SetUp() override
    {
        write_text(dir_.file("board.json"), k_description);
        cli_result made = run_cli({VORNA_IMAGE_BIN, "board", dir_.file("board.json"), board_dir()});
        ASSERT_EQ(made.status, 0) << made.err;
        table_ = board_dir() + "/table.img";
        show_ = replace_all(k_show, "@", board_dir());
    }

    std::string board_dir() const { return dir_.file("board"); }

    /// A table device that holds `text` at 0x10000.
    std::string raw_table(const std::string& text)
    {
        std::vector<std::uint8_t> bytes(0x10000 + text.size(), 0);
        std::copy(text.begin(), text.end(), bytes.begin() + 0x10000);
        write_file(dir_.file("raw.img"), bytes);
        return dir_.file("raw.img");
    }

    void expect_show(const cli_result& r, const std::string& what)
    {
        EXPECT_EQ(r.out, show_) << what;
        EXPECT_EQ(r.status, 0) << what;
    }

    temp_dir dir_;
    std::string table_;
    std::string show_;
};

TEST_F(VornaCli, UsageTextAndItsStatuses)
{
    cli_result r = vorna({});
    EXPECT_EQ(r.out, k_usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"--help"}, {"--he"}, {"-s", "-b", "0x10000", "-d", table_, "-h"}}) {
        r = vorna(args);
        EXPECT_EQ(r.out, k_usage) << args[0];
        EXPECT_EQ(r.status, 0) << args[0];
    }
}

TEST_F(VornaCli, EveryMissingArgumentLine)
{
    struct {
        std::vector<std::string> args;
        int line;
    } cases[] = {
        {{"-s", "-d", table_}, 256},
        {{"-s", "-b", "0", "-d", table_}, 256},
        {{"-s", "-b", "zz", "-d", table_}, 256},
        {{"-s", "-b", "0x10000"}, 256},
        {{"-c", "-b", "0x10000", "-d", table_}, 267},
        {{"-c", "-f", "fw.bin", "-d", table_}, 267},
        {{"-c", "-f", "fw.bin", "-b", "0x10000"}, 267},
        {{"-v", "-f", "fw.bin", "-d", table_, "-b", "0x10000"}, 277},
        {{"-v", "-o", "out"}, 277},
        {{"-r", "-d", table_, "-b", "0x10000", "-n", "rootfs"}, 287},
        {{"-r", "-d", table_, "-n", "rootfs", "-o", "out"}, 287},
        {{"-r", "-b", "0x10000", "-n", "rootfs", "-o", "out"}, 287},
        {{"-r", "-d", table_, "-b", "0x10000", "-o", "out"}, 287},
        {{"-w", "-d", table_, "-b", "0x10000", "-n", "rootfs"}, 297},
        {{"-w", "-d", table_, "-b", "0", "-n", "rootfs", "-i", "in"}, 297},
        {{"-w", "-b", "0x10000", "-n", "rootfs", "-i", "in"}, 297},
        {{"-w", "-d", table_, "-b", "0x10000", "-i", "in"}, 297},
    };
    for (const auto& c : cases) {
        cli_result r = vorna(c.args);
        EXPECT_EQ(r.out, missing(c.line)) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.status, 255);
    }
}

TEST_F(VornaCli, BaseIsHexadecimalWithOrWithoutPrefix)
{
    for (const char* base : {"10000", "0x10000", "0X10000", " 0x10000", "10000zz"})
        expect_show(vorna({"-s", "-b", base, "-d", table_}), base);
    // Only the low 32 bits count: this is 0x10000 again.
    expect_show(vorna({"-s", "-b", "0x100010000", "-d", table_}), "0x100010000");
    // Another base reads other bytes, which are no table.
    cli_result r = vorna({"-s", "-b", "0x8000", "-d", table_});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with(err(421, "Failed to parse json.\n") + err(508, "Failed to build ptn table.\n")))
        << r.out;
}

// The base is an unsigned 32-bit offset: a table beyond 2 GiB - 1 is found there.
TEST_F(VornaCli, TableBeyondTwoGiB)
{
    const auto table = test_support::read_file(table_);
    const std::string big = dir_.file("big.img");
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    // The same table text, moved from 0x10000 to 0x90010000 of a sparse file.
    const auto text_len = static_cast<std::size_t>(table.size() - 0x10000);
    ASSERT_EQ(::pwrite(fd, table.data() + 0x10000, text_len, 0x90010000), static_cast<ssize_t>(text_len));
    ::close(fd);
    expect_show(vorna({"-s", "-b", "0x90010000", "-d", big}), "beyond 2 GiB");
    cli_result r = vorna({"-s", "-b", "0x10010000", "-d", big});
    EXPECT_EQ(r.status, 255) << "nothing but zeros where the low 31 bits point";
}

TEST_F(VornaCli, LongOptionsPrefixesAttachedArgumentsAndPermutation)
{
    const std::vector<std::vector<std::string>> forms = {
        {"--show", "--ptn-base=0x10000", "--device=" + table_},
        {"--show", "--ptn-base", "0x10000", "--device", table_},
        {"--sh", "--ptn-b=10000", "--dev", table_},
        {"-s", "-b0x10000", "-d" + table_},
        {"-sb0x10000", "-d", table_},
        {"word", "-s", "other", "-d", table_, "third", "-b", "0x10000", "last"},
        {"-s", "-d", "/nonexistent", "-d", table_, "-b", "1", "-b", "0x10000"},
    };
    for (const auto& args : forms) {
        cli_result r = vorna(args);
        expect_show(r, args[0] + " " + args[1]);
        EXPECT_EQ(r.err, "");
    }
}

// A typo must not pass for success: the parser's complaint, the usage text and
// 255, before any mode runs or the lock is taken.
TEST_F(VornaCli, ParserComplaintsEndTheRunWithTheUsage)
{
    struct {
        std::vector<std::string> args;
        std::string complaint;
    } cases[] = {
        {{"-x", "-s", "-b", "0x10000", "-d", table_}, "-- 'x'"},
        {{"-h", "--bogus"}, "--bogus"},
        // "--ptn" could be --ptn-base or --ptn-name.
        {{"-s", "--ptn=0x10000", "-d", table_}, "ambiguous"},
        // A required argument that never comes.
        {{"-s", "-d", table_, "-b"}, "requires an argument"},
        {{"--upgade", "-b", "0x10000", "-d", table_, "-f", "fw.bin"}, "--upgade"},
    };
    for (const auto& c : cases) {
        cli_result r = vorna(c.args);
        EXPECT_EQ(r.out, k_usage) << c.args[0];
        EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 255) << c.args[0];
    }
}

TEST_F(VornaCli, ModePrecedence)
{
    // -h before everything, -s before every other mode: no operation runs.
    cli_result r = vorna({"-u", "-w", "-r", "-v", "-c", "-s", "-h", "-b", "0x10000", "-d", table_});
    EXPECT_EQ(r.out, k_usage);
    EXPECT_EQ(r.status, 0);
    expect_show(vorna({"-u", "-w", "-r", "-v", "-c", "-s", "-b", "0x10000", "-d", table_, "-f", "fw", "-n", "rootfs",
                       "-o", "out", "-i", "in"}),
                "show first");
    // The higher mode is chosen even when it lacks what it needs.
    struct {
        std::vector<std::string> args;
        int line;
    } cases[] = {
        {{"-u", "-w", "-r", "-v", "-c", "-f", "fw", "-o", "out"}, 267},
        {{"-u", "-w", "-r", "-v", "-d", table_, "-b", "0x10000", "-n", "rootfs", "-o", "out"}, 277},
        {{"-u", "-w", "-r", "-d", table_, "-b", "0x10000", "-n", "rootfs", "-i", "in"}, 287},
        // The write outranks the upgrade, so no lock is taken either.
        {{"-u", "-w", "-d", table_, "-b", "0x10000", "-f", "fw", "-n", "rootfs"}, 297},
    };
    for (const auto& c : cases) {
        r = vorna(c.args);
        EXPECT_EQ(r.out, missing(c.line)) << c.line;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
    }
}

TEST_F(VornaCli, ProgramVersionNamesTheBuiltInKeyAndRanksWithHelp)
{
    // vorna_dev trusts keys/dev_public_key.txt, whose fingerprint was made with sha256sum.
    const std::string expected = "vorna " + std::string(vorna_version) + "\nlegacy key: 6be8d39dcf48250c\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-V"},
          {"--program-version"},
          {"--progra"},
          {"-u", "-w", "-r", "-v", "-c", "-s", "-V", "-b", "0x10000", "-d", table_, "-f", "fw", "-o", "out"}}) {
        cli_result r = vorna(args);
        EXPECT_EQ(r.out, expected) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
        EXPECT_EQ(r.status, 0) << args[0];
    }
    EXPECT_EQ(vorna({"-V", "-h"}).out, k_usage);
    // "--ver" still means --version, the export, which then lacks its arguments.
    EXPECT_EQ(vorna({"--ver"}).out, missing(277));
}

TEST_F(VornaCli, ShowPrintsEmptyLayouts)
{
    const std::string table = raw_table(R"({"partition-layout-nor":{"disk-size":"10000","device":"/dev/a",)"
                                        R"("partitions":[]},"partition-layout-emmc":{"disk-size":"0",)"
                                        R"("device":"","partitions":[]}} trailing bytes)");
    cli_result r = vorna({"-s", "-b", "0x10000", "-d", table});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string rule(63, '-');
    const std::string empty_nor = "layout           : 0\n"
                                  "disk size        : 0x10000\n"
                                  "device           : /dev/a\n"
                                  "partition number : 0\n"
                                  "\n"
                                  "partitions:\n"
                                  "index name                           base  size(hex)  size(dec)\n" +
                                  rule + "\n" + rule + "\n" + rule + "\n";
    EXPECT_NE(r.out.find(empty_nor), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("layout           : 1\ndisk size        : 0x0\ndevice           : \n"), std::string::npos);
}

// Each failure prints its line and every caller adds its own, up to -s's 508.
TEST_F(VornaCli, ShowFailureChains)
{
    const std::string show_failed = err(508, "Failed to build ptn table.\n");
    const std::string table_failed = err(434, "Failed to parse json -> ptn table struct.\n");
    const std::string nor_failed = err(374, "Failed to parse json[ptn_layout] -> ptn_layout struct.\n");
    const std::string emmc_failed = err(386, "Failed to parse json[ptn_layout] -> ptn_layout struct.\n");
    const std::string validate = err(326, "ptn table validate failed.\n");
    auto ptn = [](const std::string& name, const std::string& base, const std::string& size) {
        return R"({"name":")" + name + R"(","base":")" + base + R"(","size":")" + size +
               R"(","write_to_flash":true,"write_to_up":true,"encap_type":"raw"})";
    };
    auto layout = [](const std::string& ptns, const std::string& head = R"("disk-size":"0x10000","device":"/dev/x")") {
        return "{" + head + R"(,"partitions":[)" + ptns + "]}";
    };
    auto doc = [](const std::string& nor, const std::string& emmc) {
        return R"({"partition-layout-nor":)" + nor + R"(,"partition-layout-emmc":)" + emmc + "}";
    };
    const std::string good = layout(ptn("a", "0", "100"));
    const std::string name40(40, 'n');
    struct {
        std::string doc;
        std::string out;
    } cases[] = {
        {doc(good, layout(ptn(name40, "0", "1"))),
         err(215, "ptn json 'name' string len too long, '" + name40 + "', 40/32\n") + emmc_failed},
        {doc(layout(ptn("a", "0", "0")), good), err(103, "PTN[a] size is 0.\n") + validate + nor_failed},
        {doc(good, layout(ptn("a", "0xff00", "0x101"))),
         err(113, "PTN[a,0x0000ff00,0x00000101] cause disk[0x10000] overflow.\n") + validate + emmc_failed},
        {doc(layout(ptn("a", "0", "10") + "," + ptn("a", "10", "10")), good),
         err(121, "PTN[0] and PTN[1] Name conflict : 'a'.\n") + validate + nor_failed},
        {doc(layout(ptn("a", "20", "10") + "," + ptn("b", "10", "10")), good),
         err(129, "PTN[b](1) base(0x00000010) <= PTN[a](0) base(0x00000020).\n") + validate + nor_failed},
        {doc(good, layout(ptn("a", "0", "10") + "," + ptn("b", "f", "10"))),
         err(137, "PTN[b](1) base(0x0000000f) < PTN[a](0) base+size(0x00000010).\n") + validate + emmc_failed},
        {doc(layout("", R"("disk-size":65536,"device":"/dev/x")"), good),
         err(163, "'disk-size' must be String type.\n") + nor_failed},
        {doc(good, layout("", R"("disk-size":"10000","device":["/dev/x"])")),
         err(171, "'device' must be String type.\n") + emmc_failed},
    };
    for (const auto& c : cases) {
        cli_result r = vorna({"-s", "-b", "0x10000", "-d", raw_table(c.doc)});
        EXPECT_EQ(r.out, c.out + table_failed + show_failed) << c.doc;
        EXPECT_EQ(r.status, 255);
    }

    cli_result r = vorna({"-s", "-b", "0x10000", "-d", dir_.file("missing")});
    EXPECT_EQ(r.out, err(415, "failed to read ptn_table content.\n") + show_failed);
    EXPECT_EQ(r.status, 255);
    r = vorna({"-s", "-b", "0x10000", "-d", raw_table("{}")});
    EXPECT_EQ(r.out, err(368, "'partition-layout-nor' not found.\n") + table_failed + show_failed);
    r = vorna({"-s", "-b", "0x10000", "-d", raw_table(R"({"partition-layout-nor":)" + good + "}")});
    EXPECT_EQ(r.out, err(380, "'partition-layout-emmc' not found.\n") + table_failed + show_failed);
}

TEST_F(VornaCli, ShowOfABoardTable)
{
    cli_result r = vorna({"-s", "-b", "0x10000", "-d", table_});
    EXPECT_EQ(r.out, show_);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A run that ends without flushing (killed, or cut off by a power loss) has still
// handed every line it printed to the pipe that reads it.
TEST_F(VornaCli, EachLineReachesAPipeWhenItIsPrinted)
{
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        // What standard output gets by default on a pipe.
        std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
        std::vector<std::string> words = {"vorna", "-s", "-b", "0x10000", "-d", dir_.file("missing")};
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        (void)vorna_main(static_cast<int>(words.size()), argv.data());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string printed;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        printed.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(printed, err(415, "failed to read ptn_table content.\n") + err(508, "Failed to build ptn table.\n"));
}

} // namespace
