#pragma once

#include <cstdint>
#include <memory>

#include "zorvo/shm/region.hpp"

namespace zorvo::shm {

// Publishes, from a thread of its own, the request entry at `index` of the request queue at
// `queue_offset`, whose push gave up waiting for an earlier producer. The entry goes out as soon
// as the earlier ones have; one left unpublished for a whole slot lease is taken for the entry of
// a producer that is gone, and replaced by an empty request (number 0, which no client awaits).
// The thread keeps the mapping alive until it is done, however long the client lives.
void publish_when_unblocked(std::shared_ptr<const ShmManager> region, std::uint64_t queue_offset, std::uint64_t index);

}  // namespace zorvo::shm
