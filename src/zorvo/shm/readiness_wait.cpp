#include "zorvo/shm/readiness_wait.hpp"

#include <poll.h>
#include <unistd.h>

#include <cstdint>

namespace zorvo::shm {

namespace {

constexpr std::size_t kDrainChunk = 128;
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

bool readable_now(int fd) noexcept {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & kReadable) != 0;
}

// Reads full chunks until a short one. The first read follows a wait that reported the
// descriptor readable; later ones are checked first, since the descriptor may be blocking and a
// read with nothing buffered would hang us with the host lock held.
void drain(int fd) noexcept {
    std::uint8_t chunk[kDrainChunk];
    do {
        if (::read(fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk)) return;
    } while (readable_now(fd));
}

}  // namespace

void wait_for_readiness(int fd, std::chrono::milliseconds limit, InferHost& host) noexcept {
    if (fd < 0) return;
    // poll rather than select: descriptor numbers of 1024 and above work too.
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    {
        HostLockReleased unlocked(host);
        ready = ::poll(&entry, 1, static_cast<int>(limit.count()));
    }
    if (ready == 1 && (entry.revents & kReadable) != 0) drain(fd);
}

}  // namespace zorvo::shm
