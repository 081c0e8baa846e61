#pragma once

#include <cstdint>
#include <memory>

#include "zorvo/shm/peer_table.hpp"
#include "zorvo/shm/region.hpp"

namespace zorvo::shm {

// Publishes, from a thread of its own, the request entry at `index` of the request queue at
// `queue_offset`, whose push gave up waiting for an earlier producer. The entry goes out as soon
// as the earlier ones have; an earlier entry whose producer is provably dead is replaced by an
// empty request (number 0, which no client awaits). A live producer's entry, even a stopped one's,
// is never touched, and the thread stops as soon as `index` is no longer waiting to be published.
// The thread keeps the mapping and the coordination object alive until it is done, and then
// finishes the call's mailbox `cell`, which says until then which entry is this client's.
void publish_when_unblocked(std::shared_ptr<const ShmManager> region, std::shared_ptr<const PeerTable> peers,
                            std::uint64_t queue_offset, std::uint64_t index, unsigned cell);

}  // namespace zorvo::shm
