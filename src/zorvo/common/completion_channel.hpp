#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/common/unique_fd.hpp"
#include "zorvo/common/worker_pool.hpp"

namespace zorvo {

// Hands finished jobs from the threads that ran them to one consuming thread, which watches a
// single descriptor (an eventfd) for "something finished" and then takes every finished job at
// once. The descriptor is written only when the channel goes from empty to not empty, so a busy
// consumer costs the producers no system call.
class CompletionChannel {
public:
    static Result<std::shared_ptr<CompletionChannel>, SystemError> create();

    explicit CompletionChannel(UniqueFd event) noexcept : event_(std::move(event)) {}

    // Readable while finished jobs wait to be taken.
    int fd() const noexcept { return event_.get(); }

    // From any thread: `job` has finished.
    void post(Job& job) noexcept;

    // On the consuming thread: every job posted so far, in the order they were posted.
    std::vector<Job*> take();

private:
    UniqueFd event_;
    std::mutex mutex_;
    std::vector<Job*> finished_;
};

}  // namespace zorvo
