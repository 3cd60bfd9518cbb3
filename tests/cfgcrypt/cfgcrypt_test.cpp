// SPDX-License-Identifier: Apache-2.0
#include "cfgcrypt/cfgcrypt.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;
using test_support::temp_dir;

namespace {

std::string names_in(const fs::path& folder)
{
    std::set<std::string> sorted;
    for (const auto& e : fs::directory_iterator(folder))
        sorted.insert(e.path().filename().string());
    std::string names;
    for (const auto& n : sorted)
        names += n + "|";
    return names;
}

} // namespace

TEST(ShellQuote, ShellTakesEveryWordLiterally)
{
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    temp_dir dir;
    const std::string sink = dir.file("sink");
    for (std::string word : {"", "a b", "x;touch pwned", "'", "''", "$(id)`id`$HOME", "\"q\" \\n *", "a'b'c\n"}) {
        std::string cmd = "printf %s " + shell_quote(word) + " > " + shell_quote(sink);
        ASSERT_EQ(run_command(cmd.c_str()), 0) << word;
        EXPECT_EQ(test_support::read_text(sink), word);
    }
    EXPECT_EQ(names_in(dir.path()), "sink|");
}

TEST(FormatCommand, FillsTheTemplateWithQuotedPaths)
{
    command_buffer cmd{};
    ASSERT_EQ(format_command(cmd, 'e', "user.cfg", "user.enc", k_cfgcrypt_pass_phrase), 0);
    EXPECT_STREQ(cmd.data(), "openssl enc -aes-128-cbc -e -in 'user.cfg' -out 'user.enc' -pass pass:key_for_savedstate");
    ASSERT_EQ(format_command(cmd, 'd', "my file", "o'k", k_cfgcrypt_pass_phrase), 0);
    EXPECT_STREQ(cmd.data(), "openssl enc -aes-128-cbc -d -in 'my file' -out 'o'\\''k' -pass pass:key_for_savedstate");
}

TEST(FormatCommand, RefusesWhatDoesNotFitWithoutCuttingIt)
{
    // 68 fixed characters plus four quotes leave 1079 for the two paths.
    command_buffer cmd{};
    const std::string out = "o";
    ASSERT_EQ(format_command(cmd, 'e', std::string(1078, 'a'), out, k_cfgcrypt_pass_phrase), 0);
    EXPECT_EQ(std::string(cmd.data()).size(), k_command_size - 1);

    cmd.fill('x');
    EXPECT_EQ(format_command(cmd, 'e', std::string(1079, 'a'), out, k_cfgcrypt_pass_phrase), -1);
    EXPECT_EQ(cmd[0], '\0');
    // A quote costs four characters once escaped, and counts as such.
    EXPECT_EQ(format_command(cmd, 'e', std::string(1074, 'a') + "'", out, k_cfgcrypt_pass_phrase), 0);
    EXPECT_EQ(format_command(cmd, 'e', std::string(1075, 'a') + "'", out, k_cfgcrypt_pass_phrase), -1);
}

TEST(StagedOutput, CommitReplacesTheTargetKeepingItsMode)
{
    temp_dir dir;
    const std::string target = dir.file("user.enc");
    test_support::write_text(target, "previous");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);

    staged_output staged;
    ASSERT_EQ(staged.create(target), 0);
    test_support::write_text(staged.temp_path(), "fresh");
    ASSERT_EQ(staged.commit(), 0);
    EXPECT_EQ(test_support::read_text(target), "fresh");
    EXPECT_EQ(names_in(dir.path()), "user.enc|");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A new file gets what the umask allows, as if openssl had created it.
    mode_t old_mask = ::umask(027);
    staged_output fresh;
    ASSERT_EQ(fresh.create(dir.file("new.enc")), 0);
    ::umask(old_mask);
    ASSERT_EQ(fresh.commit(), 0);
    ASSERT_EQ(::stat(dir.file("new.enc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(StagedOutput, UncommittedOrFailedLeavesNothingBehind)
{
    temp_dir dir;
    const std::string target = dir.file("user.enc");
    test_support::write_text(target, "previous");
    {
        staged_output staged;
        ASSERT_EQ(staged.create(target), 0);
        EXPECT_EQ(fs::path(staged.temp_path()).parent_path(), dir.path());
        test_support::write_text(staged.temp_path(), "half written");
    }
    EXPECT_EQ(names_in(dir.path()), "user.enc|");
    EXPECT_EQ(test_support::read_text(target), "previous");

    // A folder in the way makes the rename fail.
    fs::create_directory(dir.path() / "taken");
    staged_output staged;
    ASSERT_EQ(staged.create(dir.file("taken")), 0);
    EXPECT_EQ(staged.commit(), -1);
    EXPECT_EQ(names_in(dir.path()), "taken|user.enc|");
}

TEST(RunCommand, ReportsTheShellsOutcome)
{
    EXPECT_EQ(run_command("exit 0"), 0);
    EXPECT_EQ(run_command("exit 3"), 3);
    EXPECT_EQ(run_command("no_such_command_here 2>/dev/null"), 127);
    EXPECT_EQ(run_command("kill -KILL $$"), 1);
}

TEST(RunCommand, ShellGetsAnEmptyEnvironment)
{
    ASSERT_EQ(::setenv("CFGCRYPT_PROBE", "1", 1), 0);
    EXPECT_EQ(run_command("[ -z \"${CFGCRYPT_PROBE+set}\" ] && [ -z \"${HOME+set}\" ]"), 0);
    ::unsetenv("CFGCRYPT_PROBE");
}

namespace {
void on_alarm(int) {}
} // namespace

TEST(RunCommand, SignalsDuringTheWaitDoNotEndIt)
{
    struct sigaction sa {};
    sa.sa_handler = on_alarm; // no SA_RESTART: every tick interrupts the wait
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    itimerval tick{{0, 20000}, {0, 20000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &tick, nullptr), 0);
    int status = run_command("sleep 0.3; exit 7");
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(status, 7);
}
