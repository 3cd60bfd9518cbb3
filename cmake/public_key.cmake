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

if(NOT EXISTS "${VORNA_PUBLIC_KEY_FILE}" OR IS_DIRECTORY "${VORNA_PUBLIC_KEY_FILE}")
  _vorna_key_fail("no such file")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VORNA_PUBLIC_KEY_FILE}")

file(READ "${VORNA_PUBLIC_KEY_FILE}" _vorna_key_text)
string(STRIP "${_vorna_key_text}" _vorna_key_text)
string(LENGTH "${_vorna_key_text}" _vorna_key_len)
if(NOT _vorna_key_len EQUAL 200)
  _vorna_key_fail("the key text is ${_vorna_key_len} characters long, not the 200 of a 1024-bit key blob")
endif()
# 148 bytes are 49 whole groups and one group of a single byte ("xx==").
if(NOT _vorna_key_text MATCHES "^[A-Za-z0-9+/]+==$")
  _vorna_key_fail("the key text is not base64 of a 148-byte blob (one line, ending in \"==\")")
endif()

_vorna_base64_decode("${_vorna_key_text}" _vorna_key_blob)
list(LENGTH _vorna_key_blob _vorna_key_blob_len)
list(SUBLIST _vorna_key_blob 8 4 _vorna_key_magic)
_vorna_le32("${_vorna_key_blob}" 12 _vorna_key_bits)
_vorna_le32("${_vorna_key_blob}" 16 _vorna_key_exponent)
list(GET _vorna_key_blob 147 _vorna_key_top_byte)

if(NOT _vorna_key_blob_len EQUAL 148)
  _vorna_key_fail("the key blob is ${_vorna_key_blob_len} bytes long, not 148")
endif()
if(NOT _vorna_key_magic STREQUAL "82;83;65;49")
  _vorna_key_fail("the key blob lacks the \"RSA1\" magic at offset 8")
endif()
if(NOT _vorna_key_bits EQUAL 1024)
  _vorna_key_fail("the key is of ${_vorna_key_bits} bits; it must be a 1024-bit key")
endif()
if(NOT _vorna_key_exponent EQUAL 65537)
  _vorna_key_fail("the key's public exponent is ${_vorna_key_exponent}; it must be 65537")
endif()
if(_vorna_key_top_byte LESS 128)
  _vorna_key_fail("the modulus is shorter than the 1024 bits the blob states")
endif()

# The development key's private half is published in keys/: anyone can sign for a
# build that trusts it. It is told loudly, and a Release build refuses it unless
# asked (the demo, the tests and the make targets ask).
option(VORNA_ALLOW_DEV_KEY "Allow a Release build to trust the published development key" OFF)
file(READ "${PROJECT_SOURCE_DIR}/keys/dev_public_key.txt" _vorna_dev_key_text)
string(STRIP "${_vorna_dev_key_text}" _vorna_dev_key_text)
if(_vorna_key_text STREQUAL _vorna_dev_key_text)
  message(WARNING "vorna is built to trust the DEVELOPMENT signing key, whose private half is "
                  "published in keys/: anyone can sign images for this build. Never ship it.\n${_vorna_key_help}")
  if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VORNA_ALLOW_DEV_KEY)
    message(FATAL_ERROR "A Release build refuses the development key. Name your own key with "
                        "-DVORNA_PUBLIC_KEY_FILE, or configure with -DVORNA_ALLOW_DEV_KEY=ON for a build "
                        "that is not shipped.")
  endif()
endif()

# The key's fingerprint, which `vorna -V` prints: the first 8 bytes of the SHA-256
# of the key text as configured (the base64 line without white space), in hex.
string(SHA256 _vorna_key_sha256 "${_vorna_key_text}")
string(SUBSTRING "${_vorna_key_sha256}" 0 16 VORNA_PUBLIC_KEY_FINGERPRINT)

set(VORNA_PUBLIC_KEY_SOURCE "${PROJECT_BINARY_DIR}/generated/vorna_public_key.cpp")
file(CONFIGURE OUTPUT "${VORNA_PUBLIC_KEY_SOURCE}" @ONLY CONTENT [=[
// Generated at configure time from @VORNA_PUBLIC_KEY_FILE@; do not edit.
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/cli/vorna_version.h"

const char firmware_public_key[] = "@_vorna_key_text@";
const unsigned firmware_public_key_len = sizeof firmware_public_key - 1;
const char firmware_public_key_fingerprint[] = "@VORNA_PUBLIC_KEY_FINGERPRINT@";
const char vorna_version[] = "@PROJECT_VERSION@";
]=])
message(STATUS "Image signing public key: ${VORNA_PUBLIC_KEY_FILE} (fingerprint ${VORNA_PUBLIC_KEY_FINGERPRINT})")
