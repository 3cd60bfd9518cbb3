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

} // namespace

int main(int argc, char* argv[])
{
    bool encrypt = false;
    bool decrypt = false;
    const char* in = nullptr;
    const char* out = nullptr;
    bool help = false;
    bool version = false;

    int opt;
    while ((opt = getopt_long(argc, argv, "i:o:edh", k_options, nullptr)) != -1) {
        switch (opt) {
        case 'h': help = true; break;
        case k_opt_version: version = true; break;
        case 'e':
            encrypt = true;
            break;
        case 'd':
            decrypt = true;
            break;
        case 'i':
            in = optarg;
            break;
        case 'o':
            out = optarg;
            break;
        default:
            // getopt_long has already told the user on standard error.
            break;
        }
    }

    if (help) {
        usage();
        return 0;
    }
    if (version) {
        std::printf("cfgcrypt %s\n", CFGCRYPT_VERSION);
        return 0;
    }
    if (in == nullptr || out == nullptr) {
        cfgcrypt_error(k_line_missing_in_out, "Missing arg(in or out missing)!\r\n");
        return -1;
    }
    if (decrypt) {
        if (encrypt) {
            cfgcrypt_error(k_line_duplicate_direction, "Duplicate arg(decrypt or encrypt duplicate)!\r\n");
            return -1;
        }
        return run_shell_command('d', in, out, k_cfgcrypt_pass_phrase);
    }
    if (encrypt)
        return run_shell_command('e', in, out, k_cfgcrypt_pass_phrase);
    cfgcrypt_error(k_line_missing_direction, "Missing arg(decrypt or encrypt missing)!\r\n");
    return -1;
}
