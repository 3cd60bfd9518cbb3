// SPDX-License-Identifier: Apache-2.0
// The single-instance lock on its fixed path. These tests take it, so they run
// one at a time and never beside another test that does.
#include "vorna/cli/vorna_firmware_upgrade.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test_support::cli_result;
using test_support::read_text;
using test_support::run_cli;
using test_support::temp_dir;
using test_support::write_text;

const std::string k_lock = VORNA_LOCK_PATH;
const std::string k_already_running =
    "[ERROR]vorna_firmware_upgrade:305 | The program is already running, exit(-1)\n";
const std::string k_not_acceptable =
    "[ERROR]vorna_firmware_upgrade:306 | The lock file " + k_lock + " is not acceptable, exit(-1)\n";

std::string refused(const std::string& why)
{
    return "lock file " + k_lock + " is not acceptable: " + why + "\n";
}

cli_result vorna(std::vector<std::string> args)
{
    args.insert(args.begin(), VORNA_BIN);
    return run_cli(args);
}

/// The pid that a "file: ... is locked by N" line names; -1 when the line is not that.
long locked_by(const std::string& out)
{
    const std::string prefix = "file: " + k_lock + " is locked by ";
    if (!out.starts_with(prefix) || !out.ends_with("\n"))
        return -1;
    return std::stol(out.substr(prefix.size()));
}

class LockTest : public testing::Test {
protected:
    void SetUp() override
    {
        ::unlink(k_lock.c_str());
        old_mask_ = ::umask(022);
    }
    void TearDown() override
    {
        ::umask(old_mask_);
        ::unlink(k_lock.c_str());
    }

    /// Takes the lock from this process, over a file holding `contents`.
    int hold_lock(const std::string& contents)
    {
        write_text(k_lock, contents);
        int fd = ::open(k_lock.c_str(), O_RDWR);
        EXPECT_GE(fd, 0);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        EXPECT_EQ(::fcntl(fd, F_SETLK, &lock), 0);
        return fd;
    }

    mode_t old_mask_ = 0;
};

TEST_F(LockTest, RunWithoutModeCreatesTheFileWithTheHoldersPid)
{
    cli_result r = vorna({"-d", "/dev/null", "not-an-option"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const long pid = locked_by(r.out);
    ASSERT_GT(pid, 0) << r.out;

    struct stat st {};
    ASSERT_EQ(::lstat(k_lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_text(k_lock), std::to_string(pid) + std::string(1, '\0'));
}

TEST_F(LockTest, StaleFileIsTakenAndRewrittenWhole)
{
    write_text(k_lock, "123456789012345" + std::string(1, '\0') + "left over");
    cli_result r = vorna({"word"});
    EXPECT_EQ(r.status, 0);
    const long pid = locked_by(r.out);
    ASSERT_GT(pid, 0) << r.out;
    EXPECT_EQ(read_text(k_lock), std::to_string(pid) + std::string(1, '\0'));
}

TEST_F(LockTest, UpgradeTakesTheLockBeforeCheckingItsArguments)
{
    cli_result r = vorna({"-u"});
    EXPECT_EQ(r.status, 255);
    const auto lines = test_support::lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_GT(locked_by(lines[0] + "\n"), 0) << lines[0];
    EXPECT_EQ(lines[1] + "\n", "[ERROR]vorna_firmware_upgrade:312 | Missing argument.\n");
}

TEST_F(LockTest, HeldLockIsRefused)
{
    const std::string mine = "4242" + std::string(1, '\0');
    int fd = hold_lock(mine);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-u", "-b", "0x10000", "-d", "/dev/null", "-f", "fw.bin"}, {"-d", "/dev/null"}}) {
        cli_result r = vorna(args);
        EXPECT_EQ(r.err, "file: " + k_lock + " already locked\n");
        EXPECT_EQ(r.out, k_already_running);
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(read_text(k_lock), mine) << "the holder's file is left alone";

    // Modes other than the upgrade never ask for the lock.
    cli_result r = vorna({"-s", "-b", "0x10000", "-d", "/nonexistent"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("already"), std::string::npos) << r.out;
    ::close(fd);
}

TEST_F(LockTest, PlantedSymlinkIsRefusedAndItsTargetUntouched)
{
    temp_dir dir;
    const std::string target = dir.file("precious");
    write_text(target, "keep me");
    ASSERT_EQ(::symlink(target.c_str(), k_lock.c_str()), 0);
    cli_result r = vorna({"-u", "-b", "0x10000", "-d", "/dev/null", "-f", "fw.bin"});
    EXPECT_EQ(r.err, refused("a symbolic link"));
    EXPECT_EQ(r.out, k_not_acceptable);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_text(target), "keep me");

    // A dangling link must not create its target either.
    ASSERT_EQ(::unlink(k_lock.c_str()), 0);
    const std::string absent = dir.file("absent");
    ASSERT_EQ(::symlink(absent.c_str(), k_lock.c_str()), 0);
    r = vorna({"-d", "/dev/null"});
    EXPECT_EQ(r.err, refused("a symbolic link"));
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(::access(absent.c_str(), F_OK), 0);
}

// A hard link would have its target truncated and overwritten with the id.
TEST_F(LockTest, PlantedHardLinkIsRefusedAndItsTargetUntouched)
{
    // Beside the lock: a hard link cannot cross file systems.
    const std::string target = k_lock + ".precious";
    write_text(target, "keep me");
    ASSERT_EQ(::link(target.c_str(), k_lock.c_str()), 0);
    cli_result r = vorna({"-u", "-b", "0x10000", "-d", "/dev/null", "-f", "fw.bin"});
    EXPECT_EQ(r.err, refused("a file with other hard links"));
    EXPECT_EQ(r.out, k_not_acceptable);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_text(target), "keep me");
    ::unlink(target.c_str());
}

TEST_F(LockTest, SomethingElseThanARegularFileIsRefused)
{
    ASSERT_EQ(::mkfifo(k_lock.c_str(), 0644), 0);
    cli_result r = vorna({"-d", "/dev/null"});
    EXPECT_EQ(r.err, refused("not a regular file"));
    EXPECT_EQ(r.out, k_not_acceptable);
    EXPECT_EQ(r.status, 255);
}

// Another user's lock file, as anyone may create one in /tmp: it blocks nothing
// silently, and neither root nor a user is told that an upgrade runs.
TEST_F(LockTest, AForeignLockFileIsReportedAsSuch)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to make files of another user";
    write_text(k_lock, "4242");
    ASSERT_EQ(::chown(k_lock.c_str(), 65534, 65534), 0);
    cli_result r = vorna({"-u", "-b", "0x10000", "-d", "/dev/null", "-f", "fw.bin"});
    EXPECT_EQ(r.err, refused("owned by uid 65534"));
    EXPECT_EQ(r.out, k_not_acceptable);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_text(k_lock), "4242");

    // A user other than root, facing root's lock file.
    if (!test_support::others_can_reach(k_lock))
        GTEST_SKIP() << "another user cannot reach " << k_lock << ": the build folder is private";
    ASSERT_EQ(::chown(k_lock.c_str(), 0, 0), 0);
    std::vector<std::string> argv = test_support::emulated({VORNA_BIN, "-d", "/dev/null"});
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    r = run_cli(argv);
    EXPECT_EQ(r.err, refused("owned by uid 0"));
    EXPECT_EQ(r.out, k_not_acceptable);
    EXPECT_EQ(r.status, 255);
}

// lock_pid_file itself, on a path of the test's own: 0 for the taker, 1 for
// anyone else while the taker lives.
TEST(LockPidFile, SecondProcessGetsOne)
{
    temp_dir dir;
    const std::string path = dir.file("lock.pid");
    testing::internal::CaptureStdout();
    ASSERT_EQ(lock_pid_file(path.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "file: " + path + " is locked by " + std::to_string(::getpid()) + "\n");
    // Reading the file here would drop the lock: a process's record locks on a
    // file go with the first descriptor of that file that it closes.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(lock_pid_file(path.c_str()) & 0xFF);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read_text(path), std::to_string(::getpid()) + std::string(1, '\0'));

    EXPECT_EQ(lock_pid_file(dir.file("no/such/folder").c_str()), -1);
}

} // namespace
