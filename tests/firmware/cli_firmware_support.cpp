// SPDX-License-Identifier: Apache-2.0
#include "tests/firmware/cli_firmware_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace firmware_cli {

using test_support::run_cli;
using test_support::write_file;
using test_support::write_text;

namespace {

std::string hex(std::uint32_t v)
{
    return format("\"0x%X\"", v);
}

std::string ptn_json(const board_ptn& p, const char* encap)
{
    return R"({"name":")" + p.name + R"(","base":)" + hex(p.base) + R"(,"size":)" + hex(p.size) +
           R"(,"write_to_flash":true,"write_to_up":true,"encap_type":")" + encap + "\"}";
}

/// The layout's partitions with "device-info" among them at its base, when there is one.
std::string layout_json(const char* device, std::uint32_t disk_size, const std::vector<board_ptn>& ptns,
                        const board_ptn* device_info)
{
    std::string out = R"({"disk-size":)" + hex(disk_size) + R"(,"device":")" + device + R"(","partitions":[)";
    bool first = true;
    for (const board_ptn& p : ptns) {
        if (device_info != nullptr && p.base > device_info->base) {
            out += (first ? "" : ",") + ptn_json(*device_info, "header");
            first = false;
            device_info = nullptr;
        }
        out += (first ? "" : ",") + ptn_json(p, "raw");
        first = false;
    }
    if (device_info != nullptr)
        out += (first ? "" : ",") + ptn_json(*device_info, "header");
    return out + "]}";
}

void make_board(board& b, const board_plan& plan)
{
    const board_ptn device_info{"device-info", plan.device_info_base, 0x10000};
    std::string identity = format(R"({"vendor_name":"Maker","vendor_url":"http://maker.example","product_name":"%s",)"
                                  R"("product_version":"%s","product_id":"1","special_id":"%s","language":"en",)"
                                  R"("region":"EU","hw_id":"hw","oem_id":"oem"})",
                                  k_product, k_version, k_special);
    std::string description = R"({"table-device":"table.img","table-base":)" + hex(k_table_base) +
                              R"(,"partition-table":{"partition-layout-nor":)" +
                              layout_json("nor.img", plan.nor_size, plan.nor, &device_info) +
                              R"(,"partition-layout-emmc":)" +
                              layout_json("emmc.img", plan.emmc_size, plan.emmc, nullptr) +
                              R"(},"contents":[{"partition":"device-info","json":)" + identity + R"(,"header":true})";
    for (const auto& [name, contents] : plan.contents) {
        write_file(b.file("old-" + name + ".bin"), contents);
        description += R"(,{"partition":")" + name + R"(","file":"old-)" + name + R"(.bin"})";
    }
    description += "]}";
    write_text(b.file("board.json"), description);
    auto r = vorna_image({"board", b.file("board.json"), b.dir().path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    b.table = b.file("table.img");
    b.nor = b.file("nor.img");
    b.emmc = b.file("emmc.img");
}

std::string public_key_pem()
{
    static const std::string path = [] {
        std::string out = (std::filesystem::temp_directory_path() /
                           ("vorna-dev-public-" + std::to_string(::getpid()) + ".pem"))
                              .string();
        std::string cmd = "openssl pkey -in '" + dev_private_key() + "' -pubout -out '" + out + "' 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return out;
    }();
    return path;
}

/// Removes the public key file when the test program ends.
struct public_key_cleanup {
    ~public_key_cleanup()
    {
        std::error_code ec;
        std::filesystem::remove(std::filesystem::temp_directory_path() /
                                    ("vorna-dev-public-" + std::to_string(::getpid()) + ".pem"),
                                ec);
    }
} cleanup;

} // namespace

std::string format(const char* fmt, ...)
{
    char buf[1024];
    std::va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

board::board()
{
    make_board(*this, {.nor = {{"bootloader", 0x0, 0x40000}, {"radio", 0x50000, 0x40000}},
                       .emmc = {{"kernel", 0x100000, 0x100000}, {"rootfs", 0x200000, 0x200000}}});
}

board::board(const std::vector<board_ptn>& nor_ptns, const std::vector<board_ptn>& emmc_ptns)
{
    make_board(*this, {.nor = nor_ptns, .emmc = emmc_ptns});
}

board::board(const board_plan& plan)
{
    make_board(*this, plan);
}

std::string support_list_for(const std::string& product, const std::string& version, const std::string& special)
{
    return R"({"support-list":[{"product_name":")" + product + R"(","product_version":")" + version +
           R"(","special_id":")" + special + "\"}]}";
}

std::string pack(const test_support::temp_dir& dir, const image_plan& plan, const std::string& name)
{
    std::string partitions;
    for (std::size_t i = 0; i < plan.parts.size(); ++i) {
        const image_part& p = plan.parts[i];
        std::string content = name + ".part" + std::to_string(i);
        write_file(dir.file(content), p.contents);
        partitions += (i ? "," : "") + std::string(R"({"name":")") + p.name + R"(","base":)" + hex(p.base) +
                      R"(,"size":)" + hex(p.size) + R"(,"type":)" + p.type + R"(,"file":")" + content + "\"" +
                      (p.contents.size() > p.size ? R"(,"oversize":true})" : "}");
    }
    if (!plan.extra_partitions.empty())
        partitions += (partitions.empty() ? "" : ",") + plan.extra_partitions;
    std::string manifest = R"({"partitions":[)" + partitions + "]";
    if (!plan.support_list.empty())
        manifest += R"(,"support-list":)" + plan.support_list;
    if (!plan.firmware_info.empty())
        manifest += R"(,"firmware-info":)" + plan.firmware_info;
    manifest += "}";
    std::string manifest_path = dir.file(name + ".json");
    write_text(manifest_path, manifest);
    std::string image = dir.file(name);
    std::vector<std::string> args = {"pack", manifest_path, dev_private_key(), image};
    for (const std::string& key : plan.strong_keys)
        args.insert(args.end(), {"--key", key});
    if (plan.no_index)
        args.push_back("--no-index");
    auto r = vorna_image(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(openssl_verifies(image)) << image;
    return image;
}

bool openssl_verifies(const std::string& image_path)
{
    bytes image = whole(image_path);
    if (image.size() < 432)
        return false;
    // The field holds the value least significant byte first; openssl wants it the other way.
    bytes signature(image.rend() - 432, image.rend() - 304);
    std::fill(image.begin() + 304, image.begin() + 432, 0);
    std::string base = image_path + ".openssl";
    write_file(base + ".signed", bytes(image.begin() + 20, image.end()));
    write_file(base + ".sig", signature);
    std::string cmd = "openssl dgst -md5 -binary -out '" + base + ".md5' '" + base + ".signed' && " +
                      "openssl dgst -sha1 -verify '" + public_key_pem() + "' -signature '" + base + ".sig' '" + base +
                      ".md5' >/dev/null 2>&1";
    bool ok = std::system(cmd.c_str()) == 0;
    for (const char* ext : {".signed", ".sig", ".md5"})
        std::remove((base + ext).c_str());
    return ok;
}

void resign(const std::string& image_path)
{
    auto r = vorna_image({"sign", image_path, dev_private_key()});
    ASSERT_EQ(r.status, 0) << r.err;
}

void patch_be32(const std::string& path, std::size_t offset, std::uint32_t value)
{
    bytes data = whole(path);
    ASSERT_LE(offset + 4, data.size());
    for (int i = 0; i < 4; ++i)
        data[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    write_file(path, data);
}

std::size_t entry_field(int index, std::size_t field_offset)
{
    return 4096 + static_cast<std::size_t>(index) * 52 + field_offset;
}

std::uint32_t be32(const bytes& data, std::size_t offset)
{
    return (std::uint32_t{data[offset]} << 24) | (std::uint32_t{data[offset + 1]} << 16) |
           (std::uint32_t{data[offset + 2]} << 8) | std::uint32_t{data[offset + 3]};
}

std::int64_t mtime_ns(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

bytes whole(const std::string& path)
{
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec)
        throw std::runtime_error("cannot read " + path);
    return slice(path, 0, static_cast<std::size_t>(size));
}

bytes slice(const std::string& path, std::size_t offset, std::size_t size)
{
    std::ifstream in(path, std::ios::binary);
    bytes out(size);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
    if (!in || static_cast<std::size_t>(in.gcount()) != size)
        return {};
    return out;
}

test_support::cli_result vorna(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {VORNA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_cli(argv);
}

test_support::cli_result vorna_image(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {VORNA_IMAGE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_cli(argv);
}

test_support::cli_result run_locked(const std::vector<std::string>& argv)
{
    for (int attempt = 0;; ++attempt) {
        auto r = run_cli(argv);
        bool busy = r.status == 255 && r.err.find("already locked") != std::string::npos;
        if (!busy || attempt == 300)
            return r;
        ::usleep(200000);
    }
}

std::string update_line(const image_part& p)
{
    return format("[INFO]vorna_firmware:344 | PTN[%s] update, base=0x%08x, size=0x%08x, content_size=0x%08x(%d).",
                  p.name.c_str(), p.base, p.size, static_cast<unsigned>(p.contents.size()),
                  static_cast<int>(p.contents.size()));
}

std::vector<std::string> after_lock(const test_support::cli_result& r)
{
    static const std::string prefix = "file: " VORNA_LOCK_PATH " is locked by ";
    auto lines = test_support::lines_of(r.out);
    EXPECT_FALSE(lines.empty());
    if (lines.empty())
        return {};
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    return {lines.begin() + 1, lines.end()};
}

test_support::cli_result run_mode(const char* mode, const board& b, const std::string& image)
{
    std::vector<std::string> argv = {VORNA_BIN, mode, "-b", format("0x%X", k_table_base), "-d", b.table, "-f", image};
    return std::string(mode) == "-u" ? run_locked(argv) : run_cli(argv);
}

} // namespace firmware_cli
