#include "zorvo/shm/stalled_publish.hpp"

#include <thread>

#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/ring_buffer.hpp"

namespace zorvo::shm {

void publish_when_unblocked(std::shared_ptr<const ShmManager> region, std::uint64_t queue_offset,
                            std::uint64_t index) {
    auto follow = [region = std::move(region), queue_offset, index] {
        const RequestQueue requests(region->base() + queue_offset);
        RequestQueue::StallWatch watch;
        while (!requests.finish_publish(index, ShmRequestEntry{}, SLOT_LEASE, watch)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    try {
        std::thread(std::move(follow)).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the entry stays unpublished, as it would without this follow-up.
    }
}

}  // namespace zorvo::shm
