#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace zorvo::shm {

// Owns one open descriptor and closes it on destruction.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

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
