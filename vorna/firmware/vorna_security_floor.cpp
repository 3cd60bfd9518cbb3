// SPDX-License-Identifier: Apache-2.0
// The floor for firmware versions (vorna_security_floor.h): the image's
// security_version, the floor kept in the state folder, the check before any
// write and the raise after the last sync.
#include "vorna/firmware/vorna_security_floor.h"

#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/storage/staged_output.h"
#include "vorna/storage/unique_fd.h"
#include "vorna/support/vorna_log.h"
#include "vorna/support/vorna_paths.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr const char* k_module = "vorna_firmware";
constexpr const char* k_member = "security_version";
constexpr double k_security_version_max = 4294967295.0;
// "4294967295\n" and a little more, so that a longer file is seen as such.
constexpr std::size_t k_floor_text_max = 16;

struct cjson_deleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};

/// The floor's text: decimal digits without leading zeros, then one newline.
bool parse_floor_text(std::string_view text, std::uint32_t& out)
{
    if (text.size() < 2 || text.size() > 11 || text.back() != '\n')
        return false;
    const std::string_view digits = text.substr(0, text.size() - 1);
    if (digits.size() > 1 && digits.front() == '0')
        return false;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu)
        return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

/// Whether the state folder may be trusted with the floor: a folder, not a
/// link, of this user or root (anyone else could remove the file and so lower
/// the floor). Empty, or why not.
std::string folder_refusal(const struct stat& st)
{
    if (!S_ISDIR(st.st_mode))
        return "the state folder is not a folder";
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return "the state folder is owned by uid " + std::to_string(st.st_uid);
    return {};
}

/// Reads the kept floor: 0 with `value` (0 when there is no file or no folder),
/// or -1 with `why`.
int read_kept_floor(std::uint32_t& value, std::string& why)
{
    value = 0;
    unique_fd dir(::open(k_state_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir) {
        const int err = errno;
        if (err == ENOENT)
            return 0;
        why = std::strerror(err);
        return -1;
    }
    if (::fstat(dir.get(), &st) != 0 || !(why = folder_refusal(st)).empty()) {
        if (why.empty())
            why = std::strerror(errno);
        return -1;
    }
    unique_fd fd(::openat(dir.get(), k_security_floor_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT)
            return 0;
        why = std::strerror(err);
        return -1;
    }
    if (::fstat(fd.get(), &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return -1;
    }
    std::array<char, k_floor_text_max> text{};
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    if (got < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!parse_floor_text(std::string_view(text.data(), static_cast<std::size_t>(got)), value)) {
        why = "not a floor";
        return -1;
    }
    return 0;
}

/// Replaces the kept floor with `value`, durably. 0, or -1 with `why`.
int write_kept_floor(std::uint32_t value, std::string& why)
{
    struct stat st {};
    // Made for the first floor; a link planted there is refused, never followed.
    if ((::mkdir(k_state_dir, 0700) != 0 && errno != EEXIST) || ::lstat(k_state_dir, &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!(why = folder_refusal(st)).empty())
        return -1;
    const std::string text = std::to_string(value) + "\n";
    staged_output out(".security-floor-XXXXXX");
    if (out.create(std::string(k_state_dir) + "/" + k_security_floor_file) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    out.set_mode(0600);
    errno = 0;
    if (::write(out.fd(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        why = errno != 0 ? std::strerror(errno) : "short write";
        return -1;
    }
    if (out.commit() != 0) {
        why = std::strerror(errno);
        return -1;
    }
    return 0;
}

} // namespace

security_version_status security_version_parse(std::span<const std::uint8_t> json, std::uint32_t& out)
{
    out = 0;
    const std::unique_ptr<cJSON, cjson_deleter> doc(
        cJSON_ParseWithLength(reinterpret_cast<const char*>(json.data()), json.size()));
    if (!cJSON_IsObject(doc.get()))
        return security_version_status::absent;
    // Every member is looked at: a second one of the name would let two
    // readers take two values.
    const cJSON* found = nullptr;
    int count = 0;
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, doc.get())
    {
        if (member->string != nullptr && std::strcmp(member->string, k_member) == 0) {
            found = member;
            ++count;
        }
    }
    if (count == 0)
        return security_version_status::absent;
    if (count > 1 || !cJSON_IsNumber(found))
        return security_version_status::invalid;
    const double value = found->valuedouble;
    if (!(value >= 0.0 && value <= k_security_version_max) || std::floor(value) != value)
        return security_version_status::invalid;
    out = static_cast<std::uint32_t>(value);
    return security_version_status::ok;
}

int firmware_security_version(const firmware_ptn_table& table, firmware_source& image, std::uint32_t& out)
{
    out = 0;
    firmware_document info;
    switch (firmware_document_find(table, "firmware-info", image, info)) {
    case firmware_document_status::ok: break;
    case firmware_document_status::unreadable: return -1;
    case firmware_document_status::no_memory:
        log_error(k_module, k_line_window_alloc, "Failed to alloc %u bytes memory.\n",
                  static_cast<unsigned>(info.doc.frame.header.content_len));
        return -1;
    default: return 0;
    }
    std::uint32_t value = 0;
    const auto bytes = std::span<const std::uint8_t>(info.doc.bytes.get(), info.doc.frame.header.content_len);
    if (security_version_parse(bytes, value) == security_version_status::ok)
        out = value;
    return 0;
}

int firmware_floor_check(const firmware_ptn_table& table, firmware_source& image, std::uint32_t& security_version)
{
    if (firmware_security_version(table, image, security_version) != 0)
        return -1;
    std::uint32_t kept = 0;
    std::string why;
    if (read_kept_floor(kept, why) != 0) {
        log_error(k_module, k_line_floor_unreadable,
                  "the firmware floor %s/%s cannot be read (%s): no image is installed until it is mended.\n",
                  k_state_dir, k_security_floor_file, why.c_str());
        return -6;
    }
    const std::uint32_t floor = std::max(kept, k_build_security_floor);
    if (security_version < floor) {
        log_error(k_module, k_line_below_floor,
                  "firmware security_version %u is below this device's floor %u: no downgrade.\n", security_version,
                  floor);
        return -6;
    }
    return 0;
}

int firmware_floor_raise(std::uint32_t security_version)
{
    std::uint32_t kept = 0;
    std::string why;
    // Read again under the upgrade's lock: the floor only ever goes up, and a
    // file that can no longer be read is not overwritten (it may have held more).
    const int kept_rc = read_kept_floor(kept, why);
    if (kept_rc == 0 && security_version <= kept)
        return 0;
    if (kept_rc == 0) {
        if (write_kept_floor(security_version, why) == 0) {
            log_info(k_module, k_line_floor_raised, "firmware floor raised to %u.\n", security_version);
            return 0;
        }
    }
    log_error(k_module, k_line_floor_raise_failed, "Failed to raise the firmware floor %s/%s to %u (%s).\n",
              k_state_dir, k_security_floor_file, security_version, why.c_str());
    return -1;
}
