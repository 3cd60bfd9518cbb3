// SPDX-License-Identifier: Apache-2.0
#pragma once
// Token URIs (RFC 7512 "pkcs11:") as the image tool reads them: the PIN they may
// carry is taken out before the engine sees the URI, and every key name the tool
// prints passes through printable_key_name, so that no PIN reaches an output.
#include <string>
#include <string_view>

namespace vorna_image {

/// `name` as it may be printed: anything but a token URI unchanged; a token URI
/// without its query (after '?') and without everything from the first path
/// attribute whose name starts with "pin" (either way "***" marks the cut). A PIN
/// may hold ';', '&' or '?' written raw, so nothing after its start is shown.
[[nodiscard]] std::string printable_key_name(std::string_view name);

/// A token URI with its PIN taken out.
struct token_uri {
    std::string engine_uri; ///< the URI without pin-value and pin-source, for the engine
    std::string pin;        ///< the pin-value, percent-decoded; empty when none
    std::string pin_file;   ///< the file pin-source names ("file:" dropped); empty when none
};

enum class token_uri_status {
    ok,
    malformed,          ///< an attribute without "name=", or a bad %-escape in a PIN attribute
    pin_twice,          ///< more than one pin-value or pin-source: which one counts is a guess
    semicolon_in_query, ///< a raw ';' after '?': the standard and the engine split it differently
    empty_pin,          ///< a pin-value or pin-source with nothing after '='
};

/// Splits `uri` (a "pkcs11:" URI) into `out`. Attribute names are compared
/// percent-decoded and without regard to case, so that no spelling of a PIN
/// attribute slips through to the engine.
[[nodiscard]] token_uri_status parse_token_uri(std::string_view uri, token_uri& out);

} // namespace vorna_image
