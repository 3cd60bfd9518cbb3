// SPDX-License-Identifier: Apache-2.0
#include "vorna/cli/vorna_version.h"

#include "vorna/firmware/vorna_firmware_verify.h"
#include "vorna/firmware/vorna_security_floor.h"

#include <cstdio>

int print_program_version(const char* program)
{
    std::printf("%s %s\n", program, vorna_version);
    std::printf("legacy key: %s\n", firmware_public_key_fingerprint);
    for (std::size_t i = 0; i < firmware_trusted_key_count(); ++i)
        std::printf("strong key: %s\n", firmware_key_id_text(firmware_trusted_key_id(i)).data());
    // A build without a floor of its own says nothing of it, as before there was one.
    if (k_build_security_floor > 0)
        std::printf("security floor: %u\n", static_cast<unsigned>(k_build_security_floor));
    return 0;
}
