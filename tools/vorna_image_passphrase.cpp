// SPDX-License-Identifier: Apache-2.0
// Pass phrases of encrypted signing keys, and files that must not be replaced
// by accident: what signing on a build machine without a terminal needs.
#include "tools/vorna_image_firmware.h"

#include "vorna/storage/unique_fd.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace vorna_image {

namespace {

/// The longest pass-phrase file or descriptor input read: a pass phrase is a line,
/// and a file that is longer is not one (a key, an image named by mistake).
constexpr std::size_t k_pass_phrase_input_max = 4096;

/// --passin, when given: "pass:TEXT", "env:VAR", "file:PATH" or "fd:N", as the openssl tools take it.
const char* g_pass_phrase_source = nullptr;
/// What the source gave, read once: a descriptor can be read only once, and every
/// key of one run (the legacy and the strong ones) takes the same pass phrase.
std::string g_source_phrase;
bool g_source_read = false;

/// The first line of `text`, without its end: files written by editors end in a newline.
std::string first_line(std::string_view text)
{
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return std::string(text);
}

/// Reads at most k_pass_phrase_input_max bytes from `fd` to its end. 0, or -1 with errno set.
int read_bounded(int fd, std::string& out)
{
    char buf[k_pass_phrase_input_max + 1];
    std::size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
        if (std::memchr(buf, '\n', got) != nullptr)
            break;
    }
    out.assign(buf, got);
    return 0;
}

} // namespace

bool read_secret_file(const char* command, const char* what, const char* path, std::string& line)
{
    unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        fail(command, "cannot read the %s %s: %s", what, path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(command, "the %s %s is not a regular file", what, path);
        return false;
    }
    if (static_cast<std::uint64_t>(st.st_size) > k_pass_phrase_input_max) {
        fail(command, "the %s %s is larger than %zu bytes", what, path, k_pass_phrase_input_max);
        return false;
    }
    std::string text;
    if (read_bounded(fd.get(), text) != 0) {
        fail(command, "cannot read the %s %s: %s", what, path, std::strerror(errno));
        return false;
    }
    line = first_line(text);
    OPENSSL_cleanse(text.data(), text.size());
    return true;
}

int keep_secrets_out_of_core_dumps(const char* command)
{
    // Both: the limit alone leaves a core to a core_pattern pipe, and a process
    // that is not dumpable leaves none at all.
    const rlimit none{}; // a limit of 0 bytes, soft and hard
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || ::setrlimit(RLIMIT_CORE, &none) != 0)
        return fail(command, "cannot turn core dumps off before a secret is read: %s", std::strerror(errno));
    return 0;
}

namespace {

/// The first line of a pass-phrase file, as read_secret_file reads it. False after printing.
bool read_pass_phrase_file(const pass_phrase_request& req, const char* path, std::string& phrase)
{
    return read_secret_file(req.command, "pass-phrase file", path, phrase);
}

/// The pass phrase that `source` (a --passin argument) names. False after printing.
bool phrase_from_source(const pass_phrase_request& req, std::string_view source, std::string& phrase)
{
    const std::size_t colon = source.find(':');
    const std::string_view kind = source.substr(0, colon);
    const std::string rest(colon == std::string_view::npos ? "" : source.substr(colon + 1));
    if (colon == std::string_view::npos) {
        // Falls through to the message below.
    } else if (kind == "pass") {
        phrase = rest;
        return true;
    } else if (kind == "env") {
        const char* value = std::getenv(rest.c_str());
        if (value == nullptr) {
            fail(req.command, "--passin env:%s: the variable is not set", rest.c_str());
            return false;
        }
        phrase = value;
        return true;
    } else if (kind == "file") {
        return read_pass_phrase_file(req, rest.c_str(), phrase);
    } else if (kind == "fd") {
        char* end = nullptr;
        errno = 0;
        const long fd = std::strtol(rest.c_str(), &end, 10);
        std::string text;
        if (rest.empty() || *end != '\0' || errno != 0 || fd < 0 || fd > 1 << 20) {
            fail(req.command, "--passin fd:%s: not a descriptor number", rest.c_str());
            return false;
        }
        if (read_bounded(static_cast<int>(fd), text) != 0) {
            fail(req.command, "--passin fd:%ld: %s", fd, std::strerror(errno));
            return false;
        }
        phrase = first_line(text);
        return true;
    }
    // Not repeated: a word without a known kind is most likely the pass phrase itself.
    fail(req.command, "--passin: expected pass:TEXT, env:VAR, file:PATH or fd:N (what was given is not printed)");
    return false;
}

/// Copies the request's pass phrase into the callback's buffer; its length, or -1 after printing.
int hand_over(pass_phrase_request& req, char* buf, int size)
{
    const std::string& phrase = req.phrase;
    if (phrase.empty() || phrase.size() >= static_cast<std::size_t>(size)) {
        fail(req.command, "the pass phrase for %s is empty or longer than %d characters", req.key_path, size - 1);
        req.refused = true;
        return -1;
    }
    std::memcpy(buf, phrase.data(), phrase.size());
    buf[phrase.size()] = '\0';
    req.given = true;
    return static_cast<int>(phrase.size());
}

enum class phrase_found { yes, none, refused };

/// The pass phrase from --passin, else the environment variable, else the file
/// it names: `none` when none of them is given, `refused` after printing.
phrase_found phrase_without_terminal(pass_phrase_request& req, std::string& phrase)
{
    if (g_pass_phrase_source != nullptr) {
        if (!g_source_read && !phrase_from_source(req, g_pass_phrase_source, g_source_phrase))
            return phrase_found::refused;
        g_source_read = true;
        phrase = g_source_phrase;
        return phrase_found::yes;
    }
    if (const char* value = std::getenv(k_pass_phrase_env); value != nullptr) {
        phrase = value;
        return phrase_found::yes;
    }
    if (const char* file = std::getenv(k_pass_phrase_file_env); file != nullptr)
        return read_pass_phrase_file(req, file, phrase) ? phrase_found::yes : phrase_found::refused;
    return phrase_found::none;
}

/// The pass phrase typed at the terminal, into the callback's buffer; its
/// length, or -1 after printing.
int ask_terminal(pass_phrase_request& req, char* buf, int size, int rwflag)
{
    // OpenSSL's own prompt reads the terminal; without one it would read standard
    // input, which in a build belongs to something else.
    unique_fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty) {
        fail(req.command,
             "%s is encrypted and there is no terminal to ask for its pass phrase: give --passin (pass:, env:, "
             "file: or fd:), or set %s to it, or %s to a file holding it",
             req.key_path, k_pass_phrase_env, k_pass_phrase_file_env);
        req.refused = true;
        return -1;
    }
    tty.reset();
    const int len = PEM_def_callback(buf, size, rwflag, nullptr);
    if (len <= 0) {
        req.refused = true;
        return -1;
    }
    req.phrase.assign(buf, static_cast<std::size_t>(len));
    req.given = true;
    return len;
}

} // namespace

void set_pass_phrase_source(const char* source)
{
    g_pass_phrase_source = source;
    g_source_read = false;
}

int pass_phrase_callback(char* buf, int size, int rwflag, void* u)
{
    auto& req = *static_cast<pass_phrase_request*>(u);
    if (!req.given && !req.refused && keep_secrets_out_of_core_dumps(req.command) != 0) {
        req.refused = true;
        return -1;
    }
    // OpenSSL may ask more than once for one key (one try per decoder): the first
    // answer stands, and a refusal is reported once.
    if (req.refused)
        return -1;
    if (req.given)
        return hand_over(req, buf, size);
    switch (phrase_without_terminal(req, req.phrase)) {
    case phrase_found::refused: req.refused = true; return -1;
    case phrase_found::yes: return hand_over(req, buf, size);
    case phrase_found::none: break;
    }
    return ask_terminal(req, buf, size, rwflag);
}

int refuse_to_replace(const char* command, const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
        return fail(command, "%s exists; give --force to replace it", path.c_str());
    if (errno != ENOENT)
        return fail(command, "cannot look at %s: %s", path.c_str(), std::strerror(errno));
    return 0;
}

} // namespace vorna_image
