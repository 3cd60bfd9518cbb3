// SPDX-License-Identifier: Apache-2.0
// Keys in a hardware token (RFC 7512 pkcs11: URIs), reached through OpenSSL's
// pkcs11 engine: the token keeps the key and makes each signature. OpenSSL 3
// marks the ENGINE interface deprecated, and Debian 12 has no PKCS#11 provider
// that replaces it, so this file alone uses it, with the deprecation warnings
// silenced here and nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "tools/vorna_image_firmware.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include "vorna/storage/unique_fd.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace vorna_image {

namespace {

/// The engine stays loaded while the program runs: the keys it hands out call back into it.
struct engine_releaser {
    void operator()(ENGINE* e) const
    {
        ENGINE_finish(e);
        ENGINE_free(e);
    }
};
using engine_ptr = std::unique_ptr<ENGINE, engine_releaser>;

/// Loaded on first use; released by release_pkcs11_engine at the end of main,
/// once every key is gone and before OpenSSL's own clean-up at exit.
engine_ptr& loaded_engine()
{
    static engine_ptr engine;
    return engine;
}

std::string last_openssl_error()
{
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        std::array<char, 256> line{};
        ERR_error_string_n(code, line.data(), line.size());
        text = line.data();
    }
    return text.empty() ? "no reason given" : text;
}

ENGINE* pkcs11_engine(const char* command)
{
    engine_ptr& loaded = loaded_engine();
    if (loaded)
        return loaded.get();
    ENGINE* e = ENGINE_by_id("pkcs11");
    if (e == nullptr) {
        fail(command, "OpenSSL has no pkcs11 engine (Debian: apt-get install libengine-pkcs11-openssl): %s",
             last_openssl_error().c_str());
        return nullptr;
    }
    // Settings before ENGINE_init: the module to load, then the PIN it logs in with.
    const char* module = std::getenv(k_pkcs11_module_env);
    const char* pin = std::getenv(k_pkcs11_pin_env);
    if ((module != nullptr && ENGINE_ctrl_cmd_string(e, "MODULE_PATH", module, 0) != 1) ||
        (pin != nullptr && ENGINE_ctrl_cmd_string(e, "PIN", pin, 0) != 1) || ENGINE_init(e) != 1) {
        fail(command, "the pkcs11 engine does not start%s%s: %s", module != nullptr ? " with the module " : "",
             module != nullptr ? module : "", last_openssl_error().c_str());
        ENGINE_free(e);
        return nullptr;
    }
    loaded.reset(e);
    return e;
}

/// Replaces every `secret` in `text` by "***".
std::string censored(std::string text, const std::string& secret)
{
    if (secret.empty())
        return text;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
        text.replace(at, secret.size(), "***");
    return text;
}

/// `text` with each URI of `uris` printed as printable_key_name prints it, then
/// each of `secrets` blotted out: what the engine says passes through here.
std::string masked(std::string text, std::initializer_list<std::string_view> uris,
                   std::initializer_list<std::string_view> secrets)
{
    for (const std::string_view uri : uris) {
        const std::string printable = printable_key_name(uri);
        for (std::size_t at = text.find(uri); !uri.empty() && at != std::string::npos;
             at = text.find(uri, at + printable.size()))
            text.replace(at, uri.size(), printable);
    }
    for (const std::string_view secret : secrets)
        text = censored(std::move(text), std::string(secret));
    return text;
}

/// While it lives, what is written to stderr (the engine's own reports, which
/// repeat the URI) goes to an anonymous memory file, which needs no writable
/// folder; release() puts stderr back and hands the text over. When no capture
/// could be set up, active() is false and the engine must not be called.
class stderr_capture {
public:
    stderr_capture() : file_(::memfd_create("vorna-image-engine", MFD_CLOEXEC)), saved_(::dup(STDERR_FILENO))
    {
        std::fflush(stderr);
        if (file_ && saved_)
            active_ = ::dup2(file_.get(), STDERR_FILENO) >= 0;
    }
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    ~stderr_capture() { (void)release(); }

    [[nodiscard]] bool active() const { return active_; }

    std::string release()
    {
        if (!active_)
            return {};
        active_ = false;
        std::fflush(stderr);
        ::dup2(saved_.get(), STDERR_FILENO);
        std::string text;
        std::array<char, 512> buf{};
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(file_.get(), buf.data(), buf.size(), at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buf.data(), static_cast<std::size_t>(n));
            at += n;
        }
        return text;
    }

private:
    unique_fd file_;
    unique_fd saved_;
    bool active_ = false;
};

/// A copy of a PIN, wiped when it goes.
struct pin_text {
    std::string text;
    pin_text() = default;
    pin_text(const pin_text&) = delete;
    pin_text& operator=(const pin_text&) = delete;
    ~pin_text() { OPENSSL_cleanse(text.data(), text.size()); }
};

/// The message for a URI that parse_token_uri refused; null for ok.
const char* uri_refusal(token_uri_status status)
{
    switch (status) {
    case token_uri_status::ok: return nullptr;
    case token_uri_status::malformed:
        return "is not a valid token URI (each attribute is NAME=VALUE, and a '%' starts a %XX escape)";
    case token_uri_status::pin_twice:
        return "names its PIN more than once (pin-value, pin-source): give it once, so that no wrong PIN is tried";
    case token_uri_status::semicolon_in_query: return "has a ';' after its '?': write a ';' in a PIN as %3B";
    case token_uri_status::empty_pin: return "gives an empty PIN";
    }
    return "is not a valid token URI";
}

/// Moves the PIN out of the URI, or reads it from the URI's PIN file. False after printing.
bool take_pin(const char* command, token_uri& parsed, pin_text& pin)
{
    // The PIN is taken out of the URI and handed to the engine on its own, so
    // that the engine's reports, which repeat the URI, never hold it.
    pin.text = parsed.pin;
    OPENSSL_cleanse(parsed.pin.data(), parsed.pin.size());
    if (keep_secrets_out_of_core_dumps(command) != 0 ||
        (!parsed.pin_file.empty() && !read_secret_file(command, "PIN file", parsed.pin_file.c_str(), pin.text)))
        return false;
    if (pin.text.empty() && !parsed.pin_file.empty()) {
        fail(command, "the PIN file %s holds no PIN on its first line", parsed.pin_file.c_str());
        return false;
    }
    return true;
}

/// Says why the engine gave no key: it refused the PIN, or found none at the URI.
void report_no_key(const char* command, const std::string& name, bool pin_set, const std::string& reason)
{
    if (!pin_set)
        fail(command, "the pkcs11 engine does not take the PIN for %s: %s", name.c_str(), reason.c_str());
    else
        fail(command,
             "no private key in the token at %s: %s (a wrong PIN, a wrong URI, or a token the engine cannot list; "
             "Debian 12's engine does not list a token that holds an EdDSA key: sign Ed25519 keys with the "
             "token's own tool through digest and attach)",
             name.c_str(), reason.c_str());
}

} // namespace

void release_pkcs11_engine()
{
    loaded_engine().reset();
}

bool is_pkcs11_uri(const std::string& path)
{
    return path.rfind("pkcs11:", 0) == 0;
}

pkey_ptr load_pkcs11_private_key(const char* command, const std::string& uri)
{
    const std::string name = printable_key_name(uri);
    token_uri parsed;
    if (const char* refusal = uri_refusal(parse_token_uri(uri, parsed)); refusal != nullptr) {
        fail(command, "%s %s", name.c_str(), refusal);
        return nullptr;
    }
    pin_text pin;
    if (!take_pin(command, parsed, pin))
        return nullptr;
    const char* env_pin = std::getenv(k_pkcs11_pin_env);
    const std::string_view env_secret = env_pin != nullptr ? env_pin : "";
    stderr_capture engine_reports;
    if (!engine_reports.active()) {
        fail(command, "cannot hold back the pkcs11 engine's messages (%s), so the engine is not called",
             std::strerror(errno));
        return nullptr;
    }
    ENGINE* e = pkcs11_engine(command);
    pkey_ptr key;
    bool pin_set = true;
    if (e != nullptr) {
        pin_set = pin.text.empty() || ENGINE_ctrl_cmd_string(e, "PIN", pin.text.c_str(), 0) == 1;
        if (pin_set)
            key.reset(ENGINE_load_private_key(e, parsed.engine_uri.c_str(), nullptr, nullptr));
    }
    const std::string reports = masked(engine_reports.release(), {uri, parsed.engine_uri}, {pin.text, env_secret});
    std::fputs(reports.c_str(), stderr);
    if (e == nullptr)
        return nullptr;
    if (!key) {
        const std::string reason = masked(last_openssl_error(), {uri, parsed.engine_uri}, {pin.text, env_secret});
        report_no_key(command, name, pin_set, reason);
        return nullptr;
    }
    return key;
}

} // namespace vorna_image
