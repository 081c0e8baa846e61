#pragma once

#include <cstdint>
#include <utility>

#include "zorvo/shm/allocator.hpp"

namespace zorvo::shm {

// A leased pool slot, held as a value: it goes back to the allocator when the lease is dropped,
// unless the engine may still be using the slot, in which case the lease is left to run out.
class SlotLease {
public:
    SlotLease() noexcept = default;
    SlotLease(ShmPoolAllocator& allocator, std::uint64_t offset) noexcept : allocator_(&allocator), offset_(offset) {}
    SlotLease(SlotLease&& other) noexcept
        : allocator_(std::exchange(other.allocator_, nullptr)), offset_(other.offset_) {}
    SlotLease& operator=(SlotLease&& other) noexcept {
        if (this != &other) {
            release();
            allocator_ = std::exchange(other.allocator_, nullptr);
            offset_ = other.offset_;
        }
        return *this;
    }
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;
    ~SlotLease() { release(); }

    std::uint64_t offset() const noexcept { return offset_; }

    void release() noexcept {
        if (allocator_ != nullptr) std::exchange(allocator_, nullptr)->release(offset_);
    }
    // The engine may read the slot, or answer into it, later: nobody gets it before the lease ends.
    void keep_until_expiry() noexcept { allocator_ = nullptr; }

private:
    ShmPoolAllocator* allocator_ = nullptr;
    std::uint64_t offset_ = 0;
};

}  // namespace zorvo::shm
