// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one digest consumer of a verification pass: the legacy MD5 and the
// strong SHA-256, each fed every byte of the image in file order. A pass
// (firmware_file::pass) feeds the MD5 share on the caller's thread and the
// SHA-256 share on the file's worker beside the chunk digests, so that a
// dual-signed image costs about what the MD5 alone costs, not the sum.
#include "vorna/firmware/vorna_firmware_digest.h"
#include "vorna/firmware/vorna_firmware_reader.h"

#include <cstdint>
#include <span>

/// Both digests of a pass, each with its own result (0, or -1 when it failed).
struct firmware_dual_digests {
    int legacy_rc;
    md5_digest legacy;
    int strong_rc;
    sha256_digest strong;
};

class firmware_dual_hasher {
public:
    /// `strong`: whether the strong digest is computed (strong_rc is -1 when not).
    explicit firmware_dual_hasher(bool strong = true) : strong_active_(strong) {}

    /// Feeds the chunk that stands at `offset` of the image to both digests, on
    /// this thread. Chunks come in file order. 0, or -1 once either has failed.
    int feed(std::uint64_t offset, std::span<const std::uint8_t> chunk);

    /// The MD5's share and the SHA-256's share of a pass, each for one thread.
    /// A failure shows in finish().
    [[nodiscard]] firmware_chunk_consumer& legacy_part() { return legacy_part_; }
    [[nodiscard]] firmware_chunk_consumer& strong_part() { return strong_part_; }

    /// Both digests, once every chunk has been fed.
    [[nodiscard]] firmware_dual_digests finish();

private:
    int feed_strong(std::uint64_t offset, std::span<const std::uint8_t> chunk)
    {
        return strong_active_ ? strong_.update(offset, chunk) : 0;
    }

    struct legacy_share final : firmware_chunk_consumer {
        explicit legacy_share(firmware_dual_hasher& owner) : owner_(owner) {}
        void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
        {
            (void)owner_.legacy_.update(offset, bytes);
        }
        firmware_dual_hasher& owner_;
    };
    struct strong_share final : firmware_chunk_consumer {
        explicit strong_share(firmware_dual_hasher& owner) : owner_(owner) {}
        void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
        {
            (void)owner_.feed_strong(offset, bytes);
        }
        firmware_dual_hasher& owner_;
    };

    bool strong_active_;
    legacy_digest legacy_;
    strong_digest strong_;
    legacy_share legacy_part_{*this};
    strong_share strong_part_{*this};
};
