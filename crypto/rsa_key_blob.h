// SPDX-License-Identifier: Apache-2.0
#pragma once
// The RSA public key as text: an optional "+ " and then the base64 of a key blob:
//   0   8 bytes blob header (not examined)
//   8   "RSA1"
//   12  modulus length in bits, 32-bit little-endian
//   16  public exponent, 32-bit little-endian
//   20  modulus, bits / 8 bytes, least significant first
#include <cstddef>
#include <cstdint>

#include "crypto/bignum.h"

/// Longest key text taken, and the most modulus bits the arithmetic is sized for.
constexpr unsigned k_rsa_key_text_max = 256;
constexpr std::uint32_t k_rsa_modulus_bits_max = 2048;

/// The public key, built for one verification and wiped with it.
struct rsa_public_key {
    bignum_ptr n;
    bignum_ptr e;
};

/// Reads the key text key_text[0..key_text_len) into `key`. False, with `key`
/// untouched, for a null or longer than 256-character text, one without a whole
/// base64 group, a bad character, a blob without "RSA1", more than 2048 bits, or
/// fewer modulus bytes than the bit length claims. Groups past the modulus are
/// decoded and ignored.
[[nodiscard]] bool rsa_key_blob_read(const char* key_text, unsigned key_text_len, rsa_public_key& key);
