#pragma once

#include <cstdint>

#include "zorvo/shm/allocator.hpp"

namespace zorvo::shm {

// Gives a pool slot back when the request that leased it ends, unless the engine may still be
// using it: then the slot stays leased until its lease runs out on its own.
class SlotLease {
public:
    SlotLease(ShmPoolAllocator& allocator, std::uint64_t offset) noexcept
        : allocator_(allocator), offset_(offset) {}
    ~SlotLease() {
        if (release_on_exit_) allocator_.release(offset_);
    }
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;

    std::uint64_t offset() const noexcept { return offset_; }
    void keep_until_expiry() noexcept { release_on_exit_ = false; }
    void release_on_exit() noexcept { release_on_exit_ = true; }

private:
    ShmPoolAllocator& allocator_;
    std::uint64_t offset_;
    bool release_on_exit_ = true;
};

}  // namespace zorvo::shm
