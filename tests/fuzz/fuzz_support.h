// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the harnesses share: a check that stops the run on a broken promise, and
// device files held in memory, so that a harness can reach the code that reads
// storage by path without touching the disk.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace fuzz {

/// Ends the run with a report when a promise of the code under test is broken;
/// libFuzzer saves the input that got here.
[[noreturn]] void broken(const char* what, const char* file, int line);

#define FUZZ_REQUIRE(cond)                                                                                             \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::fuzz::broken(#cond, __FILE__, __LINE__);                                                                 \
    } while (0)

/// True when the fixed text buffer holds a NUL, so that it can be read as a C string.
template <std::size_t N> bool terminated(const std::array<char, N>& field)
{
    return std::memchr(field.data(), '\0', N) != nullptr;
}

/// An anonymous in-memory file that the code under test opens by its path.
class memory_file {
public:
    explicit memory_file(const char* name);
    ~memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;

    /// Makes the file hold exactly `bytes`.
    void assign(std::span<const std::uint8_t> bytes);
    /// Makes the file `size` bytes of zeros.
    void clear(std::size_t size);
    /// Writes `bytes` at `offset`, growing the file when needed.
    void write_at(std::size_t offset, std::span<const std::uint8_t> bytes);

    [[nodiscard]] const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

} // namespace fuzz
