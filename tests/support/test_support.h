// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared by the tests: a temporary folder, whole-file helpers, seeded random bytes,
// and running a real binary with its stdout, stderr and exit status captured.
#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

/// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    /// path() / name, as a string.
    [[nodiscard]] std::string file(const std::string& name) const;

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);

/// `n` pseudo-random bytes, the same for the same seed.
std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed);

/// While in scope, no write of this process or of the programs it starts reaches
/// past `bytes` of a file: the write that crosses the limit transfers only what
/// fits and the next one fails, as on a device that fills up. SIGXFSZ is ignored
/// meanwhile, so the failure is an error result instead of the end of the process.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes);
    ~file_size_limit();
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

/// Sets an environment variable for the programs started while it lives, and
/// puts back what was there before.
class scoped_env {
public:
    scoped_env(const char* name, const std::string& value);
    ~scoped_env();
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

/// While in scope, the programs that run_cli starts get `library` preloaded
/// (LD_PRELOAD). Under the emulator it is the emulator that hands the setting on
/// to the program it runs; a sanitizer run-time that this process was started
/// with comes first in the list, as the run-time requires.
class scoped_preload {
public:
    explicit scoped_preload(const std::string& library);

private:
    std::optional<scoped_env> env_;
};

struct cli_result {
    std::string out;
    std::string err;
    int status = -1; ///< exit status 0..255; 128 + signal number when killed
};

/// Runs argv[0] with its arguments (no shell), optionally in `cwd`, with standard
/// input from /dev/null. When the tests run under an emulator (cross builds), the
/// emulator named at build time is put in front of programs built for the same
/// processor as the test itself; host tools run directly.
cli_result run_cli(const std::vector<std::string>& argv, const std::string& cwd = "");

/// run_cli with `input` fed to the program while it runs: through a pipe on its
/// standard input, or, when `fifo` names one, by a process that opens that FIFO
/// for writing (waiting for the program to open it) and writes `input` into it.
/// A program that stops reading early gets no more; the feeder is ended with it.
cli_result run_cli_fed(const std::vector<std::string>& argv, const std::vector<std::uint8_t>& input,
                       const std::string& fifo = "");

/// argv with the emulator in front when its program needs one, for commands that
/// start the program through another host program (setpriv, a shell, ...).
std::vector<std::string> emulated(const std::vector<std::string>& argv);

/// Whether a user other than the owner may search every folder on the way to
/// `path` (the folders only): what a test that runs a program as another user
/// needs for the files it names, such as the upgrade lock in the build folder.
bool others_can_reach(const std::string& path);

/// Splits text into lines (without their "\n").
std::vector<std::string> lines_of(const std::string& text);

/// The line a module prints for an error: "[ERROR]module:line | text".
std::string error_line(const std::string& module, int line, const std::string& text);

/// Lower-case hexadecimal digits of the bytes, as digests are written.
std::string hex(const std::uint8_t* bytes, std::size_t n);

/// The development key pair in the repository: its private key (PEM) and its
/// public key as the key-blob text that vorna is built with.
std::string dev_private_key();
std::string dev_key_blob();

} // namespace test_support
