// SPDX-License-Identifier: Apache-2.0
#pragma once
// The floor for firmware versions: an image's "firmware-info" document (signed
// like every document) may carry an integer "security_version"; a device refuses
// an image whose security_version is below its floor, the larger of the build's
// floor and the one kept in the state folder's file "security-floor", which a
// completed upgrade raises to the installed image's security_version. The floor
// never goes down, so a genuine but older image with known holes cannot be put back.
//
// The file holds the floor as decimal digits without leading zeros and one
// newline ("7\n"), and is replaced whole (temporary name, fsync, rename, fsync
// of the folder). A missing file (or folder) is a floor of 0; a file that cannot
// be read or is not exactly that form refuses every image, since whatever it
// once held may have been higher than the image.
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/firmware/vorna_firmware_source.h"

#include <cstdint>
#include <span>

/// The build's floor (build option VORNA_SECURITY_FLOOR), an object of its own
/// in vorna_core (vorna_security_floor_build.cpp) that a program may replace.
extern const std::uint32_t k_build_security_floor;

/// The state folder's file that holds the floor.
inline constexpr const char* k_security_floor_file = "security-floor";

/// What a "firmware-info" document says of its security_version.
enum class security_version_status {
    absent,  ///< no member of the name, or the document is not a JSON object
    ok,      ///< one member, an integer 0..4294967295
    invalid, ///< a member given more than once, or not such an integer
};

/// Reads the top-level member "security_version" of the JSON document `json`
/// (the host tool and the device alike). `out` is the value when ok, else 0.
[[nodiscard]] security_version_status security_version_parse(std::span<const std::uint8_t> json, std::uint32_t& out);

/// The image's security_version as the device counts it: that of its
/// "firmware-info" document (read by the rule of firmware_document_find through
/// `image`), 0 when there is none or the signed bytes do not make one. 0 with
/// `out`, or -1 when the source could not give the bytes (it said why): a read
/// that failed never counts as an image without a version.
[[nodiscard]] int firmware_security_version(const firmware_ptn_table& table, firmware_source& image,
                                            std::uint32_t& out);

/// Holds the image to the device's floor, before any write: 0 with
/// `security_version` set, -1 when the document could not be read (printed by
/// the source), or -6 after printing (below the floor, or a floor file that
/// cannot be read).
[[nodiscard]] int firmware_floor_check(const firmware_ptn_table& table, firmware_source& image,
                                       std::uint32_t& security_version);

/// After the last device sync of a completed upgrade: raises the kept floor to
/// `security_version` when it is higher, durably. 0, or -1 after printing.
[[nodiscard]] int firmware_floor_raise(std::uint32_t security_version);
