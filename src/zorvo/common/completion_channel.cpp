#include "zorvo/common/completion_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace zorvo {

Result<std::shared_ptr<CompletionChannel>, SystemError> CompletionChannel::create() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return std::make_shared<CompletionChannel>(UniqueFd(fd));
}

void CompletionChannel::post(Job& job) noexcept {
    bool first;
    {
        std::lock_guard lock(mutex_);
        first = finished_.empty();
        finished_.push_back(&job);
    }
    if (first) {
        const std::uint64_t one = 1;
        // Only EAGAIN (counter full) can fail, and the descriptor is readable then anyway.
        while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

std::vector<Job*> CompletionChannel::take() {
    std::uint64_t count = 0;
    // Reset before taking: a post after this point writes the descriptor again.
    while (::read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<Job*> taken;
    std::lock_guard lock(mutex_);
    taken.swap(finished_);
    return taken;
}

}  // namespace zorvo
