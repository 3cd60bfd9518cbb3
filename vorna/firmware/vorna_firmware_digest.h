// SPDX-License-Identifier: Apache-2.0
#pragma once
// The two digests of an image, fed chunk by chunk in file order, so that one
// reading pass can compute both whatever size its chunks have:
//
// - legacy: MD5 of bytes 20.. with the RSA field (304..431) counted as zeros;
// - strong: SHA-256 of the domain prefix followed by the whole file, bytes 0..,
//   with 304..431 (RSA field) and 432..4095 (signature block area) counted as
//   zeros. Bytes 0..19 are covered. The 32 prefix bytes are the ASCII text
//   "vorna firmware image signature 1": a digest made for images can never be
//   mistaken for the digest of some other message under the same key.
#include "crypto/md5.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

constexpr std::string_view k_strong_digest_prefix = "vorna firmware image signature 1";
constexpr std::size_t k_strong_zero_from = 304;
constexpr std::size_t k_strong_zero_to = 4096;

using md5_digest = std::array<std::uint8_t, 16>;
using sha256_digest = std::array<std::uint8_t, 32>;

/// Streaming MD5 of what the legacy signature covers.
class legacy_digest {
public:
    legacy_digest();
    /// `bytes` stand at `offset` of the image; offsets must follow each other.
    /// 0, or -1 on a gap (the digest then stays failed).
    int update(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    /// 0 with the digest, or -1 when an update failed.
    int final(md5_digest& out);

private:
    md5_ctx ctx_{};
    std::uint64_t next_ = 0;
    bool failed_ = false;
};

struct evp_md_ctx_deleter {
    void operator()(struct evp_md_ctx_st* ctx) const;
};
/// Owner of an OpenSSL digest context, for vorna and the host tool alike.
using evp_md_ctx_ptr = std::unique_ptr<struct evp_md_ctx_st, evp_md_ctx_deleter>;

/// Streaming SHA-256 of what the strong signatures cover.
class strong_digest {
public:
    /// Starts the digest with its prefix; a failure shows in update and final.
    strong_digest();
    int update(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    int final(sha256_digest& out);

private:
    evp_md_ctx_ptr ctx_;
    std::uint64_t next_ = 0;
    bool failed_ = false;
};

/// The strong digest of a whole image held in memory (the host tool, tests).
[[nodiscard]] int strong_digest_of(std::span<const std::uint8_t> image, sha256_digest& out);
