// SPDX-License-Identifier: Apache-2.0
// The image source's verified reads: after the pass, every read is held to the
// chunk digests, whatever chunks it touches.
#include "tests/support/capture.h"
#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_source.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using test_support::printed;
using test_support::random_bytes;
using test_support::temp_dir;
using test_support::write_file;

constexpr std::uint64_t k_chunk = k_firmware_chunk_len;

/// Overwrites one byte of the file in place (same inode, as a rogue writer would).
void change_byte(const std::string& path, std::uint64_t at, std::uint8_t value)
{
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, 1, static_cast<off_t>(at)), 1);
    ::close(fd);
}

/// Opens the image, records its chunk digests in one quiet pass and holds every
/// later read to them.
void open_held(const std::string& path, firmware_file& file, firmware_chunk_digests& digests)
{
    ASSERT_EQ(printed([&] {
                  ASSERT_EQ(file.open(path.c_str(), {1, 2, 3, 4}), 0);
                  ASSERT_EQ(digests.reserve(file.size()), 0);
                  std::array<firmware_chunk_consumer*, 1> consumers{&digests};
                  ASSERT_EQ(file.pass(consumers), 0);
              }),
              "");
    file.hold_to(digests);
}

TEST(FirmwareFileVerifiedReads, CrossChunkEdgesAndCatchOneChangedByte)
{
    temp_dir dir;
    const std::string path = dir.file("image");
    // Three whole chunks and a short fourth one.
    const auto bytes = random_bytes(3 * k_chunk + 12345, 31);
    write_file(path, bytes);

    firmware_file file;
    firmware_chunk_digests digests;
    ASSERT_NO_FATAL_FAILURE(open_held(path, file, digests));

    struct range {
        std::uint64_t at;
        std::size_t len;
    };
    auto read = [&](range r, int want) {
        std::vector<std::uint8_t> out(r.len);
        std::string said = printed([&] { EXPECT_EQ(file.read_at(r.at, out), want) << r.at << "+" << r.len; });
        if (want == 0) {
            EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(r.at)))
                << r.at << "+" << r.len;
        }
        return said;
    };
    const std::vector<range> good = {
        {k_chunk - 7, 14},                           // across the first edge
        {0, static_cast<std::size_t>(bytes.size())}, // everything
        {k_chunk - 1, k_chunk + 2},                  // three chunks, one byte of each outer one
        {3 * k_chunk - 3, 12345 + 3},                // into the short last chunk, to the end
        {2 * k_chunk, 0},                            // nothing, at an edge
    };
    for (const range& r : good)
        EXPECT_EQ(read(r, 0), "");

    // One byte of the third chunk changes on disk.
    change_byte(path, 2 * k_chunk + 777, static_cast<std::uint8_t>(bytes[2 * k_chunk + 777] ^ 0x01));
    const std::string changed = "[ERROR]vorna_firmware:601 | firmware '" + path +
                                "' changed after the check, bytes {0x200000:0x100000} differ from the verified "
                                "image.\n";
    // Reads that stay out of that chunk still hold; any read that touches it fails.
    EXPECT_EQ(read({k_chunk - 7, 14}, 0), "");
    EXPECT_EQ(read({2 * k_chunk - 100, 100}, 0), "") << "a read that ends at the edge touches no more";
    EXPECT_EQ(read({3 * k_chunk, 12345}, 0), "");
    EXPECT_EQ(read({2 * k_chunk - 1, 2}, -1), changed);
    EXPECT_EQ(read({2 * k_chunk + 777, 1}, -1), changed);
    EXPECT_EQ(read({3 * k_chunk - 1, 2}, -1), changed);
    EXPECT_EQ(read({0, static_cast<std::size_t>(bytes.size())}, -1), changed);
    // The chunk read back as it was verified is accepted again.
    change_byte(path, 2 * k_chunk + 777, bytes[2 * k_chunk + 777]);
    EXPECT_EQ(read({2 * k_chunk - 1, 2}, 0), "");
}

TEST(FirmwareFileVerifiedReads, AReadAheadHandsVerifiedPiecesInOrderAndStopsAtAChangedChunk)
{
    temp_dir dir;
    const std::string path = dir.file("image");
    const auto bytes = random_bytes(7 * k_chunk + 999, 32);
    write_file(path, bytes);
    firmware_file file;
    firmware_chunk_digests digests;
    ASSERT_NO_FATAL_FAILURE(open_held(path, file, digests));

    // From an offset inside a chunk to one byte short of the end.
    const std::uint64_t from = k_chunk / 2 + 3;
    const std::uint64_t len = bytes.size() - from - 1;
    std::vector<std::uint64_t> offsets;
    auto collect = [&](std::uint64_t at, std::span<const std::uint8_t> piece) {
        offsets.push_back(at);
        EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at))) << at;
        return 0;
    };
    EXPECT_EQ(printed([&] { EXPECT_EQ(file.read_ahead_verified(from, len, collect), 0); }), "");
    const std::uint64_t step = read_ahead::k_slot_len;
    ASSERT_EQ(offsets.size(), (len + step - 1) / step);
    for (std::size_t i = 0; i < offsets.size(); ++i)
        EXPECT_EQ(offsets[i], from + i * step);

    // The sink's own failure ends it with that result.
    offsets.clear();
    EXPECT_EQ(file.read_ahead_verified(from, len,
                                       [&](std::uint64_t at, std::span<const std::uint8_t>) {
                                           offsets.push_back(at);
                                           return offsets.size() == 2 ? -1 : 0;
                                       }),
              -1);
    EXPECT_EQ(offsets.size(), 2u);

    // One byte of the sixth chunk changes: the pieces before it are handed on,
    // the one that touches it is not, and the line comes after them.
    change_byte(path, 5 * k_chunk + 10, static_cast<std::uint8_t>(bytes[5 * k_chunk + 10] ^ 0x80));
    offsets.clear();
    std::string said = printed([&] { EXPECT_EQ(file.read_ahead_verified(from, len, collect), -2); });
    EXPECT_EQ(said, "[ERROR]vorna_firmware:601 | firmware '" + path +
                        "' changed after the check, bytes {0x500000:0x100000} differ from the verified image.\n");
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{from, from + step}));
}

// A pass that records only some chunks (what a check reads afterwards): a read
// of a chunk without a digest fails as a changed image does, though its bytes
// are the ones the pass read.
TEST(FirmwareFileVerifiedReads, AChunkWithoutARecordedDigestIsNeverServed)
{
    temp_dir dir;
    const std::string path = dir.file("image");
    const auto bytes = random_bytes(3 * k_chunk + 100, 33);
    write_file(path, bytes);

    struct first_and_last final : firmware_chunk_consumer {
        explicit first_and_last(firmware_chunk_digests& to) : digests(to) {}
        void consume(std::uint64_t offset, std::span<const std::uint8_t> piece) override
        {
            if (offset == 0 || offset == 3 * k_chunk)
                digests.consume(offset, piece);
        }
        firmware_chunk_digests& digests;
    };
    firmware_file file;
    firmware_chunk_digests digests;
    first_and_last recorder(digests);
    ASSERT_EQ(file.open(path.c_str(), {1, 2, 3, 4}), 0);
    ASSERT_EQ(digests.reserve(file.size()), 0);
    const std::array<firmware_chunk_consumer*, 1> consumers{&recorder};
    ASSERT_EQ(file.pass(consumers), 0);
    file.hold_to(digests);

    const struct {
        std::uint64_t at;
        std::size_t len;
        int want;
        const char* changed; ///< the chunk the line names, when refused
    } cases[] = {
        {0, 4096, 0, nullptr},
        {3 * k_chunk + 1, 99, 0, nullptr},
        {k_chunk, 1, -1, "{0x100000:0x100000}"},
        {2 * k_chunk + 5, 10, -1, "{0x200000:0x100000}"},
        {k_chunk - 2, 4, -1, "{0x100000:0x100000}"}, // from a recorded chunk into one that is not
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> out(c.len);
        const std::string said = printed([&] { EXPECT_EQ(file.read_at(c.at, out), c.want) << c.at; });
        if (c.changed == nullptr) {
            EXPECT_EQ(said, "") << c.at;
            EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(c.at))) << c.at;
        } else {
            EXPECT_EQ(said, "[ERROR]vorna_firmware:601 | firmware '" + path + "' changed after the check, bytes " +
                                c.changed + " differ from the verified image.\n")
                << c.at;
        }
    }
}

} // namespace

namespace {

// What the host tool judges signatures by: the pass's digests must be exactly
// the ones signing computes, whatever the image's size.
TEST(FirmwareImageDigests, AreTheDigestsThatSigningComputes)
{
    for (std::size_t size : {std::size_t{0}, std::size_t{431}, std::size_t{4096}, std::size_t{2 * k_chunk + 7}}) {
        const auto image = random_bytes(size, 7 + static_cast<unsigned>(size));
        firmware_file file;
        ASSERT_EQ(file.open_bytes(image, "(memory)"), 0) << size;
        firmware_dual_digests got{};
        ASSERT_EQ(printed([&] { ASSERT_EQ(firmware_image_digests(file, got), 0); }), "") << size;
        md5_digest legacy{};
        firmware_signed_digest(image, legacy);
        sha256_digest strong{};
        ASSERT_EQ(strong_digest_of(image, strong), 0);
        EXPECT_EQ(got.legacy_rc, 0) << size;
        EXPECT_EQ(got.legacy, legacy) << size;
        EXPECT_EQ(got.strong_rc, 0) << size;
        EXPECT_EQ(got.strong, strong) << size;
    }
}

} // namespace
