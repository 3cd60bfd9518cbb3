// SPDX-License-Identifier: Apache-2.0
#pragma once
// RSASSA-PKCS1-v1_5 signature verification with SHA-1 (RFC 8017, 8.2.2).
#include <cstdint>

/// Verifies `signature`, a little-endian integer of at most 256 bytes, over
/// message[0..message_len) under the key text (see rsa_key_blob.h). 1 when
/// valid, else 0; every byte of the expected encoding is compared.
[[nodiscard]] int rsa_verify_sha1(const char* key_text, unsigned key_text_len, const std::uint8_t* message,
                                  std::int32_t message_len, const std::uint8_t* signature, unsigned signature_len);
