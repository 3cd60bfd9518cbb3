#pragma once
// Unsigned big integers of 16-bit digits, just enough for one RSA public-key
// operation. A bigNum points at the first word of a heap block:
//   word 0 = len (digits in use), words 1..len = digits, least significant first.
// Every function returning a bigNum returns a new block owned by the caller and
// released with bignum_free, which wipes it. Arguments are never modified.
// An exhausted heap aborts the program.
#include <cstdint>

using bigNum = std::uint16_t*;

[[nodiscard]] bigNum bignum_new(std::int32_t digits);
[[nodiscard]] bigNum bignum_from_u32(std::uint32_t value);
[[nodiscard]] bigNum bignum_from_bytes(const std::uint8_t* bytes, std::int32_t length);
void bignum_free(bigNum x);

/// base^exponent mod modulus, trimmed. Null when the preconditions fail: the
/// modulus must be trimmed and > 1, the base no longer in digits than it.
[[nodiscard]] bigNum bignum_mod_exp(const std::uint16_t* base, const std::uint16_t* exponent,
                                    const std::uint16_t* modulus);

[[nodiscard]] std::int32_t bignum_bit_length(const std::uint16_t* x);
[[nodiscard]] std::uint8_t bignum_byte(const std::uint16_t* x, std::int32_t index);

// Internal routines of bignum_mod_exp, exposed for tests; digit arrays are most
// significant first.
void bignum_mul_digits(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, int n);
void bignum_rem_digits(std::uint16_t* u, int m, const std::uint16_t* v, int n);
