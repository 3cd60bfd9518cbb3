// SPDX-License-Identifier: Apache-2.0
// Keys in a hardware token (RFC 7512 pkcs11: URIs), reached through OpenSSL's
// pkcs11 engine: the token keeps the key and makes each signature. OpenSSL 3
// marks the ENGINE interface deprecated, and Debian 12 has no PKCS#11 provider
// that replaces it, so this file alone uses it, with the deprecation warnings
// silenced here and nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "tools/vorna_image_firmware.h"

#include <openssl/engine.h>
#include <openssl/err.h>

#include "vorna/storage/unique_fd.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>

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

/// The value of the URI's pin-value attribute, or empty.
std::string pin_value_of(const std::string& uri)
{
    const std::size_t at = uri.find("pin-value=");
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + std::strlen("pin-value=");
    return uri.substr(from, uri.find_first_of(";?&", from) - from);
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

/// While it lives, what is written to stderr (the engine's own reports, which
/// repeat the URI and so a PIN in it) goes to a temporary file; release() puts
/// stderr back and hands the text over.
class stderr_capture {
public:
    stderr_capture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO))
    {
        std::fflush(stderr);
        if (file_ != nullptr && saved_)
            active_ = ::dup2(::fileno(file_.get()), STDERR_FILENO) >= 0;
    }
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    ~stderr_capture() { (void)release(); }

    std::string release()
    {
        if (!active_)
            return {};
        active_ = false;
        std::fflush(stderr);
        ::dup2(saved_.get(), STDERR_FILENO);
        std::string text;
        std::rewind(file_.get());
        std::array<char, 512> buf{};
        for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), file_.get())) > 0;)
            text.append(buf.data(), n);
        return text;
    }

private:
    file_ptr file_;
    unique_fd saved_;
    bool active_ = false;
};

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
    ENGINE* e = pkcs11_engine(command);
    if (e == nullptr)
        return nullptr;
    // The URI may hold the PIN (pin-value), and the engine repeats the URI in its
    // reports: they pass through here with the PIN blotted out.
    const std::string pin = pin_value_of(uri);
    stderr_capture engine_reports;
    pkey_ptr key(ENGINE_load_private_key(e, uri.c_str(), nullptr, nullptr));
    const std::string reports = censored(engine_reports.release(), pin);
    std::fputs(reports.c_str(), stderr);
    if (!key) {
        fail(command,
             "no private key in the token at %s: %s (a wrong PIN, a wrong URI, or a token the engine cannot list; "
             "Debian 12's engine does not list a token that holds an EdDSA key: sign Ed25519 keys with the token's "
             "own tool through digest and attach)",
             censored(uri, pin).c_str(), last_openssl_error().c_str());
        return nullptr;
    }
    return key;
}

} // namespace vorna_image
