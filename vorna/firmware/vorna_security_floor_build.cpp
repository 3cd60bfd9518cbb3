// SPDX-License-Identifier: Apache-2.0
// Only the build's floor: the linker takes this object from vorna_core when the
// program has no definition of its own.
#include "vorna/firmware/vorna_security_floor.h"

#ifndef VORNA_SECURITY_FLOOR
#define VORNA_SECURITY_FLOOR 0u
#endif

const std::uint32_t k_build_security_floor = VORNA_SECURITY_FLOOR;
