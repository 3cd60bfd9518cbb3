#include "vorna/vorna_version.h"

#include <cstdio>

int print_program_version(const char* program)
{
    std::printf("%s %s\n", program, vorna_version);
    std::printf("legacy key: %s\n", firmware_public_key_fingerprint);
    // Trusted strong keys are listed here, one "strong key: <identifier>" line
    // each, in the order the build trusts them.
    return 0;
}
