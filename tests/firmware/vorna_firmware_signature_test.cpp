// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/mapped_file.h"
#include "vorna/storage/unique_fd.h"
#include "vorna/firmware/vorna_firmware_verify.h"

extern char** environ;

namespace {

using bytes = std::vector<std::uint8_t>;
namespace ts = test_support;

// Images signed with the development key by the openssl command line.
class signed_image : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef VORNA_OPENSSL_PROGRAM
        GTEST_SKIP() << "no openssl program";
#endif
    }

    static int run(std::vector<std::string> args)
    {
#ifdef VORNA_OPENSSL_PROGRAM
        args.insert(args.begin(), VORNA_OPENSSL_PROGRAM);
#endif
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            return -1;
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    /// Signs `image` in place; returns the MD5 digest that openssl computed.
    bytes sign(bytes& image)
    {
        std::fill_n(image.begin() + 304, 128, 0);
        const std::string part = dir_.file("signed_part");
        const std::string md5 = dir_.file("md5"), sha = dir_.file("sha1"), sig = dir_.file("sig");
        ts::write_file(part, bytes(image.begin() + 20, image.end()));
        const std::string key = ts::dev_private_key();
        EXPECT_EQ(run({"dgst", "-md5", "-binary", "-out", md5, part}), 0);
        EXPECT_EQ(run({"dgst", "-sha1", "-binary", "-out", sha, md5}), 0);
        EXPECT_EQ(run({"pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha1", "-in", sha, "-out", sig}), 0);
        const bytes s = ts::read_file(sig);
        EXPECT_EQ(s.size(), 128u);
        std::reverse_copy(s.begin(), s.end(), image.begin() + 304);
        return ts::read_file(md5);
    }

    /// firmware_verify_signature, checking that the image is left as it was.
    static int verify_image(const bytes& image)
    {
        const bytes before = image;
        const int rc = firmware_verify_signature(image);
        EXPECT_EQ(image, before);
        EXPECT_TRUE(rc == 0 || rc == -1) << rc;
        return rc;
    }

    ts::temp_dir dir_;
};

TEST_F(signed_image, signed_images_of_several_sizes_pass)
{
    for (std::size_t size : {432u, 433u, 4096u, 70001u}) {
        bytes image = ts::random_bytes(size, static_cast<std::uint32_t>(size));
        const bytes md5 = sign(image);
        std::array<std::uint8_t, 16> digest{};
        firmware_signed_digest(image, digest);
        EXPECT_EQ(bytes(digest.begin(), digest.end()), md5) << size;
        EXPECT_EQ(verify_image(image), 0) << size;
        // Fed in two pieces split anywhere, around the field's edges above all,
        // the digest is the same: vorna reads the image in chunks.
        for (std::size_t split : {1u, 19u, 20u, 21u, 303u, 304u, 305u, 431u, 432u}) {
            md5_ctx ctx;
            md5_init(&ctx);
            firmware_signed_digest_update(ctx, 0, std::span(image).first(split));
            firmware_signed_digest_update(ctx, split, std::span(image).subspan(split));
            std::array<std::uint8_t, 16> pieces{};
            md5_final(pieces.data(), &ctx);
            EXPECT_EQ(pieces, digest) << size << " split at " << split;
        }
    }
}

TEST_F(signed_image, every_covered_byte_matters_and_the_first_twenty_do_not)
{
    bytes image = ts::random_bytes(4096 + 300, 77);
    sign(image);
    ASSERT_EQ(verify_image(image), 0);

    for (std::size_t at = 0; at < image.size(); ++at) {
        image[at] ^= 0x5A;
        const int want = at < 20 ? 0 : -1;
        ASSERT_EQ(verify_image(image), want) << "byte " << at;
        image[at] ^= 0x5A;
    }

    for (std::size_t at = 0; at < 20; ++at)
        image[at] = static_cast<std::uint8_t>(~image[at]);
    EXPECT_EQ(verify_image(image), 0);

    std::fill_n(image.begin() + 304, 128, 0);
    EXPECT_EQ(verify_image(image), -1);
}

TEST_F(signed_image, verifies_through_a_read_only_mapping)
{
    bytes image = ts::random_bytes(8192, 3);
    sign(image);
    const std::string path = dir_.file("image.bin");
    ts::write_file(path, image);

    const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    const mapped_file map(fd.get(), image.size());
    ASSERT_TRUE(map.valid());
    // A write to this mapping would kill the test with SIGSEGV.
    EXPECT_EQ(firmware_verify_signature(map.bytes()), 0);
    EXPECT_EQ(ts::read_file(path), image);
}

TEST(firmware_verify_signature, short_images_fail)
{
    for (std::size_t size : {0u, 19u, 20u, 304u, 431u}) {
        const bytes image = ts::random_bytes(size, 9);
        EXPECT_EQ(firmware_verify_signature(image), -1) << size;
    }
}

} // namespace
