#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "zorvo/common/unique_fd.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/shm/region_header.hpp"

namespace zorvo::engine {

// Where everything goes in a region whose tensor pool has `pool_size` bytes.
struct RegionLayout {
    std::uint64_t request_queue_offset = 0;
    std::uint64_t response_queue_offset = 0;
    std::uint64_t pool_offset = 0;
    std::uint64_t pool_size = 0;
    std::uint64_t total_size = 0;
};

// Queues follow the header on cache-line boundaries; the pool starts on a page boundary.
// Fails when the total would not fit in a file size.
Result<RegionLayout, std::string> plan_region_layout(std::uint64_t pool_size);

// The shared-memory region this engine created and serves. It exists from `create` until the
// object is destroyed, which unmaps it and removes the name from the system.
class EngineRegion {
public:
    static Result<std::unique_ptr<EngineRegion>, std::string> create(std::string name, std::uint64_t pool_size);
    ~EngineRegion();

    // Only `create` can make the key, so regions come from `create` alone.
    class Key {
        friend class EngineRegion;
        Key() = default;
    };
    EngineRegion(Key, std::string name, UniqueFd fd, std::uint8_t* base, RegionLayout layout) noexcept
        : name_(std::move(name)), fd_(std::move(fd)), base_(base), layout_(layout) {}

    EngineRegion(const EngineRegion&) = delete;
    EngineRegion& operator=(const EngineRegion&) = delete;

    std::span<std::uint8_t> bytes() const noexcept { return {base_, static_cast<std::size_t>(layout_.total_size)}; }
    const RegionLayout& layout() const noexcept { return layout_; }
    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
    UniqueFd fd_;
    std::uint8_t* base_;
    RegionLayout layout_;
};

}  // namespace zorvo::engine
