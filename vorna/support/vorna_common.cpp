// SPDX-License-Identifier: Apache-2.0
#include "vorna/support/vorna_common.h"

#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_log.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* k_module = "vorna_common";

enum line : int {
    k_line_alloc = 75,
    k_line_parse = 85,
};

} // namespace

cjson_ptr json_parse_buffer(const std::uint8_t* bytes, std::int32_t length)
{
    // A negative length never comes from a sound caller; treat it as nothing to parse.
    std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    auto text = make_buffer(n + 1);
    if (!text) {
        log_error(k_module, k_line_alloc, "Faield to alloc %d bytes memory.\n", length + 1);
        return nullptr;
    }
    if (n > 0)
        std::memcpy(text.get(), bytes, n);
    text[n] = 0;
    cjson_ptr root(cJSON_Parse(reinterpret_cast<const char*>(text.get())));
    if (!root) {
        log_error(k_module, k_line_parse, "Failed to parse <%p,%d>'\n", static_cast<const void*>(bytes), length);
        return nullptr;
    }
    return root;
}

long hex_value(const char* text)
{
    return std::strtol(text, nullptr, 16);
}

void copy_text(char* field, std::size_t size, const char* text)
{
    std::size_t n = std::strlen(text);
    if (n >= size)
        n = size - 1;
    std::memcpy(field, text, n);
    field[n] = '\0';
}

json_text json_text_member(const cJSON* object, const char* key, std::size_t field_size)
{
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr)
        return {};
    if (!cJSON_IsString(item) || item->valuestring == nullptr)
        return {json_text_status::not_string, nullptr, 0};
    const std::size_t len = std::strlen(item->valuestring);
    return {len >= field_size ? json_text_status::too_long : json_text_status::ok, item->valuestring, len};
}

int json_read_text(const char* module, int line, const cJSON* object, const char* key, std::span<char> field)
{
    const json_text member = json_text_member(object, key, field.size());
    switch (member.status) {
    case json_text_status::ok: copy_text(field.data(), field.size(), member.text); return 0;
    case json_text_status::missing: log_error(module, line, "ptn json '%s' not found.\n", key); return -1;
    // The texts name 'name' whatever the key: the devices in the field print them so.
    case json_text_status::not_string: log_error(module, line, "ptn json 'name' must be String type.\n"); return -1;
    case json_text_status::too_long:
        log_error(module, line, "ptn json 'name' string len too long, '%s', %d/%d\n", member.text,
                  static_cast<int>(member.len), static_cast<int>(field.size()));
        return -1;
    }
    return -1;
}
