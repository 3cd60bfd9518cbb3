// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared by the firmware command-line tests: a simulated board made with
// `vorna-image board`, images made with `vorna-image pack` (each one's signature
// also checked with the openssl command line), and byte patches of images.
#include "tests/support/test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace firmware_cli {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t k_table_base = 0x10000;
constexpr const char* k_product = "Vorna-Test";
constexpr const char* k_version = "2.1";
constexpr const char* k_special = "55530000";

/// A partition of the board's table.
struct board_ptn {
    std::string name;
    std::uint32_t base;
    std::uint32_t size;
};

/// The layout of a board; "device-info" is added to the NOR layout at its place.
struct board_plan {
    std::vector<board_ptn> nor{};  ///< in the order of their bases
    std::vector<board_ptn> emmc{}; ///< in the order of their bases
    std::uint32_t nor_size = 0x100000;
    std::uint32_t emmc_size = 0x400000;
    std::uint32_t device_info_base = 0xF0000;
    /// Partitions that start off holding these bytes; the others are erased (NOR) or zero.
    std::vector<std::pair<std::string, bytes>> contents{};
};

/// The device files of one board in a temporary folder.
class board {
public:
    /// The usual board: NOR (1 MiB) bootloader, device-info, radio; eMMC (4 MiB) kernel, rootfs.
    board();
    /// The usual sizes with these partitions.
    board(const std::vector<board_ptn>& nor_ptns, const std::vector<board_ptn>& emmc_ptns);
    explicit board(const board_plan& plan);

    [[nodiscard]] const test_support::temp_dir& dir() const { return dir_; }
    [[nodiscard]] std::string file(const std::string& name) const { return dir_.file(name); }
    std::string table;
    std::string nor;
    std::string emmc;

private:
    test_support::temp_dir dir_;
};

/// One entry of an image manifest.
struct image_part {
    std::string name;
    std::uint32_t base;
    std::uint32_t size;
    std::string type; ///< JSON value: "\"nor\"", "\"emmc\"" or a number
    bytes contents;
};

/// Contents for the usual board's four partitions, of random bytes.
struct four_parts {
    // The boot loader spans two whole NOR blocks and half of a third.
    image_part boot{"bootloader", 0x0, 0x40000, "\"nor\"", test_support::random_bytes(0x28000, 11)};
    image_part kernel{"kernel", 0x100000, 0x100000, "\"emmc\"", test_support::random_bytes(90000, 12)};
    image_part radio{"radio", 0x50000, 0x40000, "\"nor\"", test_support::random_bytes(0x12345, 13)};
    image_part rootfs{"rootfs", 0x200000, 0x200000, "\"emmc\"", test_support::random_bytes(70000, 14)};
};

/// The support list document naming the board (JSON text).
std::string support_list_for(const std::string& product = k_product, const std::string& version = k_version,
                             const std::string& special = k_special);

struct image_plan {
    std::vector<image_part> parts;
    std::string support_list = support_list_for(); ///< manifest JSON value, "" for none
    std::string firmware_info;                     ///< manifest JSON value, "" for none
    std::string extra_partitions;                  ///< raw JSON objects appended to "partitions"
    std::vector<std::string> strong_keys;          ///< Ed25519 private keys, one --key each
    bool no_index = false;                         ///< pack --no-index: no chunk index, contents in table order
};

/// Packs `plan` into `dir`/`name` with the development key; fails the test when
/// vorna-image fails or when openssl does not verify the result.
std::string pack(const test_support::temp_dir& dir, const image_plan& plan, const std::string& name = "fw.bin");

/// True when the openssl command line verifies the image's signature under the
/// development key (MD5 of bytes 20.. with the field zeroed, signed with SHA-1).
bool openssl_verifies(const std::string& image_path);

/// Runs `vorna-image sign` with the development key.
void resign(const std::string& image_path);

/// Writes a big-endian word at `offset` of the file.
void patch_be32(const std::string& path, std::size_t offset, std::uint32_t value);

/// Offset in the image of a field of table entry `index` (table at 4096).
std::size_t entry_field(int index, std::size_t field_offset);
constexpr std::size_t k_name = 0;
constexpr std::size_t k_base = 32;
constexpr std::size_t k_size = 36;
constexpr std::size_t k_content_offset = 40;
constexpr std::size_t k_content_size = 44;
constexpr std::size_t k_type = 48;

/// Big-endian word at `offset` of `data`.
std::uint32_t be32(const bytes& data, std::size_t offset);

/// Modification time in nanoseconds.
std::int64_t mtime_ns(const std::string& path);

/// The whole file (quicker than test_support::read_file on device-sized files).
bytes whole(const std::string& path);

/// `size` bytes of the file from `offset`.
bytes slice(const std::string& path, std::size_t offset, std::size_t size);

/// Runs vorna with these arguments.
test_support::cli_result vorna(const std::vector<std::string>& args);
/// Runs vorna-image with these arguments.
test_support::cli_result vorna_image(const std::vector<std::string>& args);

/// Runs a vorna command that takes the upgrade lock. While another process on the
/// machine holds it (another test run, say), waits and tries again, up to a minute.
test_support::cli_result run_locked(const std::vector<std::string>& argv);

/// `vorna -c|-u -b 0x10000 -d TABLE -f IMAGE` (-u through run_locked).
test_support::cli_result run_mode(const char* mode, const board& b, const std::string& image);

/// Lines every successful check and upgrade prints, and the last line of a failed upgrade.
inline const std::string k_pass = "[INFO]vorna_firmware:207 | rsa check pass";
inline const std::string k_upgradable = "[INFO]vorna_firmware:469 | Firmware is upgradable for this DEVICE. ";
inline const std::string k_upgrade_failed = "[ERROR]vorna_firmware:475 | Failed to upgrade firmware into this device.";

/// The line an upgrade prints before writing `p`.
std::string update_line(const image_part& p);

/// The output of an upgrade after its first line, which must be the lock line
/// naming the run's process id.
std::vector<std::string> after_lock(const test_support::cli_result& r);

using test_support::dev_key_blob;
using test_support::dev_private_key;

/// Formats like printf, for expected lines.
[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

} // namespace firmware_cli
