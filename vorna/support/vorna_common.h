// SPDX-License-Identifier: Apache-2.0
#pragma once
// JSON helpers shared by the partition table, the device information and the
// support list.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct cjson_deleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
/// Owner of a parsed cJSON tree.
using cjson_ptr = std::unique_ptr<cJSON, cjson_deleter>;

/// Parses exactly `length` bytes (need not be NUL-terminated) as JSON; text after
/// the first complete value is ignored. Null after printing a "vorna_common" line.
[[nodiscard]] cjson_ptr json_parse_buffer(const std::uint8_t* bytes, std::int32_t length);

/// Hexadecimal text as the partition table writes its numbers: strtol in base 16
/// accepts blanks, a sign and a 0x prefix, stops at the first non-digit, and
/// saturates. The one reader of those numbers, for vorna and the host tool.
[[nodiscard]] long hex_value(const char* text);

/// Copies `text` into the fixed buffer `field` of `size` bytes, NUL included; the
/// caller has checked strlen(text) < size.
void copy_text(char* field, std::size_t size, const char* text);

enum class json_text_status {
    ok,
    missing,    ///< no member of that name
    not_string, ///< the member is not a string
    too_long,   ///< the text and its NUL do not fit the field
};

/// A string member as a field of fixed size will hold it.
struct json_text {
    json_text_status status = json_text_status::missing;
    const char* text = nullptr; ///< the member's text (ok and too_long), owned by the tree
    std::size_t len = 0;        ///< strlen(text)
};

/// The one reader of a JSON string member for a fixed field of `field_size`
/// bytes (NUL included). Prints nothing: each caller prints its own line.
[[nodiscard]] json_text json_text_member(const cJSON* object, const char* key, std::size_t field_size);

/// Copies the string member `key` of `object` into the fixed buffer `field`, NUL
/// included. 0, or -1 after printing one line as `module` at `line`: the member
/// is missing, is not a string, or does not fit with its NUL.
[[nodiscard]] int json_read_text(const char* module, int line, const cJSON* object, const char* key,
                                 std::span<char> field);
