#include "zorvo/shm/stalled_publish.hpp"

#include <thread>

#include "zorvo/shm/response_consumer.hpp"
#include "zorvo/shm/ring_buffer.hpp"

namespace zorvo::shm {

namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(1);
constexpr unsigned kPollsPerRescue = 20;
constexpr auto kAnswerPatience = std::chrono::seconds(6);

}  // namespace

void publish_when_unblocked(std::shared_ptr<const ShmManager> region, std::shared_ptr<const PeerTable> peers,
                            std::uint64_t queue_offset, std::uint64_t index, unsigned cell) {
    auto follow = [region = std::move(region), peers = std::move(peers), queue_offset, index, cell] {
        std::uint8_t* queue = region->base() + queue_offset;
        const RequestQueue requests(queue);
        RequestQueue::FollowUp state = RequestQueue::FollowUp::Waiting;
        for (unsigned polls = 1; state == RequestQueue::FollowUp::Waiting; ++polls) {
            state = requests.finish_publish(index);
            if (state != RequestQueue::FollowUp::Waiting) break;
            if (polls % kPollsPerRescue == 0) peers->rescue_stalled(queue, requests.commit_index());
            std::this_thread::sleep_for(kPollEvery);
        }
        // The engine reads the slot now; once its answer is in, nobody needs the slot any more.
        // The answer is taken from the response queue here, as a waiting call takes its own:
        // while such slots fill the pool, nobody else may be calling. Without one in time, the
        // slot is left to its lease.
        const ResponseQueue responses(region->base() + region->header().response_queue_offset);
        ResponseConsumer consumer(*peers, responses);
        const auto give_up = std::chrono::steady_clock::now() + kAnswerPatience;
        while (state == RequestQueue::FollowUp::Published && !peers->free_slot_if_answered(cell)) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= give_up) break;
            // Handed over, into this call's cell too.
            if (auto popped = consumer.pop(now); popped.ok() && popped.value().any) continue;
            std::this_thread::sleep_for(kPollEvery);
        }
        peers->finish(cell);
    };
    try {
        std::thread(std::move(follow)).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the entry stays unpublished, as it would without this follow-up,
        // and its cell keeps saying whose it is.
    }
}

}  // namespace zorvo::shm
