// SPDX-License-Identifier: Apache-2.0
// Only the lock's path and the state folder: the linker takes this object from
// vorna_core when the program has no definitions of its own.
#include "vorna/support/vorna_paths.h"

const char k_lock_path[] = VORNA_LOCK_PATH;
const char k_state_dir[] = VORNA_STATE_DIR;
