#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/slot_lease.hpp"

namespace zorvo::shm {

// Why a request's tensor block could not be placed in the pool.
struct StageError {
    bool invalid_argument;  // an unrepresentable shape or an unknown element type (ValueError)
    std::string message;
    bool pool_exhausted = false;  // every slot that could hold the block is leased
    bool host_error = false;      // a host callback failed while waiting; the host holds the error
};

// Told of the slot as soon as it is leased, before the block is written into it.
class ClaimObserver {
public:
    virtual ~ClaimObserver() = default;
    virtual void claimed(std::uint64_t offset, std::uint64_t claim_index) noexcept = 0;
};

// Places a request's tensor block in a freshly leased slot, in the order both shared-memory
// clients follow: shapes of more than eight dimensions are refused before any slot is taken, the
// pool is checked before the element type, then the block is written. Returns the slot's lease;
// on any failure after the lease the slot is given back at once.
Result<SlotLease, StageError> stage_request_block(const ShmManager& region, TieredShmAllocator& allocator,
                                                      std::span<const std::int64_t> shape, std::string_view dtype,
                                                      std::span<const std::uint8_t> data,
                                                      ClaimObserver* observer = nullptr);

}  // namespace zorvo::shm
