// SPDX-License-Identifier: Apache-2.0
// Token URIs: no spelling of a PIN shows in a printed key name, and the URI the
// engine gets holds no PIN.
#include "tools/vorna_image_token_uri.h"

#include <gtest/gtest.h>

#include <string>

namespace vorna_image {
namespace {

TEST(TokenUri, PrintableKeyNameShowsNoPin)
{
    struct row {
        const char* name;
        const char* printed;
    };
    const row rows[] = {
        {"keys/signing.pem", "keys/signing.pem"},
        {"pkcs11:token=a;object=b", "pkcs11:token=a;object=b"},
        {"pkcs11:token=a;object=b?pin-value=1234", "pkcs11:token=a;object=b?***"},
        {"pkcs11:token=a?pin-value=0000&pin-value=1234", "pkcs11:token=a?***"},
        // In the path: everything from the PIN on, since a ';' or '?' in it ends nothing.
        {"pkcs11:token=a;pin-value=12;34;object=b", "pkcs11:token=a;***"},
        {"pkcs11:token=a;pin-value=12?34", "pkcs11:token=a;***"},
        {"pkcs11:token=a;PIN-Value=1234", "pkcs11:token=a;***"},
        {"pkcs11:token=a;pin%2dvalue=1234", "pkcs11:token=a;***"},
        {"pkcs11:pin-value=1234;token=a", "pkcs11:***"},
        {"pkcs11:token=a;%zz=1234", "pkcs11:token=a;***"},
        {"PKCS11:token=a?pin-value=1234", "PKCS11:token=a?***"},
        // Not a URI, but a PIN all the same.
        {"pkcs11;token=a;pin-value=1234", "pkcs11;token=a;pin-value=***"},
    };
    for (const row& r : rows)
        EXPECT_EQ(printable_key_name(r.name), r.printed) << r.name;
}

TEST(TokenUri, ParseTakesThePinOut)
{
    struct row {
        const char* uri;
        token_uri_status status;
        const char* engine_uri;
        const char* pin;
        const char* pin_file;
    };
    using s = token_uri_status;
    const row rows[] = {
        {"pkcs11:token=a;object=b", s::ok, "pkcs11:token=a;object=b", "", ""},
        {"pkcs11:token=a;object=b?pin-value=1234", s::ok, "pkcs11:token=a;object=b", "1234", ""},
        {"pkcs11:token=a;pin-value=12%3B4;object=b", s::ok, "pkcs11:token=a;object=b", "12;4", ""},
        {"pkcs11:token=a?module-path=/m.so&pin-value=1%264", s::ok, "pkcs11:token=a?module-path=/m.so", "1&4", ""},
        {"pkcs11:token=a?pin-source=file:/run/pin", s::ok, "pkcs11:token=a", "", "/run/pin"},
        {"pkcs11:token=a?pin-source=/run/pin", s::ok, "pkcs11:token=a", "", "/run/pin"},
        {"pkcs11:token=a?pin-value=0000&pin-value=1234", s::pin_twice, "", "", ""},
        {"pkcs11:token=a;pin-value=0000?pin-value=1234", s::pin_twice, "", "", ""},
        {"pkcs11:token=a;PIN%2DVALUE=0000?pin-value=1234", s::pin_twice, "", "", ""},
        {"pkcs11:token=a?pin-value=1234&pin-source=/run/pin", s::pin_twice, "", "", ""},
        {"pkcs11:token=a?pin-value=12;34", s::semicolon_in_query, "", "", ""},
        {"pkcs11:token=a;pin-value=12;34", s::malformed, "", "", ""},
        {"pkcs11:token=a?pin-value=12&34", s::malformed, "", "", ""},
        {"pkcs11:token=a?pin-value=12%3", s::malformed, "", "", ""},
        {"pkcs11:token=a?pin-value=", s::empty_pin, "", "", ""},
        {"pkcs11:token=a?pin-source=file:", s::empty_pin, "", "", ""},
    };
    for (const row& r : rows) {
        token_uri out;
        EXPECT_EQ(parse_token_uri(r.uri, out), r.status) << r.uri;
        if (r.status != s::ok)
            continue;
        EXPECT_EQ(out.engine_uri, r.engine_uri) << r.uri;
        EXPECT_EQ(out.pin, r.pin) << r.uri;
        EXPECT_EQ(out.pin_file, r.pin_file) << r.uri;
    }
}

} // namespace
} // namespace vorna_image
