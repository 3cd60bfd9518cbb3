# SPDX-License-Identifier: Apache-2.0
# The Ed25519 public keys whose strong image signatures vorna accepts. Read at
# configure time from PEM files (as `openssl genpkey -algorithm ed25519` and
# `openssl pkey -pubout` make them), checked, and compiled in as
# firmware_trusted_keys(). With none, vorna checks the legacy signature alone.
#
#   openssl genpkey -algorithm ed25519 -out strong.pem
#   openssl pkey -in strong.pem -pubout -out strong.pub.pem
#   cmake -S . -B build -DVORNA_TRUSTED_KEYS="/keys/old.pub.pem;/keys/new.pub.pem"

set(VORNA_TRUSTED_KEYS "" CACHE STRING
    "Ed25519 public key PEM files (a ;-separated list) whose strong image signatures vorna accepts; empty for none")

# Strong-only products: a build that trusts strong keys may stop requiring the
# legacy signature. Its devices then accept an image whose legacy field is zero
# when a trusted strong signature verifies; legacy-only devices refuse such images.
option(VORNA_REQUIRE_LEGACY_SIGNATURE "every image must carry a valid legacy (RSA-1024/MD5) signature" ON)
if(NOT VORNA_REQUIRE_LEGACY_SIGNATURE AND VORNA_TRUSTED_KEYS STREQUAL "")
  message(FATAL_ERROR "VORNA_REQUIRE_LEGACY_SIGNATURE=OFF needs strong keys: set VORNA_TRUSTED_KEYS, or the build would accept images that no signature protects")
endif()

if(NOT COMMAND _vorna_base64_decode)
  message(FATAL_ERROR "cmake/trusted_keys.cmake needs cmake/public_key.cmake to be included first")
endif()

# The DER prefix of an Ed25519 SubjectPublicKeyInfo (RFC 8410), in front of the
# 32 raw key bytes: SEQUENCE { SEQUENCE { OID 1.3.101.112 } BIT STRING }.
set(_vorna_ed25519_spki_prefix "48;42;48;5;6;3;43;101;112;3;33;0")

# Reads one public key PEM file into `out` as a C++ initializer of its 32 bytes.
function(_vorna_trusted_key_bytes path out)
  set(help "make one with:\n  openssl genpkey -algorithm ed25519 -out key.pem\n  openssl pkey -in key.pem -pubout -out key.pub.pem")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "VORNA_TRUSTED_KEYS: no such file ${path}")
  endif()
  file(READ "${path}" text)
  if(text MATCHES "PRIVATE KEY-----")
    message(FATAL_ERROR "VORNA_TRUSTED_KEYS: ${path} holds a private key; give its public half:\n  openssl pkey -in ${path} -pubout -out key.pub.pem")
  endif()
  if(NOT text MATCHES "-----BEGIN PUBLIC KEY-----([A-Za-z0-9+/=\r\n]+)-----END PUBLIC KEY-----")
    message(FATAL_ERROR "VORNA_TRUSTED_KEYS: ${path} is not a PEM public key; ${help}")
  endif()
  string(REGEX REPLACE "[\r\n]" "" b64 "${CMAKE_MATCH_1}")
  if(NOT b64 MATCHES "^[A-Za-z0-9+/]+=*$")
    message(FATAL_ERROR "VORNA_TRUSTED_KEYS: ${path} is not a PEM public key; ${help}")
  endif()
  _vorna_base64_decode("${b64}" der)
  list(LENGTH der der_len)
  set(prefix "")
  if(der_len EQUAL 44)
    list(SUBLIST der 0 12 prefix)
  endif()
  if(NOT prefix STREQUAL _vorna_ed25519_spki_prefix)
    message(FATAL_ERROR "VORNA_TRUSTED_KEYS: ${path} is a public key but not an Ed25519 one; ${help}")
  endif()
  list(SUBLIST der 12 32 raw)
  list(JOIN raw ", " raw)
  set(${out} "{${raw}}" PARENT_SCOPE)
endfunction()

# Writes a source file at `output` that defines firmware_trusted_keys() from the
# PEM files in `keys` (a list; may be empty), and firmware_legacy_signature_required()
# from the optional third argument (ON when absent; OFF needs keys). The tests build vorna variants
# with their own keys from it: a program that has such a source among its own
# objects never pulls vorna_core's default out of the library.
function(vorna_trusted_keys_source output keys)
  set(require_legacy true)
  if(ARGC GREATER 2 AND NOT ARGV2)
    if(keys STREQUAL "")
      message(FATAL_ERROR "a build without trusted keys must require the legacy signature")
    endif()
    set(require_legacy false)
  endif()
  set(initializers "")
  set(count 0)
  foreach(key IN LISTS keys)
    _vorna_trusted_key_bytes("${key}" bytes)
    string(APPEND initializers "    firmware_ed25519_key${bytes}, // ${key}\n")
    math(EXPR count "${count} + 1")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key}")
  endforeach()
  file(CONFIGURE OUTPUT "${output}" @ONLY CONTENT [=[
// Generated at configure time from the trusted key files named below; do not edit.
#include "vorna/firmware/vorna_firmware_verify.h"

namespace {
const std::array<firmware_ed25519_key, @count@> k_trusted_keys = {
@initializers@};
} // namespace

std::span<const firmware_ed25519_key> firmware_trusted_keys()
{
    return k_trusted_keys;
}

bool firmware_legacy_signature_required()
{
    return @require_legacy@;
}
]=])
endfunction()

set(VORNA_TRUSTED_KEYS_SOURCE "${PROJECT_BINARY_DIR}/generated/vorna_trusted_keys.cpp")
vorna_trusted_keys_source("${VORNA_TRUSTED_KEYS_SOURCE}" "${VORNA_TRUSTED_KEYS}" ${VORNA_REQUIRE_LEGACY_SIGNATURE})
list(LENGTH VORNA_TRUSTED_KEYS _vorna_trusted_count)
message(STATUS "Trusted strong-signature keys: ${_vorna_trusted_count}")
# Without strong keys only the legacy signature holds, and it does not cover bytes
# 0..19: said as loudly as the development key is.
if(_vorna_trusted_count EQUAL 0)
  message(WARNING "vorna is built without strong-signature keys (VORNA_TRUSTED_KEYS): it checks the "
                  "legacy signature alone, which leaves the image's table offset unsigned. Anyone may then "
                  "turn a genuine image into one that writes any partition's signed contents to another "
                  "partition (a kernel into \"boot\", say), and this build accepts it. Ship builds with "
                  "trusted keys (see \"Strong signatures\" in docs/signing.md).")
endif()
