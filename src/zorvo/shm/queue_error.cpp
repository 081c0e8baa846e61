#include "zorvo/shm/queue_error.hpp"

#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

std::string QueueError::display() const {
    switch (kind_) {
        case Kind::Full: return "Queue is full";
        case Kind::CommitStalled:
            return "Queue commit stalled: an earlier producer never published its entry";
        case Kind::Corrupt:
            return "Queue is corrupt: index " + std::to_string(bad_index_) + " is not a slot of the " +
                   std::to_string(QUEUE_CAPACITY) + "-slot ring";
    }
    return "Queue error";
}

}  // namespace zorvo::shm
