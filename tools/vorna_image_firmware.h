// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the image subcommands (keygen, pack, sign, info) share: reading and
// replacing files, the signing key, and the signature of an image in memory.
#include "tools/vorna_image.h"
#include "tools/vorna_image_token_uri.h"

#include "vorna/support/vorna_common.h"

#include <sys/types.h>

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vorna_image {

struct pkey_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_deleter>;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
/// Owner of a stdio stream.
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

/// Reads a whole regular file. 0, or 1 after printing.
int read_whole(const char* command, const std::string& path, std::vector<std::uint8_t>& out);

/// Reads a whole regular file and takes its permission bits into `mode`, for a
/// file that is to be replaced as it stands. 0, or 1 after printing.
int read_whole_keeping_mode(const char* command, const std::string& path, std::vector<std::uint8_t>& out,
                            unsigned& mode);

/// Reads the file `path` as a JSON object. Null after printing "PATH is not
/// WHAT" when it holds anything else.
[[nodiscard]] cjson_ptr read_json_object(const char* command, const std::string& path, const char* what);

/// Takes the signing options of pack and sign out of argv: "--passin ARG", handed
/// to set_pass_phrase_source, and every "--key PATH" into `strong_paths`. 0, or 1 after printing.
int take_signing_options(const char* command, int& argc, char** argv, std::vector<std::string>& strong_paths);

/// Replaces `path` with `bytes`: written to a temporary file in the same folder,
/// synced, then renamed over it, so that a failure leaves the old file whole.
/// The new file gets `mode`. 0, or 1 after printing.
int replace_file(const char* command, const std::string& path, const std::vector<std::uint8_t>& bytes,
                 unsigned mode);

/// Loads a PEM RSA private key of 1024 bits. Null after printing.
pkey_ptr load_private_key(const char* command, const std::string& path);

/// Which key asks for its pass phrase, for pass_phrase_callback's messages.
struct pass_phrase_request {
    const char* command;
    const char* key_path;
    bool given = false;   ///< a pass phrase was handed to OpenSSL (a failure then means a wrong one)
    bool refused = false; ///< the callback refused and said why: nothing more to print
    std::string phrase{}; ///< the answer, for OpenSSL's further asks about the same key
};

/// `--passin ARG` of pack and sign: "pass:TEXT", "env:VAR", "file:PATH" or "fd:N".
/// Given, it comes before the variables below and the terminal. `source` must outlive the run.
void set_pass_phrase_source(const char* source);

/// The first line of the file `path` that holds a secret (a pass phrase, a PIN),
/// without its end: only a regular file of at most 4096 bytes, opened without
/// blocking so that a FIFO is refused at once instead of waiting for a writer.
/// Messages name it "the WHAT PATH". False after printing.
bool read_secret_file(const char* command, const char* what, const char* path, std::string& line);

/// Turns core dumps off for the rest of the run, before a PIN or a pass phrase is
/// read: a core would hold copies of it. 0, or 1 after printing.
int keep_secrets_out_of_core_dumps(const char* command);

/// Loads a PEM private key, asking pass_phrase_callback for an encrypted one's
/// pass phrase; a wrong pass phrase and a refused one get messages of their own.
/// Null after printing; a file that holds no private key is reported as
/// "PATH not_a_key" when `not_a_key` is given.
pkey_ptr read_private_key_file(const char* command, const std::string& path, const char* not_a_key = nullptr);

/// True for an RFC 7512 "pkcs11:" URI, which names a key in a token.
[[nodiscard]] bool is_pkcs11_uri(const std::string& path);

/// 0 for a public key's file name; 1 after printing for a token URI (or a name
/// that printable_key_name would mask): public keys are read from files, and
/// the name would carry a PIN into messages and reports.
int refuse_token_public_key(const char* command, const std::string& path);

/// The private key a pkcs11: URI names, reached through OpenSSL's pkcs11 engine;
/// the token keeps the key and signs. The PIN comes from the URI (pin-value,
/// pin-source) or VORNA_IMAGE_PKCS11_PIN, the module from VORNA_IMAGE_PKCS11_MODULE
/// (else the engine's default). Null after printing.
pkey_ptr load_pkcs11_private_key(const char* command, const std::string& uri);

/// Unloads the engine; main calls it once the subcommand (and every key) is done.
void release_pkcs11_engine();

inline constexpr const char* k_pkcs11_pin_env = "VORNA_IMAGE_PKCS11_PIN";
inline constexpr const char* k_pkcs11_module_env = "VORNA_IMAGE_PKCS11_MODULE";

/// The environment variables that give an encrypted key's pass phrase: the phrase
/// itself, or the path of a file whose first line is the phrase.
inline constexpr const char* k_pass_phrase_env = "VORNA_IMAGE_PASSPHRASE";
inline constexpr const char* k_pass_phrase_file_env = "VORNA_IMAGE_PASSPHRASE_FILE";


/// PEM pass phrase callback (`u` is a pass_phrase_request): the phrase from
/// --passin, else from VORNA_IMAGE_PASSPHRASE, else from the file VORNA_IMAGE_PASSPHRASE_FILE names,
/// else asked on the terminal; without any of them it prints why and refuses.
int pass_phrase_callback(char* buf, int size, int rwflag, void* u);

/// 0 when nothing exists at `path`; 1 after printing that it would be replaced
/// (give --force to replace it).
int refuse_to_replace(const char* command, const std::string& path);

/// Fills the signature field of a whole image in memory: RSASSA-PKCS1-v1_5 with
/// SHA-1 over the MD5 digest of bytes 20.. (the field counted as zeros), stored
/// little-endian at offset 304. 0, or 1 after printing.
int sign_image(const char* command, std::vector<std::uint8_t>& image, EVP_PKEY* key);

} // namespace vorna_image
