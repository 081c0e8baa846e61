#include "accept_loop.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "zorvo/common/system_error.hpp"

namespace zorvo::engine {

AcceptLoop::AcceptLoop(const ListeningSocket& socket, const StopEvent& stop, ConnectionSet& connections,
                       ConnectionSet::Serve serve)
    : thread_([&socket, &stop, &connections, serve = std::move(serve)] {
          run(socket, stop, connections, serve);
      }) {}

void AcceptLoop::run(const ListeningSocket& socket, const StopEvent& stop, ConnectionSet& connections,
                     const ConnectionSet::Serve& serve) {
    std::array<pollfd, 2> waits{pollfd{socket.fd(), POLLIN, 0}, pollfd{stop.fd(), POLLIN, 0}};
    for (;;) {
        waits[0].revents = 0;
        waits[1].revents = 0;
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "zorvo-engine: poll failed: %s\n", SystemError::from_errno(errno).display().c_str());
            return;
        }
        if (waits[1].revents != 0) return;
        if (waits[0].revents == 0) continue;
        UniqueFd client(::accept4(socket.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            // Out of descriptors or memory: back off briefly instead of spinning on the error.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (socket.is_tcp()) {
            const int on = 1;
            ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        if (!connections.start(std::move(client), serve))
            std::fprintf(stderr, "zorvo-engine: connection refused: too many connections\n");
    }
}

}  // namespace zorvo::engine
