// SPDX-License-Identifier: Apache-2.0
#include "crypto/wipe.h"

void secure_wipe(void* p, std::size_t n)
{
    // Writing through a volatile pointer keeps the stores even when the memory is
    // released right afterwards.
    volatile unsigned char* q = static_cast<volatile unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        q[i] = 0;
}
