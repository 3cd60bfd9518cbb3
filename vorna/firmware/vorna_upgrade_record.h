// SPDX-License-Identifier: Apache-2.0
#pragma once
// The record of an upgrade in progress: the file `upgrade` in the state folder.
// `vorna -u` writes it durably before its first write, naming the image (by the
// digest of its chunk index, else its strong digest, else its legacy MD5) and
// the first entry not yet known to be on the device; moves it on as entries are
// synced; and removes it after the last sync. A power cut therefore leaves it
// absent (nothing written, or everything synced) or naming the image. A rerun of
// that image writes only the blocks that differ; an upgrade of another image
// keeps, in its own record, the partitions the interrupted one may have left
// half-written and the new one does not rewrite, until some upgrade rewrites
// them.
//
// The file is text, one field a line:
//   vorna-upgrade-record 1
//   image index|strong|legacy HEX
//   entry I N NAME        (I counted from 0) or: complete
//   left NAME...          (possibly no name)
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/partition/vorna_ptn.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct upgrade_plan;

/// Which image: the digest that names it and what digest it is.
struct upgrade_image_id {
    enum class kind : std::uint8_t { index, strong, legacy };
    kind by = kind::index;
    std::array<std::uint8_t, 32> digest{}; ///< legacy: the first 16 bytes, the rest zero
    [[nodiscard]] std::size_t len() const { return by == kind::legacy ? 16 : 32; }
    bool operator==(const upgrade_image_id&) const = default;
};

using upgrade_ptn_name = std::array<char, 33>; ///< NUL-terminated partition name

struct upgrade_record {
    bool complete = false; ///< the named image was written whole; only `left` remains
    upgrade_image_id image;
    std::uint32_t entry = 0; ///< first entry not known to be synced, from 0
    std::uint32_t entries = 0;
    upgrade_ptn_name name{};                            ///< that entry's partition
    std::array<upgrade_ptn_name, 2 * k_ptn_max> left{}; ///< at most every partition of the board
    std::size_t left_count = 0;
};

constexpr std::size_t k_upgrade_record_max = 4096;

/// The record's text; its length (always below k_upgrade_record_max).
[[nodiscard]] std::size_t upgrade_record_encode(const upgrade_record& rec, std::span<char, k_upgrade_record_max> out);
/// True with `out` when `text` is exactly a record as encoded.
[[nodiscard]] bool upgrade_record_decode(std::string_view text, upgrade_record& out);

/// 0 when there is no record, 1 with `out`, -1 after printing when one is there
/// but cannot be read or decoded.
[[nodiscard]] int upgrade_record_load(const char* dir, upgrade_record& out);
/// Replaces the record durably (temporary file, fsync, rename, fsync of the
/// folder, which is made 0700 when missing). 0, or -1 after printing.
[[nodiscard]] int upgrade_record_store(const char* dir, const upgrade_record& rec);
/// Removes the record durably. 0, or -1 after printing.
[[nodiscard]] int upgrade_record_remove(const char* dir);

/// `vorna --last-upgrade`: one line on standard output.
///   state=none                                                          0
///   state=incomplete image=K:HEX entry=I/N partition=NAME left=A,B      1
///   state=half-written image=K:HEX left=A,B                             2
/// -1 after printing when the record cannot be read.
[[nodiscard]] int upgrade_state_report(const char* dir);

/// The record kept by one upgrade.
class upgrade_journal {
public:
    explicit upgrade_journal(const char* dir) : dir_(dir) {}
    /// Before the first write: reads the record there is, decides whether this
    /// is a rerun of the image it names, and stores this upgrade's. A record
    /// that cannot be read (printed) may have named any image: every partition
    /// of `board` this plan does not rewrite is then kept as half-written. 0, or
    /// -1 after printing when the record cannot be stored (nothing may be
    /// written then).
    [[nodiscard]] int begin(const upgrade_image_id& image, const upgrade_plan& plan, const ptn_table& board);
    /// Whether the record named this image: its entries are compared block by block.
    [[nodiscard]] bool rerun() const { return rerun_; }
    /// Entry `index` is synced: the record moves on when every entry before it was.
    void entry_done(std::size_t index);
    /// After the last sync of an upgrade that succeeded: the record goes away,
    /// or keeps only the partitions an earlier image left half-written. 0, or
    /// -1 after printing.
    [[nodiscard]] int finish();

private:
    const char* dir_;
    const upgrade_plan* plan_ = nullptr;
    upgrade_record rec_{};
    bool rerun_ = false;
};
