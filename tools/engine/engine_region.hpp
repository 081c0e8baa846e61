#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "zorvo/common/unique_fd.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/shm/os_handles.hpp"
#include "zorvo/shm/region_header.hpp"

namespace zorvo::engine {

// The header of a region whose tensor pool has `pool_size` bytes, which places everything in it:
// queues follow the header on cache-line boundaries; the pool starts on a page boundary and ends
// the region. Fails when the total would not fit in a file size.
Result<shm::RegionHeader, std::string> plan_region_layout(std::uint64_t pool_size);

// The shared-memory region this engine created and serves. It exists from `create` until the
// object is destroyed, which removes the name from the system and unmaps it.
class EngineRegion {
public:
    static Result<std::unique_ptr<EngineRegion>, std::string> create(std::string name, std::uint64_t pool_size);
    ~EngineRegion();

    // Only `create` can make the key, so regions come from `create` alone.
    class Key {
        friend class EngineRegion;
        Key() = default;
    };
    EngineRegion(Key, std::string name, UniqueFd fd, shm::Mapping mapping, const shm::RegionHeader& layout) noexcept
        : name_(std::move(name)), fd_(std::move(fd)), mapping_(std::move(mapping)), layout_(layout) {}

    EngineRegion(const EngineRegion&) = delete;
    EngineRegion& operator=(const EngineRegion&) = delete;

    std::span<std::uint8_t> bytes() const noexcept { return {mapping_.data(), mapping_.size()}; }
    const shm::RegionHeader& layout() const noexcept { return layout_; }
    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
    UniqueFd fd_;
    shm::Mapping mapping_;
    shm::RegionHeader layout_;
};

}  // namespace zorvo::engine
