#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "zorvo/common/unique_fd.hpp"

namespace zorvo::shm {

// Owns one shared mapping and unmaps it on destruction.
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(void* address, std::size_t length) noexcept : address_(address), length_(length) {}
    Mapping(Mapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(address_); }
    std::size_t size() const noexcept { return length_; }

private:
    void* address_ = nullptr;
    std::size_t length_ = 0;
};

}  // namespace zorvo::shm
