// SPDX-License-Identifier: Apache-2.0
// Runs the real cfgcrypt, which runs the real openssl; openssl itself, called
// directly, is the independent judge of what cfgcrypt wrote.
#include "tests/support/test_support.h"
#include "vorna/cli/vorna_version.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::read_text;
using test_support::temp_dir;
using test_support::write_file;
using test_support::write_text;

namespace {

test_support::cli_result cfgcrypt(std::vector<std::string> args, const temp_dir& cwd)
{
    args.insert(args.begin(), CFGCRYPT_BIN);
    return test_support::run_cli(args, cwd.path().string());
}

/// `openssl enc` with the given arguments (paths without quotes); its exit status.
int openssl_enc(const std::string& args)
{
    int rc = std::system(("openssl enc -aes-128-cbc " + args + " 2>/dev/null").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string names_in(const temp_dir& dir)
{
    std::set<std::string> sorted;
    for (const auto& e : fs::directory_iterator(dir.path()))
        sorted.insert(e.path().filename().string());
    std::string names;
    for (const auto& n : sorted)
        names += n + "|";
    return names;
}

std::string names_in_path(const std::string& path)
{
    std::string names;
    for (const auto& e : fs::directory_iterator(path))
        names += e.path().filename().string() + "|";
    return names;
}

/// Starts cfgcrypt with `args` in `dir`, its output going nowhere; its pid.
pid_t start_cfgcrypt(const std::vector<std::string>& args, const temp_dir& dir)
{
    std::vector<std::string> argv = {CFGCRYPT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv = test_support::emulated(argv);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (auto& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        if (::chdir(dir.path().c_str()) == 0)
            ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    return pid;
}

const std::string k_missing_in_out = "[ERROR][main:149]: Missing arg(in or out missing)!\r\n";
const std::string k_missing_direction = "[ERROR][main:156]: Missing arg(decrypt or encrypt missing)!\r\n";
const std::string k_duplicate = "[ERROR][main:163]: Duplicate arg(decrypt or encrypt duplicate)!\r\n";

} // namespace

TEST(CfgcryptCli, ArgumentErrorsInTheirOrder)
{
    struct error_case {
        std::vector<std::string> args;
        const std::string& out;
    };
    const error_case cases[] = {
        {{}, k_missing_in_out},
        {{"-e", "-i", "a"}, k_missing_in_out},
        {{"-d", "-e", "-o", "b"}, k_missing_in_out}, // missing paths come before the duplicate
        {{"-i", "a", "-o", "b"}, k_missing_direction},
        {{"stray", "--in", "a", "--out", "b"}, k_missing_direction},
        {{"-e", "-d", "-i", "a", "-o", "b"}, k_duplicate},
        {{"--encrypt", "--decrypt", "--in", "a", "--out", "b"}, k_duplicate},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        auto r = cfgcrypt(c.args, dir);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
    }
    auto unknown = cfgcrypt({"-x", "-e", "-i", "a"}, dir);
    EXPECT_EQ(unknown.out, k_missing_in_out);
    EXPECT_NE(unknown.err, "");
    EXPECT_EQ(unknown.status, 255);
    // Help comes before every check and runs nothing.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-h"}, {"--help", "-e", "-d", "-i", "a"}}) {
        auto help = cfgcrypt(args, dir);
        EXPECT_TRUE(help.out.starts_with("Usage: cfgcrypt -e|-d -i INPUT -o OUTPUT\n")) << help.out;
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.status, 0);
    }
    // --version prints the project's version, as vorna does; it has no short form.
    auto version = cfgcrypt({"--version", "-e", "-i", "a"}, dir);
    EXPECT_EQ(version.out, "cfgcrypt " + std::string(vorna_version) + "\n");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(cfgcrypt({"-V", "-e", "-i", "a"}, dir).out, k_missing_in_out);
    EXPECT_EQ(names_in(dir), "");
}

TEST(CfgcryptCli, RoundTripIsByteExactAndOpensslAgrees)
{
    temp_dir dir;
    for (std::size_t size : {0u, 1u, 16u, 4099u}) {
        SCOPED_TRACE(size);
        const auto plain = test_support::random_bytes(size, static_cast<std::uint32_t>(size) + 1);
        write_file(dir.file("plain"), plain);
        auto enc = cfgcrypt({"--encrypt", "--in", "plain", "--out", "enc"}, dir);
        ASSERT_EQ(enc.status, 0) << enc.out << enc.err;
        EXPECT_EQ(enc.out, "");
        EXPECT_NE(read_file(dir.file("enc")), plain);

        ASSERT_EQ(openssl_enc("-d -pass pass:key_for_savedstate -in " + dir.file("enc") + " -out " +
                              dir.file("oracle")),
                  0);
        EXPECT_EQ(read_file(dir.file("oracle")), plain);

        auto dec = cfgcrypt({"--decr", "--in=enc", "--out=back"}, dir);
        ASSERT_EQ(dec.status, 0) << dec.out << dec.err;
        EXPECT_EQ(read_file(dir.file("back")), plain);
    }
    // And the other way round: what openssl wrote, cfgcrypt reads.
    ASSERT_EQ(openssl_enc("-e -pass pass:key_for_savedstate -in " + dir.file("plain") + " -out " + dir.file("o.enc")),
              0);
    ASSERT_EQ(cfgcrypt({"-i", "nothing", "-d", "-i", "o.enc", "-o", "o.dec"}, dir).status, 0);
    EXPECT_EQ(read_file(dir.file("o.dec")), read_file(dir.file("plain")));
    EXPECT_EQ(names_in(dir), "back|enc|o.dec|o.enc|oracle|plain|");
}

TEST(CfgcryptCli, PathsReachOpensslLiterally)
{
    temp_dir dir;
    const std::string in = "my conf's; touch INJECTED";
    const std::string enc = "out $(touch X) `touch Y` \"q\".enc";
    write_text(dir.file(in), "user=admin\n");
    ASSERT_EQ(cfgcrypt({"-e", "-i", in, "-o", enc}, dir).status, 0);
    ASSERT_EQ(cfgcrypt({"-d", "-i", enc, "-o", "a b"}, dir).status, 0);
    EXPECT_EQ(read_text(dir.file("a b")), "user=admin\n");
    EXPECT_EQ(names_in(dir), "a b|" + in + "|" + enc + "|");
}

TEST(CfgcryptCli, FailedDecryptionKeepsThePreviousOutput)
{
    temp_dir dir;
    write_text(dir.file("plain"), "secret settings\n");
    // A fixed salt makes this a file on which the built-in key is sure to fail.
    ASSERT_EQ(openssl_enc("-e -S 0102030405060708 -pass pass:wrong_key -in " + dir.file("plain") + " -out " +
                          dir.file("other.enc")),
              0);
    write_text(dir.file("out"), "previous");
    auto r = cfgcrypt({"-d", "-i", "other.enc", "-o", "out"}, dir);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(read_text(dir.file("out")), "previous");

    auto missing = cfgcrypt({"-e", "-i", "absent", "-o", "new"}, dir);
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(names_in(dir), "other.enc|out|plain|");
}

TEST(CfgcryptCli, SameFileInAndOutAndOutputThroughALink)
{
    temp_dir dir;
    const auto plain = test_support::random_bytes(1000, 7);
    write_file(dir.file("f"), plain);
    ASSERT_EQ(cfgcrypt({"-e", "-i", "f", "-o", "f"}, dir).status, 0);
    EXPECT_NE(read_file(dir.file("f")), plain);
    // A link at the output is replaced by the output, not followed.
    const auto encrypted = read_file(dir.file("f"));
    fs::create_symlink("f", dir.path() / "link");
    ASSERT_EQ(cfgcrypt({"-d", "-i", "link", "-o", "link"}, dir).status, 0);
    EXPECT_FALSE(fs::is_symlink(dir.path() / "link"));
    EXPECT_EQ(read_file(dir.file("link")), plain);
    EXPECT_EQ(read_file(dir.file("f")), encrypted);
    EXPECT_EQ(names_in(dir), "f|link|");
}

// Stopped while openssl is still reading its input: openssl ends, and neither
// the temporary file (the plain text so far) nor a changed output remains.
TEST(CfgcryptCli, StopSignalsEndTheCommandAndRemoveTheTemporaryFile)
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        temp_dir dir;
        write_text(dir.file("plain"), std::string(100000, 'p'));
        ASSERT_EQ(openssl_enc("-e -pass pass:key_for_savedstate -in " + dir.file("plain") + " -out " + dir.file("enc")),
                  0);
        const auto enc = read_file(dir.file("enc"));
        write_text(dir.file("out"), "previous");
        ASSERT_EQ(::mkfifo(dir.file("in").c_str(), 0600), 0);
        pid_t pid = start_cfgcrypt({"-d", "-i", "in", "-o", "out"}, dir);
        ASSERT_GE(pid, 0);
        // The FIFO opens once openssl reads it: the temporary file exists by then.
        int fd = ::open(dir.file("in").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, enc.data(), enc.size() / 2), static_cast<ssize_t>(enc.size() / 2));
        EXPECT_EQ(names_in(dir).find(".cfgcrypt-") != std::string::npos, true);
        ::kill(pid, sig);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 128 + sig) << sig << " " << wstatus;
        // openssl has gone (it may take a moment to be reaped): nobody reads the FIFO any more.
        ssize_t put = 0;
        for (int i = 0; i < 200 && put >= 0; ++i, ::usleep(10000))
            put = ::write(fd, enc.data(), 1);
        EXPECT_EQ(put, -1);
        ::close(fd);
        EXPECT_EQ(names_in(dir), "enc|in|out|plain|") << sig;
        EXPECT_EQ(read_text(dir.file("out")), "previous");
    }
}

// A character device is written in place; a full disk leaves the old output.
TEST(CfgcryptCli, DevicesInPlaceAndAFullDiskChangesNothing)
{
    temp_dir dir;
    write_text(dir.file("plain"), std::string(50000, 'p'));
    EXPECT_EQ(cfgcrypt({"-e", "-i", "plain", "-o", "/dev/null"}, dir).status, 0);
    write_text(dir.file("out"), "previous");
    test_support::cli_result r;
    {
        test_support::file_size_limit limit(1000);
        r = cfgcrypt({"-e", "-i", "plain", "-o", "out"}, dir);
    }
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(read_text(dir.file("out")), "previous");
    EXPECT_EQ(names_in(dir), "out|plain|");
}

TEST(CfgcryptCli, OverLongCommandIsRefusedAndNothingRuns)
{
    temp_dir dir;
    std::string deep;
    while (deep.size() < 1100)
        deep += "folder/";
    auto r = cfgcrypt({"-e", "-i", deep + "in", "-o", "out"}, dir);
    EXPECT_EQ(r.out, "[ERROR][main:170]: Command too long(in or out path too long)!\r\n");
    EXPECT_EQ(r.err, ""); // openssl would have complained about the missing input
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(names_in(dir), "");
}

// A second user who can write the output's folder (not sticky) swaps whatever
// cfgcrypt makes there for a link to a root file, as fast as a loop can: the
// temporary output lives in a private folder that openssl reaches through
// cfgcrypt's own descriptor, so the root file stays as it was and the output is
// cfgcrypt's own ciphertext.
TEST(CfgcryptCli, AnotherUserCannotSwapTheTemporaryOutput)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0 || ::access("/usr/bin/perl", X_OK) != 0)
        GTEST_SKIP() << "needs root, setpriv and perl to run the swapping process as another user";
    temp_dir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const std::string shared = dir.file("shared");
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all); // 0777, not sticky
    write_text(dir.file("precious"), "keep me");
    write_file(dir.file("plain"), test_support::random_bytes(2 << 20, 40));
    // Renames every entry cfgcrypt makes and puts a link (or a folder holding
    // one under the temporary file's name) in its place.
    const std::string swapper = R"(
        my ($d, $v) = @ARGV;
        for (;;) {
            opendir(my $h, $d) or next;
            for my $e (readdir $h) {
                next unless $e =~ /^\.cfgcrypt-\w{6}$/;
                my $p = "$d/$e";
                next if -l $p || -o $p;
                if (rename($p, "$p.x")) {
                    if (-d "$p.x") { mkdir($p); symlink($v, "$p/out"); } else { symlink($v, $p); }
                }
            }
            closedir $h;
        })";
    std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      "/usr/bin/perl", "-e", swapper, shared, dir.file("precious")};
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // A swapper that wins every one of cfgcrypt's tries to make its folder is
    // refused (safe, and no worse than deleting the output); most runs go through.
    int done = 0;
    for (int run = 0; run < 10; ++run) {
        auto r = cfgcrypt({"-e", "-i", "plain", "-o", "shared/out.enc"}, dir);
        done += r.status == 0 ? 1 : 0;
        if (r.status != 0) {
            EXPECT_EQ(r.out, "[ERROR][main:177]: Create temp file failed(shared/.cfgcrypt-XXXXXX: Operation not "
                             "permitted)!\r\n")
                << run;
        }
    }
    EXPECT_GT(done, 0);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    EXPECT_TRUE(read_text(dir.file("precious")) == "keep me") << "the root file was written through a link";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shared + "/out.enc")));
    EXPECT_EQ(openssl_enc("-d -pass pass:key_for_savedstate -in " + shared + "/out.enc -out " + dir.file("back")), 0);
    EXPECT_TRUE(read_file(dir.file("back")) == read_file(dir.file("plain")));
    // The swapper did reach cfgcrypt's entries: each one it moved stays behind.
    int moved = 0;
    for (const auto& e : fs::directory_iterator(shared))
        moved += e.path().filename().string().ends_with(".x") ? 1 : 0;
    EXPECT_GT(moved, 0) << names_in_path(shared);
}

// A drop folder: its user may write and search it, not list it, so cfgcrypt
// cannot open it to sync it. The output is replaced all the same (root's old
// one too), and the status says so.
TEST(CfgcryptCli, ADropFolderGetsItsOutputAndAStatusThatSaysSo)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run cfgcrypt as another user";
    temp_dir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const auto plain = test_support::random_bytes(5000, 11);
    write_file(dir.file("plain"), plain);
    const std::string drop = dir.file("drop");
    fs::create_directory(drop);
    fs::permissions(drop,
                    fs::perms::owner_write | fs::perms::owner_exec | fs::perms::others_write | fs::perms::others_exec);
    for (const auto& [cwd, out] : {std::pair{dir.path().string(), "drop/out.enc"}, {drop, "out.enc"}}) {
        write_text(drop + "/out.enc", "previous");
        auto argv = test_support::emulated({CFGCRYPT_BIN, "-e", "-i", dir.file("plain"), "-o", out});
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        auto r = test_support::run_cli(argv, cwd);
        EXPECT_EQ(r.out, "") << out;
        EXPECT_EQ(r.status, 0) << out;
        EXPECT_EQ(openssl_enc("-d -pass pass:key_for_savedstate -in " + drop + "/out.enc -out " + dir.file("back")), 0);
        EXPECT_TRUE(read_file(dir.file("back")) == plain) << out;
        EXPECT_EQ(names_in_path(drop), "out.enc|");
    }
}

// The output's folder cannot be synced: found before the rename, the output
// stays and the run fails; only after it, the status says it was replaced. A
// filesystem that cannot sync a folder by itself is synced whole.
TEST(CfgcryptCli, AFolderThatCannotBeSyncedKeepsTheOutputOrSaysItWasReplaced)
{
    struct sync_case {
        int error;
        int skip; // folder syncs that succeed first
        std::string out;
        int status;
        bool replaced;
    };
    const sync_case cases[] = {
        {EIO, 0, "[ERROR][main:212]: Replace output failed(out: Input/output error)!\r\n", 1, false},
        {EIO, 1, "[ERROR][main:226]: Output replaced, sync of its folder failed(out: Input/output error)!\r\n", 0,
         true},
        {EINVAL, 0, "", 0, true},
    };
    temp_dir dir;
    write_text(dir.file("plain"), "settings\n");
    for (const sync_case& c : cases) {
        write_text(dir.file("out"), "previous");
        test_support::scoped_preload preload(VORNA_FAIL_IO_LIB);
        test_support::scoped_env files("VORNA_FAIL_FILES", dir.path().string());
        test_support::scoped_env calls("VORNA_FAIL_CALL", "fsync");
        test_support::scoped_env error("VORNA_FAIL_ERRNO", std::to_string(c.error));
        test_support::scoped_env skip("VORNA_FAIL_SKIP", std::to_string(c.skip));
        auto r = cfgcrypt({"-e", "-i", "plain", "-o", "out"}, dir);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(read_text(dir.file("out")) != "previous", c.replaced) << c.error << " " << c.skip;
        EXPECT_EQ(names_in(dir), "out|plain|");
    }
}

// A run killed outright cannot clean up after itself: its openssl ends with it,
// and the next run beside the same output removes what it left, but never the
// folder of a run still going.
TEST(CfgcryptCli, AKilledRunLeavesNoProcessAndNoCopyBehind)
{
    temp_dir dir;
    const auto plain = test_support::random_bytes(100000, 12);
    write_file(dir.file("plain"), plain);
    ASSERT_EQ(openssl_enc("-e -pass pass:key_for_savedstate -in " + dir.file("plain") + " -out " + dir.file("enc")), 0);
    const auto enc = read_file(dir.file("enc"));
    std::vector<std::string> folders; // the live run's, then the killed run's
    int fds[2];
    pid_t pids[2];
    for (int i : {0, 1}) {
        const std::string fifo = i == 0 ? "live.in" : "killed.in";
        ASSERT_EQ(::mkfifo(dir.file(fifo).c_str(), 0600), 0);
        pids[i] = start_cfgcrypt({"-d", "-i", fifo, "-o", i == 0 ? "live.out" : "killed.out"}, dir);
        // Opens once openssl reads it: the run's private folder exists by then.
        fds[i] = ::open(dir.file(fifo).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fds[i], 0);
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().starts_with(".cfgcrypt-") && (i == 0 || e.path() != folders[0]))
                folders.push_back(e.path().string());
        ASSERT_EQ(folders.size(), i + 1u);
    }
    ASSERT_EQ(::write(fds[1], enc.data(), enc.size() / 2), static_cast<ssize_t>(enc.size() / 2));
    ::kill(pids[1], SIGKILL);
    ASSERT_EQ(::waitpid(pids[1], nullptr, 0), pids[1]);
    // The FIFO's writing end reports an error once no reader (openssl) is left.
    pollfd reader_gone{fds[1], 0, 0};
    EXPECT_EQ(::poll(&reader_gone, 1, 20000), 1) << "openssl outlived the killed run";
    ::close(fds[1]);
    // A run's lock on its folder goes with the last of its processes.
    int killed_folder = ::open(folders[1].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(killed_folder, 0);
    EXPECT_EQ(::flock(killed_folder, LOCK_EX), 0);
    ::close(killed_folder);

    auto next = cfgcrypt({"-e", "-i", "plain", "-o", "next.enc"}, dir);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_FALSE(fs::exists(folders[1]));
    EXPECT_TRUE(fs::exists(folders[0]));

    // The run that was not killed goes on undisturbed.
    ASSERT_EQ(::write(fds[0], enc.data(), enc.size()), static_cast<ssize_t>(enc.size()));
    ::close(fds[0]);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pids[0], &wstatus, 0), pids[0]);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    EXPECT_TRUE(read_file(dir.file("live.out")) == plain);
    EXPECT_EQ(names_in(dir), "enc|killed.in|live.in|live.out|next.enc|plain|");
}
