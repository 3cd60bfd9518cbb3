// SPDX-License-Identifier: Apache-2.0
// vorna-image: dispatches to one subcommand.
#include "tools/vorna_image.h"
#include "tools/vorna_image_firmware.h"

#include "vorna/cli/vorna_version.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

struct subcommand {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv);
    void (*help)();
};

constexpr subcommand k_subcommands[] = {
    {"board", "make a simulated board: table, NOR and eMMC device files", image_board_main, image_board_help},
    {"keygen", "make a signing key and the key blob vorna is built with", image_keygen_main, image_keygen_help},
    {"pack", "build and sign a firmware image from a JSON manifest", image_pack_main, image_pack_help},
    {"sign", "sign an existing image again", image_sign_main, image_sign_help},
    {"info", "show an image's header, entries and documents", image_info_main, image_info_help},
    {"digest", "print what each signature of an image signs (external signers)", image_digest_main, image_digest_help},
    {"attach", "put signatures made elsewhere into an image, each checked first", image_attach_main, image_attach_help},
    {"verify", "check an image's signatures against public keys (pipelines)", image_verify_main, image_verify_help},
};

void print_help(std::FILE* out)
{
    std::fprintf(out, "Usage: vorna-image COMMAND [ARGS...]\n"
                      "       vorna-image help [COMMAND]\n"
                      "       vorna-image --version\n"
                      "\n"
                      "Commands:\n");
    for (const subcommand& cmd : k_subcommands)
        std::fprintf(out, "  %-10s %s\n", cmd.name, cmd.summary);
    std::fprintf(out, "\n"
                      "Exit status: 0 on success, 1 on any error.\n");
}

const subcommand* find_subcommand(const char* name)
{
    for (const subcommand& cmd : k_subcommands) {
        if (std::strcmp(cmd.name, name) == 0)
            return &cmd;
    }
    return nullptr;
}

bool is_help_word(const char* word)
{
    return std::strcmp(word, "help") == 0 || std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        print_help(stderr);
        return 1;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("vorna-image %s\n", vorna_version);
        return 0;
    }
    if (is_help_word(argv[1])) {
        if (argc < 3) {
            print_help(stdout);
            return 0;
        }
        const subcommand* cmd = find_subcommand(argv[2]);
        if (cmd == nullptr) {
            std::fprintf(stderr, "vorna-image: unknown command '%s' (see vorna-image --help)\n", argv[2]);
            return 1;
        }
        cmd->help();
        return 0;
    }
    const subcommand* cmd = find_subcommand(argv[1]);
    if (cmd == nullptr) {
        std::fprintf(stderr, "vorna-image: unknown command '%s' (see vorna-image --help)\n", argv[1]);
        return 1;
    }
    if (argc >= 3 && (std::strcmp(argv[2], "--help") == 0 || std::strcmp(argv[2], "-h") == 0)) {
        cmd->help();
        return 0;
    }
    const int status = cmd->run(argc - 1, argv + 1);
    // A token's engine goes before OpenSSL's clean-up at exit, which would otherwise run first.
    vorna_image::release_pkcs11_engine();
    return status;
}

namespace vorna_image {

int fail(const char* command, const char* fmt, ...)
{
    std::fprintf(stderr, "vorna-image %s: ", command);
    std::va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    return 1;
}

namespace {

/// Takes every "NAME VALUE" or "NAME=VALUE" out of argv, handing each value to
/// `take` in order. 0, or 1 after printing `missing` (else "NAME needs a value").
int take_each(const char* command, int& argc, char** argv, const char* name, const char* missing,
              const std::function<void(const char*)>& take)
{
    const std::size_t name_len = std::strlen(name);
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            if (i + 1 >= argc)
                return missing != nullptr ? fail(command, "%s", missing) : fail(command, "%s needs a value", name);
            take(argv[++i]);
        } else if (std::strncmp(argv[i], name, name_len) == 0 && argv[i][name_len] == '=') {
            take(argv[i] + name_len + 1);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return 0;
}

} // namespace

int take_option(const char* command, int& argc, char** argv, const char* name, const char*& value)
{
    return take_each(command, argc, argv, name, nullptr, [&value](const char* v) { value = v; });
}

int take_repeated_option(const char* command, int& argc, char** argv, const char* name,
                         std::vector<std::string>& values, const char* missing)
{
    return take_each(command, argc, argv, name, missing, [&values](const char* v) { values.emplace_back(v); });
}

bool take_flag(int& argc, char** argv, const char* name)
{
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return found;
}

} // namespace vorna_image
