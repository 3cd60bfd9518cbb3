// SPDX-License-Identifier: Apache-2.0
#pragma once
// Unsigned big integers of 16-bit digits, just enough for one RSA public-key
// operation. A bigNum points at the first word of a heap block:
//   word 0 = len (digits in use), words 1..len = digits, least significant first.
// Trimmed form: len >= 1 and the top digit is non-zero, except zero (len 1, digit 0).
// Every function returning a number returns a new block owned by the caller, as a
// bignum_ptr whose deleter is bignum_free (which wipes the block before releasing
// it). Arguments are never modified. An exhausted heap aborts the program.
#include <cstdint>
#include <memory>

using bigNum = std::uint16_t*;

/// Wipes word 0 and the digits 1..len, then releases the block. Null is ignored.
void bignum_free(bigNum x);

struct bignum_deleter {
    void operator()(bigNum x) const { bignum_free(x); }
};
using bignum_ptr = std::unique_ptr<std::uint16_t, bignum_deleter>;

/// A zero-filled number with `digits` digits in use (not trimmed). Null when
/// `digits` is outside 0..65535, which len cannot hold.
[[nodiscard]] bignum_ptr bignum_new(std::int32_t digits);

/// `value`, trimmed, with room for three digits.
[[nodiscard]] bignum_ptr bignum_from_u32(std::uint32_t value);

/// The big-endian byte string `bytes[0..length)`, trimmed; leading zero bytes are
/// allowed and the empty string gives the one number with len 0. Null when
/// `length` is outside 0..131070.
[[nodiscard]] bignum_ptr bignum_from_bytes(const std::uint8_t* bytes, std::int32_t length);

/// The same for the little-endian byte string `bytes[0..length)`.
[[nodiscard]] bignum_ptr bignum_from_le_bytes(const std::uint8_t* bytes, std::int32_t length);

/// base^exponent mod modulus, trimmed, with as many digit words as the modulus
/// has. Null, without computing, when the preconditions fail: the modulus must be
/// trimmed and > 1, and the base may have no more digits than the modulus (it
/// may still be larger than the modulus). exponent 0 gives 1.
[[nodiscard]] bignum_ptr bignum_mod_exp(const std::uint16_t* base, const std::uint16_t* exponent,
                                        const std::uint16_t* modulus);

/// Position of the highest set bit plus one; 0 for zero.
[[nodiscard]] std::int32_t bignum_bit_length(const std::uint16_t* x);

/// Byte `index` of x counted from the least significant (index 0); 0 for an
/// index at or beyond 2 * len, or below 0.
[[nodiscard]] std::uint8_t bignum_byte(const std::uint16_t* x, std::int32_t index);

/// -1, 0 or 1 as a is below, equal to or above b; either may be untrimmed.
[[nodiscard]] int bignum_compare(const std::uint16_t* a, const std::uint16_t* b);

// Internal routines of bignum_mod_exp, exposed for tests. Their digit arrays are
// most significant first.

/// out[0..2n) = a[0..n) * b[0..n).
void bignum_mul_digits(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, int n);

/// Replaces u[0..m) by u mod v[0..n), leaving the remainder in u[m-n..m) and zeros
/// in front of it. Needs m >= n >= 1 and the top bit of v[0] set.
void bignum_rem_digits(std::uint16_t* u, int m, const std::uint16_t* v, int n);
