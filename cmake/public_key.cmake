# SPDX-License-Identifier: Apache-2.0
# The public key that vorna checks image signatures against is the deployment's
# own. It is read here, at configure time, from a file holding the base64 text of
# a 148-byte RSA public-key blob, checked, and compiled in as firmware_public_key.
#
# Make a key pair and its text:
#   openssl genrsa -out key.pem 1024
#   openssl rsa -in key.pem -pubout -outform MSBLOB | base64 -w0 > key.txt
# then configure with -DVORNA_PUBLIC_KEY_FILE=/path/to/key.txt.

set(VORNA_PUBLIC_KEY_FILE "${PROJECT_SOURCE_DIR}/keys/dev_public_key.txt"
    CACHE FILEPATH "File holding the base64 text of the image signing public key blob")

set(_vorna_key_help
    "Make one with:\n  openssl genrsa -out key.pem 1024\n  openssl rsa -in key.pem -pubout -outform MSBLOB | base64 -w0 > key.txt\nand configure with -DVORNA_PUBLIC_KEY_FILE=key.txt")

function(_vorna_key_fail reason)
  message(FATAL_ERROR "VORNA_PUBLIC_KEY_FILE (${VORNA_PUBLIC_KEY_FILE}): ${reason}.\n${_vorna_key_help}")
endfunction()

# Decodes base64 text (alphabet characters, then any "=" padding) into a list of
# byte values in `out`.
function(_vorna_base64_decode text out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(REGEX REPLACE "=+$" "" text "${text}")
  string(LENGTH "${text}" len)
  set(bytes "")
  set(acc 0)
  set(nbits 0)
  math(EXPR last "${len} - 1")
  foreach(i RANGE 0 ${last})
    string(SUBSTRING "${text}" ${i} 1 c)
    string(FIND "${alphabet}" "${c}" v)
    math(EXPR acc "((${acc} << 6) | ${v}) & 0xFFFF")
    math(EXPR nbits "${nbits} + 6")
    if(nbits GREATER_EQUAL 8)
      math(EXPR nbits "${nbits} - 8")
      math(EXPR byte "(${acc} >> ${nbits}) & 0xFF")
      list(APPEND bytes ${byte})
    endif()
  endforeach()
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# The 32-bit little-endian value at `offset` of the byte list.
function(_vorna_le32 bytes offset out)
  set(value 0)
  foreach(k 3 2 1 0)
    math(EXPR at "${offset} + ${k}")
    list(GET bytes ${at} b)
    math(EXPR value "(${value} << 8) | ${b}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# Reads the key text of `path` into `out`, checked: a one-line base64 text of a
# 148-byte blob of a 1024-bit RSA key with exponent 65537. A fault names `path`.
function(vorna_read_public_key path out)
  set(VORNA_PUBLIC_KEY_FILE "${path}")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    _vorna_key_fail("no such file")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  file(READ "${path}" text)
  string(STRIP "${text}" text)
  string(LENGTH "${text}" len)
  if(NOT len EQUAL 200)
    _vorna_key_fail("the key text is ${len} characters long, not the 200 of a 1024-bit key blob")
  endif()
  # 148 bytes are 49 whole groups and one group of a single byte ("xx==").
  if(NOT text MATCHES "^[A-Za-z0-9+/]+==$")
    _vorna_key_fail("the key text is not base64 of a 148-byte blob (one line, ending in \"==\")")
  endif()
  _vorna_base64_decode("${text}" blob)
  list(LENGTH blob blob_len)
  list(SUBLIST blob 8 4 magic)
  _vorna_le32("${blob}" 12 bits)
  _vorna_le32("${blob}" 16 exponent)
  list(GET blob 147 top_byte)
  if(NOT blob_len EQUAL 148)
    _vorna_key_fail("the key blob is ${blob_len} bytes long, not 148")
  endif()
  if(NOT magic STREQUAL "82;83;65;49")
    _vorna_key_fail("the key blob lacks the \"RSA1\" magic at offset 8")
  endif()
  if(NOT bits EQUAL 1024)
    _vorna_key_fail("the key is of ${bits} bits; it must be a 1024-bit key")
  endif()
  if(NOT exponent EQUAL 65537)
    _vorna_key_fail("the key's public exponent is ${exponent}; it must be 65537")
  endif()
  if(top_byte LESS 128)
    _vorna_key_fail("the modulus is shorter than the 1024 bits the blob states")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The key's fingerprint, which `vorna -V` prints: the first 8 bytes of the SHA-256
# of the key text as configured (the base64 line without white space), in hex.
function(vorna_public_key_fingerprint text out)
  string(SHA256 sha256 "${text}")
  string(SUBSTRING "${sha256}" 0 16 fingerprint)
  set(${out} "${fingerprint}" PARENT_SCOPE)
endfunction()

# Writes a source file at `output` that defines the legacy public key of `path`, its
# fingerprint and the version. vorna_core holds the configured key's; the tests
# build their programs with the development key's (a program that has such a
# source among its own objects never pulls vorna_core's out of the library).
function(vorna_public_key_source output path)
  vorna_read_public_key("${path}" key_text)
  vorna_public_key_fingerprint("${key_text}" fingerprint)
  file(CONFIGURE OUTPUT "${output}" @ONLY CONTENT [=[
// Generated at configure time from @path@; do not edit.
#include "vorna/firmware/vorna_firmware_verify.h"
#include "vorna/cli/vorna_version.h"

const char firmware_public_key[] = "@key_text@";
const unsigned firmware_public_key_len = sizeof firmware_public_key - 1;
const char firmware_public_key_fingerprint[] = "@fingerprint@";
const char vorna_version[] = "@PROJECT_VERSION@";
]=])
endfunction()

set(VORNA_DEV_PUBLIC_KEY_FILE "${PROJECT_SOURCE_DIR}/keys/dev_public_key.txt")
vorna_read_public_key("${VORNA_PUBLIC_KEY_FILE}" _vorna_key_text)
vorna_public_key_fingerprint("${_vorna_key_text}" VORNA_PUBLIC_KEY_FINGERPRINT)
file(READ "${VORNA_DEV_PUBLIC_KEY_FILE}" _vorna_dev_key_text)
string(STRIP "${_vorna_dev_key_text}" _vorna_dev_key_text)
vorna_public_key_fingerprint("${_vorna_dev_key_text}" VORNA_DEV_PUBLIC_KEY_FINGERPRINT)
if(_vorna_key_text STREQUAL _vorna_dev_key_text)
  set(VORNA_PUBLIC_KEY_IS_DEV ON)
else()
  set(VORNA_PUBLIC_KEY_IS_DEV OFF)
endif()

# The development key's private half is published in keys/: anyone can sign for a
# build that trusts it. It is told loudly; a Release build refuses it, and so does
# every installation (cmake --install, make install, a package build), unless
# asked: VORNA_ALLOW_DEV_KEY lets a build that is not shipped trust it (the demo,
# the tests and the make targets ask), VORNA_INSTALL_DEV_KEY lets one install it
# (a test machine).
option(VORNA_ALLOW_DEV_KEY "Allow a Release build to trust the published development key" OFF)
option(VORNA_INSTALL_DEV_KEY "Allow installing programs that trust the published development key (a test machine, never a product)" OFF)
set(VORNA_DEV_KEY_REFUSAL
    "the build trusts the DEVELOPMENT signing key, whose private half is published in keys/. Give the product's key: configure with -DVORNA_PUBLIC_KEY_FILE=key.txt (make: CMAKE_FLAGS=-DVORNA_PUBLIC_KEY_FILE=key.txt; Debian package: VORNA_PUBLIC_KEY_FILE=key.txt dpkg-buildpackage), or, for a build that is never shipped, -DVORNA_ALLOW_DEV_KEY=ON to build it and -DVORNA_INSTALL_DEV_KEY=ON to install it.")
if(VORNA_PUBLIC_KEY_IS_DEV)
  message(WARNING "vorna is built to trust the DEVELOPMENT signing key, whose private half is "
                  "published in keys/: anyone can sign images for this build. Never ship it.\n${_vorna_key_help}")
  if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VORNA_ALLOW_DEV_KEY)
    message(FATAL_ERROR "A Release build refuses the development key: ${VORNA_DEV_KEY_REFUSAL}")
  endif()
endif()

set(VORNA_PUBLIC_KEY_SOURCE "${PROJECT_BINARY_DIR}/generated/vorna_public_key.cpp")
vorna_public_key_source("${VORNA_PUBLIC_KEY_SOURCE}" "${VORNA_PUBLIC_KEY_FILE}")
message(STATUS "Image signing public key: ${VORNA_PUBLIC_KEY_FILE} (fingerprint ${VORNA_PUBLIC_KEY_FINGERPRINT})")
