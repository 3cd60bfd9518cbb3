// SPDX-License-Identifier: Apache-2.0
#pragma once
// The digests of an image, fed chunk by chunk in file order, so that one
// reading pass computes them all whatever size its chunks have, each over the
// bytes its signed span (vorna_firmware_format.h) counts:
//
// - legacy: MD5 of bytes 20.. with the RSA field (304..431) counted as zeros;
// - strong: SHA-256 of the domain prefix followed by the whole file, bytes 0..,
//   with 304..431 (RSA field) and 432..4095 (signature block area) counted as
//   zeros. Bytes 0..19 are covered. The 32 prefix bytes are the ASCII text
//   "vorna firmware image signature 1": a digest made for images can never be
//   mistaken for the digest of some other message under the same key;
// - index: SHA-256 of its own prefix and the bytes up to the chunk index's end
//   (vorna_firmware_index.h), what the index's signatures cover;
// - a SHA-256 of every chunk (firmware_chunk_digests), to which every later
//   read of the image is held.
//
// One consumer of the verification pass feeds them all: the MD5 share on the
// caller's thread, the SHA-256 share and the chunk digests on the file's
// worker, so that a dual-signed image costs about what the MD5 alone costs.
// Without the MD5 the SHA-256 takes its place on the caller's thread and the
// worker only reads and records the chunk digests, so that reading and hashing
// overlap.
#include "crypto/md5.h"
#include "vorna/firmware/vorna_firmware_index.h"
#include "vorna/firmware/vorna_firmware_source.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

constexpr std::string_view k_strong_digest_prefix = "vorna firmware image signature 1";

using md5_digest = std::array<std::uint8_t, 16>;
using sha256_digest = std::array<std::uint8_t, 32>;

/// Feeds `ctx` with the image's bytes at `offset` as the legacy signature covers
/// them (k_legacy_signed_span). Called on consecutive pieces, it gives the digest
/// of firmware_signed_digest.
void firmware_signed_digest_update(md5_ctx& ctx, std::uint64_t offset, std::span<const std::uint8_t> bytes);

/// MD5 digest of what the legacy signature covers (bytes 20.. with the field as zeros).
void firmware_signed_digest(std::span<const std::uint8_t> image, std::array<std::uint8_t, 16>& digest);

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

/// Streaming SHA-256 of what the chunk index's signatures cover: the prefix
/// "vorna firmware index signature 1", then the image's bytes up to the index's
/// end as firmware_index_signed_mask counts them.
class index_digest {
public:
    explicit index_digest(const firmware_index_location& index);
    /// `bytes` stand at `offset` of the image; offsets must follow each other
    /// from 0. Bytes past the index's end may be fed and are left out. 0, or -1
    /// on a gap (the digest then stays failed).
    int update(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    /// 0 with the digest, or -1 when an update failed or the bytes fed stop
    /// before the index's end.
    int final(sha256_digest& out);

private:
    evp_md_ctx_ptr ctx_;
    firmware_index_location index_;
    std::uint64_t next_ = 0;
    bool failed_ = false;
};

/// The index digest of an image's first bytes held in memory (at least up to
/// the index's end), for the host tool and the tests.
[[nodiscard]] int index_digest_of(std::span<const std::uint8_t> prefix, const firmware_index_location& index,
                                  sha256_digest& out);

/// The digests of a pass, each with its own result (0, or -1 when it failed).
struct firmware_dual_digests {
    int legacy_rc;
    md5_digest legacy;
    int strong_rc;
    sha256_digest strong;
};

/// The one consumer of a verification pass.
class firmware_dual_hasher {
public:
    /// `strong`: whether the strong digest is computed (strong_rc is -1 when
    /// not). `chunks`, when given, records the chunk digests on the worker. `legacy`: whether the MD5 is computed
    /// (legacy_rc is -1 when not); the header's bytes are kept either way.
    explicit firmware_dual_hasher(bool strong = true, firmware_chunk_consumer* chunks = nullptr, bool legacy = true)
        : strong_active_(strong), legacy_active_(legacy), chunks_(chunks)
    {
    }

    /// Feeds the chunk that stands at `offset` of the image to the legacy and
    /// strong digests, on this thread. Chunks come in file order. 0, or -1 once
    /// either has failed.
    int feed(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    /// The caller's share (the header's bytes, and the MD5, or without it the
    /// SHA-256) and the worker's (the chunk digests, and the SHA-256 beside an
    /// MD5) of a pass. A failure shows in finish().
    [[nodiscard]] firmware_chunk_consumer& legacy_part() { return legacy_part_; }
    [[nodiscard]] firmware_chunk_consumer& strong_part() { return strong_part_; }

    /// The legacy and strong digests, once every chunk has been fed.
    [[nodiscard]] firmware_dual_digests finish();

    /// The image's first 4096 bytes as the pass read them (zero past the end of
    /// a shorter image): the only bytes a header is decoded from once verified.
    [[nodiscard]] std::span<const std::uint8_t> header_bytes() const { return header_; }

private:
    int feed_strong(std::uint64_t offset, std::span<const std::uint8_t> chunk);
    void feed_legacy(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    struct legacy_share final : firmware_chunk_consumer {
        explicit legacy_share(firmware_dual_hasher& owner) : owner_(owner) {}
        void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
        {
            owner_.feed_legacy(offset, bytes);
        }
        firmware_dual_hasher& owner_;
    };
    struct strong_share final : firmware_chunk_consumer {
        explicit strong_share(firmware_dual_hasher& owner) : owner_(owner) {}
        void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
        {
            if (owner_.chunks_ != nullptr)
                owner_.chunks_->consume(offset, bytes);
            if (owner_.legacy_active_)
                (void)owner_.feed_strong(offset, bytes);
        }
        firmware_dual_hasher& owner_;
    };

    bool strong_active_;
    bool legacy_active_;
    firmware_chunk_consumer* chunks_;
    legacy_digest legacy_;
    strong_digest strong_;
    std::array<std::uint8_t, k_firmware_header_len> header_{};
    legacy_share legacy_part_{*this};
    strong_share strong_part_{*this};
};

/// The pass alone, the strong digest always computed, for a caller that judges
/// the signatures against keys of its own (the host tool). 0, or -1 after
/// printing a failed read; each digest carries its own result.
[[nodiscard]] int firmware_image_digests(firmware_file& file, firmware_dual_digests& out);
