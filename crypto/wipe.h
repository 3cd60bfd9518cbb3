// SPDX-License-Identifier: Apache-2.0
#pragma once
// Overwrites memory with zeros in a way the compiler may not drop as a dead store.
#include <cstddef>

void secure_wipe(void* p, std::size_t n);
