// SPDX-License-Identifier: Apache-2.0
#pragma once
// Explicit big-endian encoding of the 32-bit words that every stored format uses;
// the crypto code shares the same helpers.
#include "crypto/byte_order.h"
