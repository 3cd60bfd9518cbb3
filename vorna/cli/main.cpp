// SPDX-License-Identifier: Apache-2.0
#include "vorna/cli/vorna_firmware_upgrade.h"

int main(int argc, char** argv)
{
    return vorna_main(argc, argv) & 0xFF;
}
