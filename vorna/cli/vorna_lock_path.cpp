// SPDX-License-Identifier: Apache-2.0
// Only the lock's path: the linker takes this object from vorna_core when the
// program has no definition of its own.
#include "vorna/cli/vorna_firmware_upgrade.h"

const char k_lock_path[] = VORNA_LOCK_PATH;
