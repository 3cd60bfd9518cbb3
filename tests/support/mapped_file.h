// SPDX-License-Identifier: Apache-2.0
#pragma once
// A read-only, private mapping of a whole file; unmapped when it goes out of scope.
#include <sys/mman.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

class mapped_file {
public:
    mapped_file() = default;
    /// Maps `size` bytes of `fd` from offset 0 with PROT_READ, MAP_PRIVATE. Check valid().
    mapped_file(int fd, std::size_t size)
    {
        void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            base_ = static_cast<const std::uint8_t*>(p);
            size_ = size;
        }
    }
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    mapped_file(mapped_file&& o) noexcept : base_(std::exchange(o.base_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    mapped_file& operator=(mapped_file&& o) noexcept
    {
        if (this != &o) {
            unmap();
            base_ = std::exchange(o.base_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~mapped_file() { unmap(); }

    [[nodiscard]] bool valid() const { return base_ != nullptr; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {base_, size_}; }

private:
    void unmap()
    {
        if (base_ != nullptr)
            ::munmap(const_cast<std::uint8_t*>(base_), size_);
        base_ = nullptr;
        size_ = 0;
    }

    const std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};
