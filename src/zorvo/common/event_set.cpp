#include "zorvo/common/event_set.hpp"

#include <cerrno>

namespace zorvo {

Result<EventSet, SystemError> EventSet::create() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return EventSet(UniqueFd(fd));
}

Result<Unit, SystemError> EventSet::control(int fd, std::uint32_t events, void* tag) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = tag;
    // Mostly re-armed: try that first, and register on first sight.
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0) return Unit{};
    if (errno == ENOENT && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) return Unit{};
    return fail(SystemError::from_errno(errno));
}

Result<Unit, SystemError> EventSet::arm(int fd, std::uint32_t events, void* tag) {
    return control(fd, events | EPOLLONESHOT, tag);
}

Result<Unit, SystemError> EventSet::watch(int fd, std::uint32_t events, void* tag) { return control(fd, events, tag); }

std::span<epoll_event> EventSet::ready(std::span<epoll_event> out) {
    int count;
    do {
        count = ::epoll_wait(epoll_.get(), out.data(), static_cast<int>(out.size()), 0);
    } while (count < 0 && errno == EINTR);
    return out.first(count < 0 ? 0 : static_cast<std::size_t>(count));
}

}  // namespace zorvo
