// Pass phrases of encrypted signing keys, and files that must not be replaced
// by accident: what signing on a build machine without a terminal needs.
#include "tools/vorna_image_firmware.h"

#include "vorna/storage/unique_fd.h"
#include "vorna/storage/vorna_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
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

/// Wipes the pass phrase's bytes when they go.
struct wiped_text {
    std::vector<std::uint8_t> bytes;
    ~wiped_text()
    {
        if (!bytes.empty())
            OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

} // namespace

int read_pass_phrase_file(const char* command, const char* path, std::vector<std::uint8_t>& out)
{
    out.clear();
    // O_NONBLOCK: a FIFO with nobody writing to it must not hold the open (it is
    // refused below, as every file but a regular one); O_NOCTTY: a terminal named
    // here must not become ours.
    unique_fd fd = open_path(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return fail(command, "cannot read the pass-phrase file %s: %s", path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(command, "the pass-phrase file %s is not a regular file", path);
    if (st.st_size > k_pass_phrase_file_max)
        return fail(command, "the pass-phrase file %s is larger than %lld bytes", path,
                    static_cast<long long>(k_pass_phrase_file_max));
    // One byte more than the limit shows a file that grew meanwhile.
    out.assign(static_cast<std::size_t>(k_pass_phrase_file_max) + 1, 0);
    const off_t got = read_fully(fd.get(), out.data(), static_cast<off_t>(out.size()));
    if (got < 0 || got > k_pass_phrase_file_max) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return got < 0 ? fail(command, "cannot read the pass-phrase file %s: %s", path, std::strerror(errno))
                       : fail(command, "the pass-phrase file %s is larger than %lld bytes", path,
                              static_cast<long long>(k_pass_phrase_file_max));
    }
    out.resize(static_cast<std::size_t>(got));
    return 0;
}

int pass_phrase_callback(char* buf, int size, int rwflag, void* u)
{
    const auto& req = *static_cast<const pass_phrase_request*>(u);
    if (const char* phrase = std::getenv(k_pass_phrase_env); phrase != nullptr)
        return hand_over(req, phrase, buf, size);
    if (const char* file = std::getenv(k_pass_phrase_file_env); file != nullptr) {
        wiped_text text;
        if (read_pass_phrase_file(req.command, file, text.bytes) != 0)
            return -1;
        // The first line, without its end: files written by editors end in a newline.
        std::string_view phrase(reinterpret_cast<const char*>(text.bytes.data()), text.bytes.size());
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
