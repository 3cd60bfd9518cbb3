// SPDX-License-Identifier: Apache-2.0
// cfgcrypt: options, the argument checks and the choice of direction. The work
// itself is run_shell_command's.
#include "cfgcrypt/cfgcrypt.h"

#include <getopt.h>

#include <cstdio>

namespace {

// --version has no short form: cfgcrypt's one-letter options are fixed.
constexpr int k_opt_version = 256;

enum line : int {
    k_line_missing_in_out = 149,
    k_line_missing_direction = 156,
    k_line_duplicate_direction = 163,
};

// One option a line, as getopt_long reads them.
// clang-format off
const option k_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"encrypt", no_argument, nullptr, 'e'},
    {"decrypt", no_argument, nullptr, 'd'},
    {"in", required_argument, nullptr, 'i'},
    {"out", required_argument, nullptr, 'o'},
    {"version", no_argument, nullptr, k_opt_version},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

void usage()
{
    std::printf("Usage: cfgcrypt -e|-d -i INPUT -o OUTPUT\n"
                "  -e, --encrypt     encrypt INPUT into OUTPUT (AES-128-CBC, built-in pass phrase)\n"
                "  -d, --decrypt     decrypt INPUT into OUTPUT\n"
                "  -i, --in INPUT    input file\n"
                "  -o, --out OUTPUT  output file, replaced only when openssl succeeds\n"
                "  -h, --help        print this text\n"
                "      --version     print the version\n");
}

/// The parsed command line; the texts point into argv.
struct options {
    bool encrypt = false;
    bool decrypt = false;
    const char* in = nullptr;
    const char* out = nullptr;
    bool help = false;
    bool version = false;
};

options parse_options(int argc, char* argv[])
{
    options o;
    int opt;
    while ((opt = getopt_long(argc, argv, "i:o:edh", k_options, nullptr)) != -1) {
        switch (opt) {
        case 'h': o.help = true; break;
        case k_opt_version: o.version = true; break;
        case 'e': o.encrypt = true; break;
        case 'd': o.decrypt = true; break;
        case 'i': o.in = optarg; break;
        case 'o': o.out = optarg; break;
        // getopt_long has already told the user on standard error.
        default: break;
        }
    }
    return o;
}

} // namespace

int main(int argc, char* argv[])
{
    const options o = parse_options(argc, argv);
    if (o.help) {
        usage();
        return 0;
    }
    if (o.version) {
        std::printf("cfgcrypt %s\n", CFGCRYPT_VERSION);
        return 0;
    }
    if (o.in == nullptr || o.out == nullptr) {
        cfgcrypt_error(k_line_missing_in_out, "Missing arg(in or out missing)!\r\n");
        return -1;
    }
    if (o.decrypt) {
        if (o.encrypt) {
            cfgcrypt_error(k_line_duplicate_direction, "Duplicate arg(decrypt or encrypt duplicate)!\r\n");
            return -1;
        }
        return run_shell_command('d', o.in, o.out, k_cfgcrypt_pass_phrase);
    }
    if (o.encrypt)
        return run_shell_command('e', o.in, o.out, k_cfgcrypt_pass_phrase);
    cfgcrypt_error(k_line_missing_direction, "Missing arg(decrypt or encrypt missing)!\r\n");
    return -1;
}
