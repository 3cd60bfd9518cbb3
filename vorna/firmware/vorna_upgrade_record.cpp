// SPDX-License-Identifier: Apache-2.0
#include "vorna/firmware/vorna_upgrade_record.h"

#include "vorna/firmware/vorna_firmware_plan.h"
#include "vorna/storage/unique_fd.h"
#include "vorna/storage/vorna_file.h"
#include "vorna/support/vorna_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* k_module = "vorna_upgrade_record";

enum line : int {
    k_line_folder = 711, // the state folder cannot be made or opened
    k_line_read = 712,   // the record is there but cannot be read
    k_line_malformed = 713,
    k_line_store = 714,
    k_line_remove = 715,
};

constexpr const char* k_file = "upgrade";
constexpr const char* k_temp = ".upgrade.tmp";
constexpr std::string_view k_magic = "vorna-upgrade-record 1";
constexpr std::array<std::string_view, 3> k_kinds = {"index", "strong", "legacy"};

bool name_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

/// A partition name as the table allows them: 1 to 32 such characters.
bool take_name(std::string_view word, upgrade_ptn_name& out)
{
    if (word.empty() || word.size() >= out.size() || !std::all_of(word.begin(), word.end(), name_char))
        return false;
    out = {};
    std::copy(word.begin(), word.end(), out.begin());
    return true;
}

/// Splits off the next word (separated by one space) of `rest`.
std::string_view next_word(std::string_view& rest)
{
    const std::size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    return word;
}

/// Splits off the next line (without its '\n', which must be there).
bool next_line(std::string_view& text, std::string_view& line)
{
    const std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos)
        return false;
    line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    return true;
}

bool take_number(std::string_view word, std::uint32_t& out)
{
    // Decimal as written: no sign, no leading zero.
    if (word.empty() || word.size() > 9 || (word.size() > 1 && word[0] == '0') ||
        !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    out = 0;
    for (char c : word)
        out = out * 10 + static_cast<std::uint32_t>(c - '0');
    return true;
}

bool take_hex(std::string_view word, upgrade_image_id& id)
{
    if (word.size() != 2 * id.len())
        return false;
    auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    for (std::size_t i = 0; i < id.len(); ++i) {
        const int hi = nibble(word[2 * i]);
        const int lo = nibble(word[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        id.digest[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool decode_image(std::string_view line, upgrade_image_id& id)
{
    if (next_word(line) != "image")
        return false;
    const std::string_view kind = next_word(line);
    const auto found = std::find(k_kinds.begin(), k_kinds.end(), kind);
    if (found == k_kinds.end())
        return false;
    id.by = static_cast<upgrade_image_id::kind>(found - k_kinds.begin());
    return take_hex(line, id);
}

bool decode_entry(std::string_view line, upgrade_record& rec)
{
    if (line == "complete") {
        rec.complete = true;
        return true;
    }
    return next_word(line) == "entry" && take_number(next_word(line), rec.entry) &&
           take_number(next_word(line), rec.entries) && rec.entry < rec.entries && rec.entries <= k_firmware_ptn_max &&
           take_name(line, rec.name);
}

bool decode_left(std::string_view line, upgrade_record& rec)
{
    if (next_word(line) != "left")
        return false;
    rec.left_count = 0;
    while (!line.empty()) {
        if (rec.left_count == rec.left.size() || !take_name(next_word(line), rec.left[rec.left_count]))
            return false;
        ++rec.left_count;
    }
    return true;
}

/// Appends `text` at `len` of `out`, cut to leave room for a NUL.
void append(std::span<char, k_upgrade_record_max> out, std::size_t& len, const char* text)
{
    const std::size_t n = std::min(std::strlen(text), out.size() - 1 - len);
    std::memcpy(out.data() + len, text, n);
    len += n;
}

std::string image_text(const upgrade_image_id& id)
{
    std::string text(k_kinds[static_cast<std::size_t>(id.by)]);
    text += ':';
    static constexpr char k_hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < id.len(); ++i) {
        text += k_hex[id.digest[i] >> 4];
        text += k_hex[id.digest[i] & 15];
    }
    return text;
}

std::string left_text(const upgrade_record& rec, const char* sep)
{
    std::string text;
    for (std::size_t i = 0; i < rec.left_count; ++i) {
        if (i > 0)
            text += sep;
        text += rec.left[i].data();
    }
    return text;
}

/// The state folder, made (0700) when missing and never through a link. -1 after printing.
unique_fd open_folder(const char* dir, bool make)
{
    if (make && ::mkdir(dir, 0700) != 0 && errno != EEXIST) {
        log_error(k_module, k_line_folder, "state folder %s cannot be made: %s\n", dir, std::strerror(errno));
        return unique_fd{};
    }
    unique_fd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && (make || errno != ENOENT))
        log_error(k_module, k_line_folder, "state folder %s cannot be opened: %s\n", dir, std::strerror(errno));
    return fd;
}

bool names_contain(std::span<const upgrade_ptn_name> names, const upgrade_ptn_name& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

std::size_t upgrade_record_encode(const upgrade_record& rec, std::span<char, k_upgrade_record_max> out)
{
    std::size_t len = 0;
    const std::string image = image_text(rec.image);
    const std::string hex = image.substr(image.find(':') + 1);
    const std::string kind(k_kinds[static_cast<std::size_t>(rec.image.by)]);
    append(out, len, std::string(k_magic).append("\nimage ").append(kind).append(" ").append(hex).c_str());
    char entry[80];
    if (rec.complete)
        std::snprintf(entry, sizeof entry, "\ncomplete\nleft");
    else
        std::snprintf(entry, sizeof entry, "\nentry %u %u %s\nleft", static_cast<unsigned>(rec.entry),
                      static_cast<unsigned>(rec.entries), rec.name.data());
    append(out, len, entry);
    for (std::size_t i = 0; i < rec.left_count; ++i) {
        append(out, len, " ");
        append(out, len, rec.left[i].data());
    }
    append(out, len, "\n");
    out[len] = '\0';
    return len;
}

bool upgrade_record_decode(std::string_view text, upgrade_record& out)
{
    // Words are split at single spaces: a space more would decode the same as
    // another text, which then would not be the record's own.
    if (text.find("  ") != std::string_view::npos || text.find(" \n") != std::string_view::npos)
        return false;
    upgrade_record rec{};
    std::string_view magic, image, entry, left;
    if (!next_line(text, magic) || magic != k_magic || !next_line(text, image) || !decode_image(image, rec.image) ||
        !next_line(text, entry) || !decode_entry(entry, rec) || !next_line(text, left) || !decode_left(left, rec) ||
        !text.empty())
        return false;
    out = rec;
    return true;
}

int upgrade_record_load(const char* dir, upgrade_record& out)
{
    const unique_fd folder = open_folder(dir, false);
    if (!folder)
        return errno == ENOENT ? 0 : -1;
    const unique_fd fd(::openat(folder.get(), k_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd && errno == ENOENT)
        return 0;
    std::array<std::uint8_t, k_upgrade_record_max> text{};
    struct stat st {};
    const off_t got = fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)
                          ? pread_fully(fd.get(), 0, text.data(), static_cast<off_t>(text.size()))
                          : -1;
    if (got < 0) {
        log_error(k_module, k_line_read, "upgrade record %s/%s cannot be read.\n", dir, k_file);
        return -1;
    }
    if (static_cast<std::size_t>(got) == text.size() ||
        !upgrade_record_decode(
            std::string_view(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(got)), out)) {
        log_error(k_module, k_line_malformed, "upgrade record %s/%s is malformed.\n", dir, k_file);
        return -1;
    }
    return 1;
}

int upgrade_record_store(const char* dir, const upgrade_record& rec)
{
    const unique_fd folder = open_folder(dir, true);
    if (!folder)
        return -1;
    std::array<char, k_upgrade_record_max> text{};
    const std::size_t len = upgrade_record_encode(rec, text);
    // The upgrade lock is held: no other vorna writes the temporary file.
    unique_fd fd(::openat(folder.get(), k_temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool written = fd &&
                         write_fully(fd.get(), reinterpret_cast<const std::uint8_t*>(text.data()),
                                     static_cast<off_t>(len)) == static_cast<off_t>(len) &&
                         ::fsync(fd.get()) == 0 && fd.reset() == 0;
    if (!written || ::renameat(folder.get(), k_temp, folder.get(), k_file) != 0 || ::fsync(folder.get()) != 0) {
        log_error(k_module, k_line_store, "upgrade record %s/%s cannot be written: %s\n", dir, k_file,
                  std::strerror(errno));
        (void)::unlinkat(folder.get(), k_temp, 0);
        return -1;
    }
    return 0;
}

int upgrade_record_remove(const char* dir)
{
    const unique_fd folder = open_folder(dir, false);
    if (!folder && errno == ENOENT)
        return 0;
    if (!folder || (::unlinkat(folder.get(), k_file, 0) != 0 && errno != ENOENT) || ::fsync(folder.get()) != 0) {
        log_error(k_module, k_line_remove, "upgrade record %s/%s cannot be removed: %s\n", dir, k_file,
                  std::strerror(errno));
        return -1;
    }
    return 0;
}

int upgrade_state_report(const char* dir)
{
    upgrade_record rec;
    const int found = upgrade_record_load(dir, rec);
    if (found < 0)
        return -1;
    if (found == 0) {
        std::printf("state=none\n");
        return 0;
    }
    const std::string image = image_text(rec.image);
    const std::string left = left_text(rec, ",");
    if (rec.complete) {
        std::printf("state=half-written image=%s left=%s\n", image.c_str(), left.c_str());
        return 2;
    }
    std::printf("state=incomplete image=%s entry=%u/%u partition=%s left=%s\n", image.c_str(),
                static_cast<unsigned>(rec.entry + 1), static_cast<unsigned>(rec.entries), rec.name.data(),
                left.c_str());
    return 1;
}

// --- the journal of one upgrade ---------------------------------------------------

int upgrade_journal::begin(const upgrade_image_id& image, const upgrade_plan& plan, const ptn_table& board)
{
    plan_ = &plan;
    upgrade_record old;
    const bool unreadable = upgrade_record_load(dir_, old) < 0;
    rerun_ = !old.complete && old.entries > 0 && old.image == image;
    // What the interrupted image may have left half-written: the entry it had
    // reached, and what it inherited; minus every partition this image rewrites
    // (a rerun rewrites them all), so that what stays listed is sound after
    // this upgrade completes too.
    std::array<upgrade_ptn_name, k_firmware_ptn_max> names{};
    for (std::size_t i = 0; i < plan.entries.size(); ++i)
        std::memcpy(names[i].data(), plan.entries[i].name.data(), plan.entries[i].name.size());
    const auto rewritten = std::span(names).first(plan.entries.size());
    rec_ = upgrade_record{};
    rec_.image = image;
    rec_.entries = static_cast<std::uint32_t>(plan.entries.size());
    rec_.name = names[0];
    auto keep = [&](const upgrade_ptn_name& name) {
        if (!names_contain(rewritten, name) && !names_contain(std::span(rec_.left).first(rec_.left_count), name) &&
            rec_.left_count < rec_.left.size())
            rec_.left[rec_.left_count++] = name;
    };
    for (std::size_t i = 0; i < old.left_count; ++i)
        keep(old.left[i]);
    if (old.entries > 0 && !old.complete)
        keep(old.name);
    for (const ptn_layout& layout : board.layouts)
        for (std::size_t i = 0; unreadable && i < std::min<std::size_t>(layout.count, layout.ptns.size()); ++i) {
            upgrade_ptn_name name{};
            std::memcpy(name.data(), layout.ptns[i].name.data(), layout.ptns[i].name.size());
            name.back() = '\0';
            keep(name);
        }
    return upgrade_record_store(dir_, rec_);
}

void upgrade_journal::entry_done(std::size_t index)
{
    // A failed entry keeps the record where it is: what follows it proves nothing about it.
    if (index != rec_.entry || index + 1 >= plan_->entries.size())
        return;
    rec_.entry = static_cast<std::uint32_t>(index + 1);
    std::memcpy(rec_.name.data(), plan_->entries[index + 1].name.data(), plan_->entries[index + 1].name.size());
    // A record left behind names the same image, so a failure here costs only
    // the rerun's reads of entries already synced.
    (void)upgrade_record_store(dir_, rec_);
}

int upgrade_journal::finish()
{
    if (rec_.left_count == 0)
        return upgrade_record_remove(dir_);
    rec_.complete = true;
    return upgrade_record_store(dir_, rec_);
}
