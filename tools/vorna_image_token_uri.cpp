// SPDX-License-Identifier: Apache-2.0
// Token URIs: where a PIN sits in one, what of it may be printed, and the URI
// the engine gets without it.
#include "tools/vorna_image_token_uri.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <vector>

namespace vorna_image {

namespace {

constexpr std::string_view k_scheme = "pkcs11:";

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) { return lower(a) == lower(b); });
}

/// Where `word` first occurs in `text`, in any case; npos when nowhere.
std::size_t find_nocase(std::string_view text, std::string_view word)
{
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (starts_with_nocase(text.substr(at), word))
            return at;
    }
    return std::string_view::npos;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/// `text` with its %XX escapes decoded; false for a '%' without two hex digits.
bool percent_decoded(std::string_view text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int hi = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_digit(text[i + 2]) : -1;
        if (lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

/// The attribute's name, percent-decoded and in lower case; empty when it cannot be decoded.
std::string attribute_name(std::string_view attribute)
{
    std::string name;
    if (!percent_decoded(attribute.substr(0, attribute.find('=')), name))
        return {};
    std::transform(name.begin(), name.end(), name.begin(), lower);
    return name;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        const std::size_t end = text.find(separator);
        if (end != 0)
            parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return parts;
}

} // namespace

std::string printable_key_name(std::string_view name)
{
    if (!starts_with_nocase(name, k_scheme)) {
        // A mistyped URI read as a file name still shows no PIN.
        const std::size_t at = find_nocase(name, "pin-value");
        return at == std::string_view::npos ? std::string(name) : std::string(name.substr(0, at)) + "pin-value=***";
    }
    const std::size_t query = name.find('?');
    const std::string_view path = name.substr(0, query);
    // The cut falls at the first attribute whose name could be a PIN's, however
    // it is spelled; what follows it may be part of the PIN.
    std::size_t at = k_scheme.size();
    while (at < path.size()) {
        const std::size_t end = std::min(path.find(';', at), path.size());
        const std::string attr_name = attribute_name(path.substr(at, end - at));
        if (attr_name.empty() || attr_name.rfind("pin", 0) == 0)
            return std::string(path.substr(0, at)) + "***";
        at = end + 1;
    }
    return query == std::string_view::npos ? std::string(name) : std::string(path) + "?***";
}

token_uri_status parse_token_uri(std::string_view uri, token_uri& out)
{
    out = token_uri{};
    if (!starts_with_nocase(uri, k_scheme))
        return token_uri_status::malformed;
    const std::string_view rest = uri.substr(k_scheme.size());
    const std::size_t query_at = rest.find('?');
    const std::string_view path = rest.substr(0, query_at);
    const std::string_view query = query_at == std::string_view::npos ? std::string_view{} : rest.substr(query_at + 1);
    if (query.find(';') != std::string_view::npos)
        return token_uri_status::semicolon_in_query;

    bool pin_seen = false;
    std::string kept_path;
    std::string kept_query;
    for (const bool in_query : {false, true}) {
        for (const std::string_view attr : split(in_query ? query : path, in_query ? '&' : ';')) {
            const std::size_t eq = attr.find('=');
            const std::string name = attribute_name(attr);
            if (eq == std::string_view::npos || name.empty())
                return token_uri_status::malformed;
            const std::string_view value = attr.substr(eq + 1);
            if (name == "pin-value" || name == "pin-source") {
                if (pin_seen)
                    return token_uri_status::pin_twice;
                pin_seen = true;
                std::string decoded;
                if (!percent_decoded(value, decoded))
                    return token_uri_status::malformed;
                if (decoded.empty())
                    return token_uri_status::empty_pin;
                if (name == "pin-value")
                    out.pin = decoded;
                else
                    out.pin_file = decoded.rfind("file:", 0) == 0 ? decoded.substr(5) : decoded;
                if (out.pin_file.empty() && name == "pin-source")
                    return token_uri_status::empty_pin;
                continue;
            }
            std::string& kept = in_query ? kept_query : kept_path;
            if (!kept.empty())
                kept += in_query ? '&' : ';';
            kept.append(attr);
        }
    }
    out.engine_uri = std::string(k_scheme) + kept_path;
    if (!kept_query.empty())
        out.engine_uri += "?" + kept_query;
    return token_uri_status::ok;
}

} // namespace vorna_image
