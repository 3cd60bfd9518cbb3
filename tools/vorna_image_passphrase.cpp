// SPDX-License-Identifier: Apache-2.0
// Pass phrases of encrypted signing keys, and files that must not be replaced
// by accident: what signing on a build machine without a terminal needs.
#include "tools/vorna_image_firmware.h"

#include "vorna/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vorna_image {

namespace {

/// Copies `phrase` into the callback's buffer; its length, or -1 after printing.
int hand_over(const pass_phrase_request& req, std::string_view phrase, char* buf, int size)
{
    if (phrase.empty() || phrase.size() >= static_cast<std::size_t>(size)) {
        fail(req.command, "the pass phrase for %s is empty or longer than %d characters", req.key_path, size - 1);
        return -1;
    }
    std::memcpy(buf, phrase.data(), phrase.size());
    buf[phrase.size()] = '\0';
    return static_cast<int>(phrase.size());
}

} // namespace

int pass_phrase_callback(char* buf, int size, int rwflag, void* u)
{
    const auto& req = *static_cast<const pass_phrase_request*>(u);
    if (const char* phrase = std::getenv(k_pass_phrase_env); phrase != nullptr)
        return hand_over(req, phrase, buf, size);
    if (const char* file = std::getenv(k_pass_phrase_file_env); file != nullptr) {
        std::vector<std::uint8_t> text;
        if (read_whole(req.command, file, text) != 0)
            return -1;
        // The first line, without its end: files written by editors end in a newline.
        std::string_view phrase(reinterpret_cast<const char*>(text.data()), text.size());
        phrase = phrase.substr(0, phrase.find('\n'));
        if (!phrase.empty() && phrase.back() == '\r')
            phrase.remove_suffix(1);
        return hand_over(req, phrase, buf, size);
    }
    // OpenSSL's own prompt reads the terminal; without one it would read standard
    // input, which in a build belongs to something else.
    unique_fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty) {
        fail(req.command,
             "%s is encrypted and there is no terminal to ask for its pass phrase: set %s to it, or %s to "
             "a file holding it",
             req.key_path, k_pass_phrase_env, k_pass_phrase_file_env);
        return -1;
    }
    tty.reset();
    return PEM_def_callback(buf, size, rwflag, nullptr);
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
