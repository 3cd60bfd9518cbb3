// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where vorna keeps its files outside the devices: the upgrade's lock and the
// state folder (the record of an upgrade in progress, the firmware floor). Both
// are build options; a product puts them where only root can create files.
#ifndef VORNA_LOCK_PATH
#define VORNA_LOCK_PATH "/tmp/vorna_firmware_upgrade.pid"
#endif
#ifndef VORNA_STATE_DIR
#define VORNA_STATE_DIR "/var/lib/vorna"
#endif

/// The lock's path and the state folder, one object of their own in vorna_core
/// (vorna_paths.cpp): a program that brings its own definitions keeps those (the
/// tests' programs keep both inside their build folder, never where the
/// installed vorna does).
extern const char k_lock_path[];
extern const char k_state_dir[];
