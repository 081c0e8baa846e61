#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/common/unique_fd.hpp"

namespace zorvo {

// Descriptors watched together behind one descriptor (epoll), which is readable while any of them
// is ready. Each registration fires once and is then disarmed until armed again, so a descriptor
// nobody waits on (an idle pooled connection) never reports anything.
class EventSet {
public:
    static Result<EventSet, SystemError> create();

    int fd() const noexcept { return epoll_.get(); }

    // Reports `fd` once it is ready for `events` (EPOLLIN, EPOLLOUT), with `tag`. Arms it again if
    // it was registered before.
    Result<Unit, SystemError> arm(int fd, std::uint32_t events, void* tag);
    // The same, but `fd` stays armed after it fires (a descriptor that is always waited on).
    Result<Unit, SystemError> watch(int fd, std::uint32_t events, void* tag);

    // The tags of the descriptors ready now, without waiting; at most `out.size()`.
    std::span<epoll_event> ready(std::span<epoll_event> out);

private:
    explicit EventSet(UniqueFd epoll) noexcept : epoll_(std::move(epoll)) {}
    Result<Unit, SystemError> control(int fd, std::uint32_t events, void* tag);

    UniqueFd epoll_;
};

}  // namespace zorvo
