// SPDX-License-Identifier: Apache-2.0
// The strong-signature block from any bytes (libFuzzer hands them over in a heap
// buffer of exactly their size, so a read past them trips AddressSanitizer). A
// block that decodes holds 1 to 4 Ed25519 entries and encodes back to the very
// same bytes; the verdict on it agrees with the decoder and never passes a
// signature that the trusted key did not make.
#include "vorna/firmware/vorna_firmware_verify.h"

#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> in(data, size);
    signature_block block{};
    const signature_block_status status = signature_block_decode(in, block);

    // One fixed key and digest: forging its signature is out of reach, so only a
    // decoder or verdict fault could pass an input.
    static const firmware_ed25519_key key = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                                             0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                                             0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
    static const sha256_digest digest{};
    const strong_verdict v = firmware_strong_verify(in, digest, std::span(&key, 1));
    FUZZ_REQUIRE(v.kind != strong_verdict_kind::pass);
    FUZZ_REQUIRE(v.block_status == status);
    FUZZ_REQUIRE((v.kind == strong_verdict_kind::missing_block) == (status == signature_block_status::missing));

    if (status != signature_block_status::ok) {
        FUZZ_REQUIRE(block.count == 0);
        return 0;
    }
    FUZZ_REQUIRE(block.count >= 1 && block.count <= k_signature_block_max);
    const std::size_t area = std::min(size, k_signature_block_area);
    FUZZ_REQUIRE(area >= k_signature_block_head_len + block.count * (k_signature_entry_head_len + 64));
    std::vector<std::uint8_t> out(area, 0xAA);
    FUZZ_REQUIRE(signature_block_encode(block, out) == 0);
    FUZZ_REQUIRE(std::equal(out.begin(), out.end(), in.begin()));
    return 0;
}
