// SPDX-License-Identifier: Apache-2.0
#include "crypto/bignum.h"

#include <bit>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "crypto/wipe.h"

namespace {

constexpr std::uint64_t k_base = 65536;

/// A heap array of digits that is wiped before it is released.
class wiped_digits {
public:
    explicit wiped_digits(std::size_t count) : digits_(new (std::nothrow) std::uint16_t[count]()), count_(count)
    {
        if (!digits_)
            std::abort();
    }
    wiped_digits(const wiped_digits&) = delete;
    wiped_digits& operator=(const wiped_digits&) = delete;
    ~wiped_digits() { secure_wipe(digits_.get(), count_ * sizeof(std::uint16_t)); }

    [[nodiscard]] std::uint16_t* get() { return digits_.get(); }

private:
    std::unique_ptr<std::uint16_t[]> digits_;
    std::size_t count_;
};

/// A block of 1 + capacity words, zero-filled, with len set; aborts on exhausted heap.
bignum_ptr allocate(std::size_t capacity, std::uint16_t len)
{
    auto block = std::unique_ptr<std::uint16_t[]>(new (std::nothrow) std::uint16_t[capacity + 1]());
    if (!block)
        std::abort();
    block[0] = len;
    return bignum_ptr(block.release());
}

void trim(std::uint16_t* x)
{
    while (x[0] > 1 && x[x[0]] == 0)
        --x[0];
}

/// The byte string bytes[0..length) in either order, trimmed.
bignum_ptr from_bytes(const std::uint8_t* bytes, std::int32_t length, bool little_endian)
{
    if (length < 0 || length > 2 * 0xFFFF)
        return nullptr;
    const auto len = static_cast<std::uint16_t>((length + 1) / 2);
    bignum_ptr x = allocate(len, len);
    std::uint16_t* w = x.get();
    for (std::int32_t p = 0; p < length; ++p) {
        const std::int32_t from_low = little_endian ? p : length - 1 - p;
        const auto shift = (from_low % 2 == 1) ? 8 : 0;
        w[1 + from_low / 2] = static_cast<std::uint16_t>(w[1 + from_low / 2] | (bytes[p] << shift));
    }
    trim(w);
    return x;
}

/// Shifts the digits a[0..n) (most significant first) left by s bits, 0 < s < 16;
/// the bits shifted out of a[0] are returned.
std::uint16_t shift_left(std::uint16_t* a, int n, int s)
{
    std::uint16_t carry = 0;
    for (int i = n - 1; i >= 0; --i) {
        const std::uint32_t v = (std::uint32_t{a[i]} << s) | carry;
        a[i] = static_cast<std::uint16_t>(v);
        carry = static_cast<std::uint16_t>(v >> 16);
    }
    return carry;
}

/// Shifts the digits a[0..n) right by s bits, 0 < s < 16, filling with zeros.
void shift_right(std::uint16_t* a, int n, int s)
{
    std::uint16_t carry = 0;
    for (int i = 0; i < n; ++i) {
        const std::uint16_t v = a[i];
        a[i] = static_cast<std::uint16_t>((v >> s) | (std::uint32_t{carry} << (16 - s)));
        carry = static_cast<std::uint16_t>(v & ((1u << s) - 1));
    }
}

} // namespace

void bignum_free(bigNum x)
{
    if (x == nullptr)
        return;
    // Digits above len are zero already: only trimming lowers len, and it drops zeros.
    std::unique_ptr<std::uint16_t[]> block(x);
    secure_wipe(x, (std::size_t{x[0]} + 1) * sizeof(std::uint16_t));
}

bignum_ptr bignum_new(std::int32_t digits)
{
    if (digits < 0 || digits > 0xFFFF)
        return nullptr;
    return allocate(static_cast<std::size_t>(digits), static_cast<std::uint16_t>(digits));
}

bignum_ptr bignum_from_u32(std::uint32_t value)
{
    bignum_ptr x = allocate(3, value >= k_base ? 2 : 1);
    x.get()[1] = static_cast<std::uint16_t>(value);
    x.get()[2] = static_cast<std::uint16_t>(value >> 16);
    return x;
}

bignum_ptr bignum_from_bytes(const std::uint8_t* bytes, std::int32_t length)
{
    return from_bytes(bytes, length, false);
}

bignum_ptr bignum_from_le_bytes(const std::uint8_t* bytes, std::int32_t length)
{
    return from_bytes(bytes, length, true);
}

std::int32_t bignum_bit_length(const std::uint16_t* x)
{
    for (std::int32_t i = x[0]; i >= 1; --i) {
        if (x[i] != 0)
            return 16 * (i - 1) + static_cast<std::int32_t>(std::bit_width(x[i]));
    }
    return 0;
}

std::uint8_t bignum_byte(const std::uint16_t* x, std::int32_t index)
{
    if (index < 0 || index >= 2 * std::int32_t{x[0]})
        return 0;
    return static_cast<std::uint8_t>(x[1 + index / 2] >> (8 * (index % 2)));
}

int bignum_compare(const std::uint16_t* a, const std::uint16_t* b)
{
    const int top = a[0] > b[0] ? a[0] : b[0];
    for (int i = top; i >= 1; --i) {
        const std::uint16_t da = i <= a[0] ? a[i] : 0;
        const std::uint16_t db = i <= b[0] ? b[i] : 0;
        if (da != db)
            return da < db ? -1 : 1;
    }
    return 0;
}

void bignum_mul_digits(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, int n)
{
    for (int i = 0; i < 2 * n; ++i)
        out[i] = 0;
    for (int i = n - 1; i >= 0; --i) {
        // 0xFFFF * 0xFFFF + 0xFFFF + 0xFFFF is exactly 2^32 - 1: 32 bits suffice.
        std::uint32_t carry = 0;
        for (int j = n - 1; j >= 0; --j) {
            const std::uint32_t t = std::uint32_t{a[i]} * b[j] + out[i + j + 1] + carry;
            out[i + j + 1] = static_cast<std::uint16_t>(t);
            carry = t >> 16;
        }
        out[i] = static_cast<std::uint16_t>(carry);
    }
}

// Knuth, The Art of Computer Programming vol. 2, 4.3.1, Algorithm D, base 65536.
// Each window u[i..i+n) together with the digit left above it (`top`) is below
// v * 65536, so its quotient digit fits in 16 bits; the estimate q from the two
// leading digits may exceed that by up to two before correction, hence the 64-bit
// products.
void bignum_rem_digits(std::uint16_t* u, int m, const std::uint16_t* v, int n)
{
    const std::uint64_t v0 = v[0];
    const std::uint64_t v1 = n > 1 ? v[1] : 0;

    for (int i = 0; i + n <= m; ++i) {
        std::uint64_t top = 0;
        if (i > 0) {
            top = u[i - 1];
            u[i - 1] = 0;
        }
        const std::uint64_t u1 = u[i];
        const std::uint64_t u2 = i + 1 < m ? u[i + 1] : 0;

        const std::uint64_t head = top * k_base + u1;
        std::uint64_t q = head / v0;
        std::uint64_t r = head - q * v0;

        // Judge q by the three leading digits; two corrections at most.
        if (q * v1 > r * k_base + u2) {
            --q;
            r += v0;
            if (r < k_base && q * v1 > r * k_base + u2)
                --q;
        }

        // window -= q * v, from the least significant digit up.
        std::uint64_t borrow = 0;
        for (int j = n - 1; j >= 0; --j) {
            const std::uint64_t product = q * v[j] + borrow;
            const auto low = static_cast<std::uint16_t>(product);
            borrow = product >> 16;
            if (u[i + j] < low)
                ++borrow;
            u[i + j] = static_cast<std::uint16_t>(u[i + j] - low);
        }

        // Taking more than the window held leaves a borrow beyond `top`: q was one
        // too large, so add v back once.
        if (borrow != top) {
            std::uint32_t carry = 0;
            for (int j = n - 1; j >= 0; --j) {
                const std::uint32_t t = std::uint32_t{u[i + j]} + v[j] + carry;
                u[i + j] = static_cast<std::uint16_t>(t);
                carry = t >> 16;
            }
        }
    }
}

bignum_ptr bignum_mod_exp(const std::uint16_t* base, const std::uint16_t* exponent, const std::uint16_t* modulus)
{
    const int n = modulus[0];
    if (n == 0 || modulus[n] == 0 || (n == 1 && modulus[1] < 2) || base[0] > n)
        return nullptr;

    // One block holds M (n digits), B (n), R (2n) and S (2n); most significant first.
    wiped_digits work(std::size_t{6} * static_cast<std::size_t>(n));
    std::uint16_t* m = work.get();
    std::uint16_t* b = m + n;
    std::uint16_t* r = b + n;
    std::uint16_t* s = r + 2 * n;

    for (int i = 0; i < n; ++i)
        m[i] = modulus[n - i];
    // Long division needs the divisor's top bit set; the residues modulo
    // modulus * 2^shift stay congruent modulo the modulus, and step 6 below
    // brings the last one down.
    const int shift = std::countl_zero(m[0]);
    if (shift > 0)
        shift_left(m, n, shift);

    for (int i = 0; i < base[0]; ++i)
        b[n - 1 - i] = base[1 + i];

    r[2 * n - 1] = 1;

    const std::int32_t bits = bignum_bit_length(exponent);
    for (std::int32_t bit = bits - 1; bit >= 0; --bit) {
        bignum_mul_digits(r + n, r + n, s, n);
        bignum_rem_digits(s, 2 * n, m, n);
        if ((exponent[1 + bit / 16] >> (bit % 16)) & 1) {
            bignum_mul_digits(s + n, b, r, n);
            bignum_rem_digits(r, 2 * n, m, n);
        } else {
            std::swap(r, s);
        }
    }

    if (shift > 0) {
        r[n - 1] = shift_left(r + n, n, shift);
        bignum_rem_digits(r, 2 * n, m, n);
        shift_right(r + n, n, shift);
    }

    bignum_ptr result = allocate(static_cast<std::size_t>(n), static_cast<std::uint16_t>(n));
    for (int i = 0; i < n; ++i)
        result.get()[1 + i] = r[2 * n - 1 - i];
    trim(result.get());
    return result;
}
