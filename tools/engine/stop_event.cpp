#include "stop_event.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "zorvo/common/system_error.hpp"

namespace zorvo::engine {

Result<StopEvent, std::string> StopEvent::create() {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd.valid()) return fail("cannot create the stop event: " + SystemError::from_errno(errno).display());
    return StopEvent(std::move(fd));
}

void StopEvent::trigger() const noexcept {
    const std::uint64_t one = 1;
    // Never read back, so the descriptor stays readable for every waiter.
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

}  // namespace zorvo::engine
