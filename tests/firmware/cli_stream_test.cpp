// SPDX-License-Identifier: Apache-2.0
// vorna -c and -u from a stream (-f - and a FIFO). Whatever the stream does (a
// wrong block, an early end, a prefix that is refused), the devices hold only
// their old bytes or bytes verified against the signed chunk index: the write
// log of the kill_after_writes library shows every write that reached them.
#include "tests/firmware/cli_firmware_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

using namespace firmware_cli;
using test_support::cli_result;

namespace {

// Key identifiers of the test keys (tests/data/strong).
const std::string k_id_a = "6047530255475293";
const std::string k_id_b = "f84dc88f95f6613d";
const std::string k_index_pass = "[INFO]vorna_firmware:684 | chunk index signature check pass, key " + k_id_a;
const std::string k_strong_pass = "[INFO]vorna_firmware:665 | strong signature check pass, key " + k_id_a;
const std::string k_waived = "[INFO]vorna_firmware:668 | no legacy signature, not required by this build";

std::string strong_key(const char* name)
{
    return std::string(VORNA_TEST_DATA_DIR) + "/strong/" + name;
}

/// The usual board with a larger rootfs, every partition holding old bytes of
/// its own; the image's rootfs spans two read-ahead pieces and a short block.
class StreamTest : public ::testing::Test {
protected:
    StreamTest()
        : b(board_plan{.nor = {{"bootloader", 0x0, 0x40000}, {"radio", 0x50000, 0x40000}},
                       .emmc = {{"kernel", 0x100000, 0x100000}, {"rootfs", 0x200000, 0x400000}},
                       .emmc_size = 0x800000,
                       .contents = {{"bootloader", test_support::random_bytes(0x40000, 1)},
                                    {"radio", test_support::random_bytes(0x40000, 2)},
                                    {"kernel", test_support::random_bytes(0x100000, 3)},
                                    {"rootfs", test_support::random_bytes(0x400000, 4)}}})
    {
        parts.rootfs.size = 0x400000;
        parts.rootfs.contents = test_support::random_bytes(0x230000 + 1234, 15);
        plan.parts = {parts.boot, parts.kernel, parts.radio, parts.rootfs};
        plan.strong_keys = {strong_key("key_a.pem")};
        image = pack(b.dir(), plan);
        old = {whole(b.nor), whole(b.emmc)};
        target = old;
        for (const image_part& p : plan.parts)
            std::copy(p.contents.begin(), p.contents.end(), target[p.type == "\"nor\"" ? 0 : 1].begin() + p.base);
    }

    /// Runs `bin MODE -f -` (or `-f FIFO`) fed with `input`, the devices' writes logged.
    cli_result run(const char* bin, const char* mode, const bytes& input, bool fifo = false)
    {
        const std::string path = fifo ? b.file("stream.fifo") : "-";
        if (fifo && ::access(path.c_str(), F_OK) != 0) {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        std::remove(log.c_str());
        test_support::scoped_env files("VORNA_FAULT_FILES", b.nor + ":" + b.emmc);
        test_support::scoped_env logged("VORNA_FAULT_LOG", log);
        test_support::scoped_preload shim(VORNA_FAULT_SHIM);
        const std::vector<std::string> argv = {bin, mode, "-b", "0x10000", "-d", b.table, "-f", path};
        for (int attempt = 0;; ++attempt) {
            cli_result r = test_support::run_cli_fed(argv, input, fifo ? path : "");
            if (r.status != 255 || r.err.find("already locked") == std::string::npos || attempt == 300)
                return r;
            ::usleep(200000);
        }
    }

    /// Puts the old bytes back on the devices.
    void restore()
    {
        test_support::write_file(b.nor, old[0]);
        test_support::write_file(b.emmc, old[1]);
    }

    /// Every byte a logged write reached is the verified new one, every other
    /// byte the old one, and each 64 KiB block of an entry is wholly one or the other.
    void expect_old_or_verified(const std::string& context)
    {
        const std::array<bytes, 2> now = {whole(b.nor), whole(b.emmc)};
        std::array<std::vector<bool>, 2> written = {std::vector<bool>(now[0].size()), std::vector<bool>(now[1].size())};
        std::ifstream in(log);
        std::size_t dev = 0, at = 0, count = 0;
        while (in >> dev >> at >> count) {
            ASSERT_LE(at + count, now[dev].size()) << context;
            EXPECT_TRUE(std::equal(now[dev].begin() + at, now[dev].begin() + at + count, target[dev].begin() + at))
                << context << ": a write of unverified bytes at " << dev << ":" << at;
            std::fill(written[dev].begin() + at, written[dev].begin() + at + count, true);
        }
        for (std::size_t d = 0; d < 2; ++d)
            for (std::size_t i = 0; i < now[d].size(); ++i)
                if (!written[d][i] && now[d][i] != old[d][i])
                    FAIL() << context << ": byte " << d << ":" << i << " changed without a logged write";
        for (const image_part& p : plan.parts) {
            const std::size_t d = p.type == "\"nor\"" ? 0 : 1;
            for (std::size_t from = p.base; from < p.base + p.contents.size(); from += 0x10000) {
                const auto block = [&](const bytes& of) {
                    return bytes(of.begin() + from, of.begin() + from + 0x10000);
                };
                EXPECT_TRUE(block(now[d]) == block(old[d]) || block(now[d]) == block(target[d]))
                    << context << ": block at " << from << " of " << p.name << " is torn";
            }
        }
    }

    /// Where entry `index`'s contents stand in the image.
    std::size_t contents_at(int index) { return be32(whole(image), entry_field(index, k_content_offset)); }

    board b;
    four_parts parts;
    image_plan plan;
    std::string image;
    std::array<bytes, 2> old, target;
    std::string log = b.file("writes.log");
};

TEST_F(StreamTest, PipeAndFifoInstallWhatTheFileDoes)
{
    std::vector<std::string> updates;
    for (const image_part& p : plan.parts)
        updates.push_back(update_line(p));
    auto lines = [&](std::vector<std::string> first, std::vector<std::string> last) {
        first.insert(first.end(), updates.begin(), updates.end());
        first.insert(first.end(), last.begin(), last.end());
        return first;
    };
    cli_result r = run(VORNA_STRONG_A_BIN, "-c", whole(image));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(test_support::lines_of(r.out),
              (std::vector<std::string>{k_index_pass, k_pass, k_strong_pass, k_upgradable}));
    EXPECT_EQ(whole(b.emmc), old[1]) << "a check writes nothing";

    r = run(VORNA_STRONG_A_BIN, "-u", whole(image));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(after_lock(r), lines({k_index_pass, k_upgradable}, {k_pass, k_strong_pass}));
    EXPECT_TRUE(whole(b.nor) == target[0] && whole(b.emmc) == target[1]);

    // What a streaming product ships: no legacy signature, a strong-only build.
    restore();
    const std::string bare = b.file("bare.bin");
    ASSERT_EQ(
        vorna_image({"pack", "--no-legacy", b.file("fw.bin.json"), bare, "--key", strong_key("key_a.pem")}).status, 0);
    r = run(VORNA_STRONG_ONLY_A_BIN, "-u", whole(bare), true);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(after_lock(r), lines({k_index_pass, k_upgradable}, {k_waived, k_strong_pass}));
    EXPECT_TRUE(whole(b.nor) == target[0] && whole(b.emmc) == target[1]);
}

TEST_F(StreamTest, AWrongBlockStopsBeforeItIsWritten)
{
    // The first and last block of every entry, NOR and eMMC, and rootfs's
    // blocks on either side of the read-ahead's piece boundary.
    const std::vector<std::pair<int, std::size_t>> samples = {{0, 0}, {0, 2}, {1, 0},  {1, 1},  {2, 0},
                                                              {2, 1}, {3, 0}, {3, 31}, {3, 32}, {3, 35}};
    for (const auto& [entry, block] : samples) {
        const image_part& p = plan.parts[static_cast<std::size_t>(entry)];
        const std::size_t len = std::min<std::size_t>(0x10000, p.contents.size() - block * 0x10000);
        const std::size_t at = contents_at(entry) + block * 0x10000;
        bytes corrupt = whole(image);
        corrupt[at + len - 1] ^= 0x01;
        restore();
        const cli_result r = run(VORNA_STRONG_A_BIN, "-u", corrupt);
        const std::string context = p.name + " block " + std::to_string(block);
        EXPECT_EQ(r.status, 255) << context;
        const auto out = after_lock(r);
        ASSERT_GE(out.size(), 2u) << context;
        EXPECT_EQ(out[out.size() - 2],
                  format("[ERROR]vorna_firmware:685 | PTN[%s] block %zu {0x%zx:0x%zx} differs from "
                         "the signed chunk index.",
                         p.name.c_str(), block, at, len));
        EXPECT_EQ(out.back(), k_upgrade_failed);
        expect_old_or_verified(context);
    }
}

TEST_F(StreamTest, AStreamCutAtEveryBlockBoundaryWritesOnlyVerifiedBlocks)
{
    const bytes full = whole(image);
    const std::size_t prefix_end = contents_at(0); // the index ends where the walked contents start
    std::vector<std::size_t> cuts = {0, 100, 4096, prefix_end - 1, prefix_end};
    for (int entry = 0; entry < 4; ++entry) {
        const std::size_t size = plan.parts[static_cast<std::size_t>(entry)].contents.size();
        for (std::size_t done = 0x10000; done < size + 0x10000; done += 0x10000)
            cuts.push_back(std::min(contents_at(entry) + std::min(done, size), full.size() - 1));
    }
    for (const std::size_t cut : cuts) {
        restore();
        const cli_result r = run(VORNA_STRONG_A_BIN, "-u", bytes(full.begin(), full.begin() + cut));
        const std::string context = "cut at " + std::to_string(cut);
        EXPECT_EQ(r.status, cut < 16 ? 254 : 255) << context << "\n" << r.out;
        auto out = after_lock(r);
        if (cut >= prefix_end) {
            EXPECT_EQ(out.back(), k_upgrade_failed) << context;
        }
        if (cut >= 16) {
            EXPECT_NE(r.out.find(format("[ERROR]vorna_firmware:672 | firmware stream '-' ended at byte %zu of %zu.\n",
                                        cut, full.size())),
                      std::string::npos)
                << context << "\n"
                << r.out;
        }
        expect_old_or_verified(context);
    }
}

TEST_F(StreamTest, EndFailuresComeAfterVerifiedWrites)
{
    // A stream that goes on, and a legacy signature (which the index does not
    // cover) that fails: every block was written, each one verified.
    bytes longer = whole(image);
    longer.push_back(0);
    bytes wrong_legacy = whole(image);
    wrong_legacy[310] ^= 0x01;
    const struct {
        bytes input;
        std::vector<std::string> tail;
        int status;
    } cases[] = {
        {longer,
         {format("[ERROR]vorna_firmware:673 | firmware stream '-' goes on past its total_len %zu.", longer.size() - 1),
          k_upgrade_failed},
         255},
        {wrong_legacy,
         {"[ERROR]vorna_firmware:204 | firmware RSA verify failed", "",
          "[INFO]vorna_firmware:686 | every block written was verified against the signed chunk index.",
          k_upgrade_failed},
         252},
    };
    for (const auto& c : cases) {
        restore();
        const cli_result r = run(VORNA_STRONG_A_BIN, "-u", c.input);
        EXPECT_EQ(r.status, c.status) << r.out;
        const auto out = after_lock(r);
        ASSERT_GE(out.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(out.end() - static_cast<long>(c.tail.size()), out.end()), c.tail);
        EXPECT_TRUE(whole(b.nor) == target[0] && whole(b.emmc) == target[1]) << r.out;
    }
}

TEST_F(StreamTest, RefusalsComeBeforeAnyWrite)
{
    image_plan unindexed = plan;
    unindexed.no_index = true;
    image_plan by_b = plan;
    by_b.strong_keys = {strong_key("key_b.pem")};
    const std::string out_of_order = b.file("order.bin");
    const std::string other_table = b.file("table.bin");
    test_support::write_file(out_of_order, whole(image));
    test_support::write_file(other_table, whole(image));
    // The kernel's contents where the boot loader's are; the boot loader at another base.
    patch_be32(out_of_order, entry_field(1, k_content_offset), static_cast<std::uint32_t>(contents_at(0)));
    patch_be32(other_table, entry_field(0, k_base), 0x10000);
    const struct {
        std::string image;
        const char* bin;
        std::string line;
        int status;
    } cases[] = {
        {pack(b.dir(), unindexed, "old.bin"), VORNA_STRONG_A_BIN,
         "[ERROR]vorna_firmware:675 | firmware stream '-' has no chunk index.", 255},
        {out_of_order, VORNA_STRONG_A_BIN,
         "[ERROR]vorna_firmware:677 | firmware stream '-' is not in stream order (contents not in table order).", 255},
        {image, VORNA_BIN,
         "[ERROR]vorna_firmware:671 | firmware stream '-' refused: this build trusts no strong key to check its "
         "chunk index.",
         255},
        {pack(b.dir(), by_b, "b.bin"), VORNA_STRONG_A_BIN,
         "[ERROR]vorna_firmware:681 | firmware chunk index signed by unknown keys only (" + k_id_b + ")", 252},
        {other_table, VORNA_STRONG_A_BIN,
         "[ERROR]vorna_firmware:682 | firmware chunk index signature verify failed, key " + k_id_a, 252},
    };
    for (const auto& c : cases) {
        const cli_result r = run(c.bin, "-u", whole(c.image));
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(after_lock(r), std::vector<std::string>{c.line});
        EXPECT_FALSE(std::ifstream(log).good()) << "no write: " << c.line;
        EXPECT_TRUE(whole(b.nor) == old[0] && whole(b.emmc) == old[1]) << c.line;
    }
}

} // namespace
