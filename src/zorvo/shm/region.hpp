#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/os_handles.hpp"
#include "zorvo/shm/region_header.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

// Which shared-memory object a region is: an engine that restarts creates a new object under the
// same name, so the name alone does not identify it.
struct RegionIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const RegionIdentity&, const RegionIdentity&) = default;
};

// A mapped, validated view of a region the engine created. Move-only; destruction unmaps the
// region and then closes its descriptor, and never removes the object itself.
class ShmManager {
public:
    static Result<ShmManager, ShmError> connect(std::string_view name);

    // The identity of the object `name` names now, without mapping it.
    static Result<RegionIdentity, ShmError> identify(std::string_view name);

    std::uint8_t* base() const noexcept { return mapping_.data(); }
    std::uint64_t size() const noexcept { return mapping_.size(); }
    std::span<std::uint8_t> bytes() const noexcept { return {mapping_.data(), mapping_.size()}; }
    const std::string& name() const noexcept { return name_; }
    RegionIdentity identity() const noexcept { return identity_; }
    // Permission bits, owner and group of the region object, given to objects created beside it
    // and required of objects found beside it.
    unsigned permissions() const noexcept { return permissions_; }
    std::uint32_t owner_uid() const noexcept { return owner_.uid; }
    std::uint32_t owner_gid() const noexcept { return owner_.gid; }

    // The header as read and checked at connect; every offset in it lies inside the mapping.
    const RegionHeader& header() const noexcept { return header_; }

private:
    struct Owner {
        std::uint32_t uid;
        std::uint32_t gid;
    };

    ShmManager(std::string name, RegionIdentity identity, unsigned permissions, Owner owner, UniqueFd fd,
               Mapping mapping, RegionHeader header) noexcept
        : name_(std::move(name)),
          identity_(identity),
          permissions_(permissions),
          owner_(owner),
          fd_(std::move(fd)),
          mapping_(std::move(mapping)),
          header_(header) {}

    std::string name_;
    RegionIdentity identity_;
    unsigned permissions_;
    Owner owner_;
    // Declared before the mapping so that the mapping goes first: unmap, then close.
    UniqueFd fd_;
    Mapping mapping_;
    RegionHeader header_;
};

}  // namespace zorvo::shm
