#include "shm_responder.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "block_check.hpp"
#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/ring_buffer.hpp"

namespace zorvo::engine {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSpinWindow = std::chrono::microseconds(100);
constexpr auto kShortSleepWindow = std::chrono::milliseconds(20);
constexpr auto kShortSleep = std::chrono::microseconds(10);
constexpr auto kMediumSleepWindow = std::chrono::seconds(1);
constexpr auto kMediumSleep = std::chrono::milliseconds(1);
constexpr auto kLongSleep = std::chrono::milliseconds(5);
constexpr auto kFullQueuePatience = std::chrono::seconds(1);
constexpr auto kCorruptQueuePause = std::chrono::milliseconds(10);

// The longer the queue has been idle, the longer the pause before the next look; never past
// `wake_by`, when a held answer falls due.
void back_off(Clock::duration idle, Clock::time_point now, Clock::time_point wake_by) {
    if (idle < kSpinWindow) {
        shm::cpu_relax();
        return;
    }
    const Clock::duration pause = idle < kShortSleepWindow    ? Clock::duration(kShortSleep)
                                  : idle < kMediumSleepWindow ? Clock::duration(kMediumSleep)
                                                              : Clock::duration(kLongSleep);
    std::this_thread::sleep_until(std::min(now + pause, wake_by));
}

}  // namespace

ShmResponder::ShmResponder(const EngineRegion& region, std::chrono::microseconds delay)
    : region_(region), delay_(delay), thread_([this](std::stop_token stop) { run(std::move(stop)); }) {}

shm::ShmResponseEntry ShmResponder::respond_to(const shm::ShmRequestEntry& request) const {
    shm::ShmResponseEntry response;
    response.request_id = request.request_id;
    const auto problem = check_request_block(region_.bytes(), region_.layout(), request.tensor_offset,
                                             request.tensor_size);
    if (!problem) {
        response.result_offset = request.tensor_offset;
        return response;
    }
    response.is_error = 1;
    // The request's slot stays leased to the client until it has read our answer, so the error
    // text can go there when the slot is genuine and large enough; otherwise there is no text.
    const std::uint64_t block_size = 8 + problem->size();
    const bool text_fits = block_in_pool(region_.layout(), request.tensor_offset, request.tensor_size) &&
                           block_size <= request.tensor_size;
    if (text_fits) {
        std::uint8_t* block = region_.bytes().data() + request.tensor_offset;
        store_le<std::uint64_t>(block, problem->size());
        std::memcpy(block + 8, problem->data(), problem->size());
        response.error_offset = request.tensor_offset;
    }
    return response;
}

void ShmResponder::publish(const shm::ShmResponseEntry& response, const std::stop_token& stop) const {
    const shm::ResponseQueue responses(region_.bytes().data() + region_.layout().response_queue_offset);
    const auto first_try = Clock::now();
    while (!stop.stop_requested()) {
        const auto pushed = responses.push(response);
        if (pushed.ok()) return;
        // A full queue drains as clients poll; anything else will not get better by waiting.
        if (pushed.error().kind() != shm::QueueError::Kind::Full || Clock::now() - first_try > kFullQueuePatience) {
            std::fprintf(stderr, "zorvo-engine: dropped the response to request %llu: %s\n",
                         static_cast<unsigned long long>(response.request_id), pushed.error().display().c_str());
            return;
        }
        std::this_thread::sleep_for(kShortSleep);
    }
}

void ShmResponder::publish_due(Clock::time_point now, const std::stop_token& stop) {
    while (!held_.empty() && held_.front().due <= now) {
        publish(held_.front().response, stop);
        held_.pop_front();
    }
}

void ShmResponder::run(std::stop_token stop) {
    // Short sleeps are only short with a small timer slack.
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    const shm::RequestQueue requests(region_.bytes().data() + region_.layout().request_queue_offset);
    auto last_request = Clock::now();
    bool reported_corruption = false;
    while (!stop.stop_requested()) {
        auto popped = requests.try_pop();
        if (!popped.ok()) {
            if (!reported_corruption)
                std::fprintf(stderr, "zorvo-engine: request queue unusable: %s\n", popped.error().display().c_str());
            reported_corruption = true;
            std::this_thread::sleep_for(kCorruptQueuePause);
            continue;
        }
        const auto now = Clock::now();
        if (popped->has_value()) {
            // The answer is made at arrival; the request's slot stays the client's until it is read.
            if (delay_.count() == 0) {
                publish(respond_to(**popped), stop);
            } else {
                held_.push_back(DueAnswer{now + delay_, respond_to(**popped)});
            }
            last_request = now;
        }
        publish_due(now, stop);
        if (!popped->has_value())
            back_off(now - last_request, now, held_.empty() ? Clock::time_point::max() : held_.front().due);
    }
}

}  // namespace zorvo::engine
