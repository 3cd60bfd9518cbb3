// SPDX-License-Identifier: Apache-2.0
// Whole images through the real check and the firmware-info export, past the
// signature. An input is ptn_table_offset (4 bytes, big-endian) followed by the
// image from byte 4096 on: the harness puts the header in front (magic, that
// offset, the length, zeros elsewhere), so that mutations land on the table and
// the contents instead of the uninterpreted header. The image is then signed
// with the development key (by OpenSSL, so a signature vorna refuses is a fault
// of its own verification). The device is a board held in memory files: a NOR
// device with the partition table and a "device-info" partition naming the tests'
// example device. A check never writes to the devices.
#include "vorna/support/vorna_bytes.h"
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"

#include "tests/fuzz/fuzz_support.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t k_table_base = 0x10000;
constexpr std::size_t k_device_info_base = 0x20000;

using bytes = std::vector<std::uint8_t>;

bytes read_fixture(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fuzz::broken(("cannot read " + path).c_str(), __FILE__, __LINE__);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string partition(const char* name, const char* base, const char* size, const char* encap)
{
    return std::string(R"({"name": ")") + name + R"(", "base": ")" + base + R"(", "size": ")" + size +
           R"(", "write_to_flash": true, "write_to_up": true, "encap_type": ")" + encap + R"("})";
}

struct key_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct board {
    fuzz::memory_file nor{"nor"};
    fuzz::memory_file emmc{"emmc"};
    fuzz::memory_file image_file{"image"};
    fuzz::memory_file info_file{"firmware-info"};
    std::unique_ptr<EVP_PKEY, key_deleter> key;
    std::unique_ptr<ptn_table> table;

    board()
    {
        std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(VORNA_FUZZ_SIGNING_KEY, "r"), &std::fclose);
        if (f)
            key.reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
        if (!key)
            fuzz::broken("the development signing key " VORNA_FUZZ_SIGNING_KEY " loads", __FILE__, __LINE__);

        const std::string doc = R"({"partition-layout-nor": {"disk-size": "0x1000000", "device": ")" +
                                std::string(nor.path()) + R"(", "partitions": [)" +
                                partition("bootloader", "0x0", "0x10000", "raw") + "," +
                                partition("ptn-table", "0x10000", "0x10000", "raw") + "," +
                                partition("device-info", "0x20000", "0x1000", "header") + "," +
                                partition("radio", "0x30000", "0x50000", "raw") +
                                R"(]}, "partition-layout-emmc": {"disk-size": "0x4000000", "device": ")" +
                                emmc.path() + R"(", "partitions": [)" +
                                partition("kernel", "0x100000", "0x800000", "raw") + "," +
                                partition("rootfs", "0x900000", "0x2000000", "raw") + "," +
                                partition("config", "0x2900000", "0x100000", "header") + "]}}";
        nor.clear(0x1000000);
        emmc.clear(0x4000000);
        nor.write_at(k_table_base, {reinterpret_cast<const std::uint8_t*>(doc.data()), doc.size()});

        const bytes identity = read_fixture(VORNA_TEST_DATA_DIR "/device_info_example.json");
        std::array<std::uint8_t, k_ptn_header_len> header_bytes{};
        ptn_header_encode({0, k_ptn_header_magic, static_cast<std::uint32_t>(identity.size()), 0}, header_bytes);
        nor.write_at(k_device_info_base, header_bytes);
        nor.write_at(k_device_info_base + k_ptn_header_len, identity);

        table = ptn_table_load(nor.path(), k_table_base);
        if (!table)
            fuzz::broken("the board's partition table loads", __FILE__, __LINE__);
    }

    /// Signs `image` in place: SHA-1 PKCS#1 v1.5 over the MD5 of bytes 20.. with
    /// the signature field as zeros, stored least significant byte first.
    void sign(bytes& image) const
    {
        std::fill_n(image.begin() + k_firmware_signature_offset, k_firmware_signature_len, 0);
        std::array<unsigned char, 16> md5{};
        unsigned md5_len = 0;
        FUZZ_REQUIRE(EVP_Digest(image.data() + k_firmware_signed_from, image.size() - k_firmware_signed_from,
                                md5.data(), &md5_len, EVP_md5(), nullptr) == 1);
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        FUZZ_REQUIRE(ctx && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key.get()) == 1);
        std::array<unsigned char, k_firmware_signature_len> signature{};
        std::size_t signature_len = signature.size();
        FUZZ_REQUIRE(EVP_DigestSign(ctx.get(), signature.data(), &signature_len, md5.data(), md5.size()) == 1);
        FUZZ_REQUIRE(signature_len == signature.size());
        std::reverse_copy(signature.begin(), signature.end(), image.begin() + k_firmware_signature_offset);
    }
};

/// The bytes of a memory file, read back through its path.
bytes contents_of(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// A passed check promises that the upgrade walk can write every entry it takes.
void check_walkable(const firmware_ptn_table& table, const ptn_table& device_table, std::size_t image_size)
{
    for (const firmware_ptn_entry& e : table.entries) {
        if (e.size == 0)
            break;
        FUZZ_REQUIRE(std::uint64_t{e.content_offset} + e.content_size <= image_size);
        std::array<char, 33> name{};
        std::memcpy(name.data(), e.name.data(), e.name.size());
        FUZZ_REQUIRE(ptn_table_lookup(&device_table, name.data()) != nullptr);
    }
}

/// After a successful export the output holds the last "firmware-info" document,
/// or was not written at all when the image has none.
void check_export(const firmware_ptn_table& table, std::span<const std::uint8_t> image, const bytes& out)
{
    const firmware_ptn_entry* last = nullptr;
    for (const firmware_ptn_entry& e : table.entries) {
        if (firmware_ptn_name_is(e, "firmware-info"))
            last = &e;
    }
    if (last == nullptr) {
        FUZZ_REQUIRE(out.empty());
        return;
    }
    FUZZ_REQUIRE(std::uint64_t{last->content_offset} + last->content_size <= image.size());
    auto contents = image.subspan(last->content_offset, last->content_size);
    FUZZ_REQUIRE(contents.size() >= k_ptn_header_len);
    const std::uint32_t len = load_be32_at(contents, 8);
    FUZZ_REQUIRE(len <= contents.size() - k_ptn_header_len);
    FUZZ_REQUIRE(out.size() == len);
    FUZZ_REQUIRE(std::equal(out.begin(), out.end(), contents.begin() + k_ptn_header_len));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static board b;
    if (size < 4 || size > 0x7FFFFFFFu - k_firmware_header_len)
        return 0;
    bytes image(k_firmware_header_len, 0);
    image.insert(image.end(), data + 4, data + size);
    const std::span<std::uint8_t> w(image);
    store_be32_at(w, 4, k_firmware_magic);
    store_be32_at(w, 8, load_be32(std::span<const std::uint8_t, 4>(data, 4)));
    store_be32_at(w, 12, static_cast<std::uint32_t>(image.size()));
    b.sign(image);

    auto header = firmware_header_decode(image);
    FUZZ_REQUIRE(header != nullptr);

    std::unique_ptr<firmware_ptn_table> table;
    if (header->ptn_table_offset <= image.size() && image.size() - header->ptn_table_offset >= k_firmware_ptn_table_len)
        table = firmware_ptn_table_decode(std::span<const std::uint8_t>(image).subspan(header->ptn_table_offset));

    b.image_file.assign(image);
    b.info_file.clear(0);
    // Neither -2 nor -4: the independent signer and vorna's verification agree on every image.
    const int exported = firmware_info_export(b.image_file.path(), b.info_file.path());
    FUZZ_REQUIRE(exported == 0 || exported == -1);
    if (exported == 0) {
        FUZZ_REQUIRE(table != nullptr);
        check_export(*table, image, contents_of(b.info_file.path()));
    }

    const int checked = firmware_check(b.image_file.path(), b.nor.path(), k_table_base);
    FUZZ_REQUIRE(checked == 0 || checked == -1 || checked == -5);
    if (checked == 0) {
        FUZZ_REQUIRE(table != nullptr);
        check_walkable(*table, *b.table, image.size());
    }
    return 0;
}
