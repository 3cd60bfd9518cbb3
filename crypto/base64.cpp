// SPDX-License-Identifier: Apache-2.0
#include "crypto/base64.h"

namespace {

/// 6-bit value of a base64 character; -1 outside the alphabet.
int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

bool base64_decode(const char* text, std::size_t len, std::span<std::uint8_t> out, std::size_t& out_len)
{
    out_len = 0;
    for (std::size_t g = 0; g + 4 <= len; g += 4) {
        const char* c = text + g;
        const int v1 = base64_value(c[0]);
        const int v2 = base64_value(c[1]);
        const int v3 = base64_value(c[2]);
        const int v4 = base64_value(c[3]);
        // Characters with a code of 128 or more fall out here as well.
        if (v1 < 0 || v2 < 0 || (v3 < 0 && c[2] != '=') || (v4 < 0 && c[3] != '='))
            return false;
        const std::size_t bytes = c[2] == '=' ? 1 : c[3] == '=' ? 2 : 3;
        if (out.size() - out_len < bytes)
            return false;

        out[out_len++] = static_cast<std::uint8_t>(v1 * 4 + v2 / 16);
        if (c[2] == '=')
            continue;
        out[out_len++] = static_cast<std::uint8_t>((v2 % 16) * 16 + v3 / 4);
        if (c[3] == '=')
            continue;
        out[out_len++] = static_cast<std::uint8_t>((v3 % 4) * 64 + v4);
    }
    return true;
}
