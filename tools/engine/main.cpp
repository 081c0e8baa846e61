// zorvo-engine: a stand-in inference engine that echoes request tensors back over the socket,
// shared-memory and hybrid transports, with a few scripted misbehaviours for tests (see
// --help and README.md beside this file).

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accept_loop.hpp"
#include "connection_set.hpp"
#include "engine_region.hpp"
#include "listeners.hpp"
#include "options.hpp"
#include "ready_report.hpp"
#include "shm_responder.hpp"
#include "socket_session.hpp"
#include "stop_event.hpp"

namespace {

using namespace zorvo::engine;

constexpr std::size_t kMaxConnections = 256;

int complain(const std::string& message) {
    std::fprintf(stderr, "zorvo-engine: %s\n", message.c_str());
    return 1;
}

// Blocks the stop signals in this thread and every thread started after it, so that only the
// main thread's sigwait receives them.
sigset_t block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return signals;
}

int serve(const EngineOptions& options) {
    const sigset_t stop_signals = block_stop_signals();
    if (options.die_with_parent) {
        // A parent that died before the request was armed would never send the signal.
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) return complain("parent already gone");
    }

    auto stop = StopEvent::create();
    if (!stop.ok()) return complain(stop.error());

    std::unique_ptr<EngineRegion> region;
    std::vector<std::string> ready_lines;
    std::list<ListeningSocket> listeners;
    if (options.shm_name) {
        auto created = EngineRegion::create(*options.shm_name, options.pool_size);
        if (!created.ok()) return complain(created.error());
        region = std::move(created.value());
    }
    for (const std::string& address : options.tcp_addresses) {
        auto socket = listen_tcp(address);
        if (!socket.ok()) return complain(socket.error());
        listeners.push_back(std::move(socket.value()));
    }
    for (const std::string& path : options.unix_paths) {
        auto socket = listen_unix(path, "unix");
        if (!socket.ok()) return complain(socket.error());
        listeners.push_back(std::move(socket.value()));
    }
    for (const std::string& path : options.hybrid_paths) {
        auto socket = listen_unix(path, "hybrid");
        if (!socket.ok()) return complain(socket.error());
        listeners.push_back(std::move(socket.value()));
    }

    for (const ListeningSocket& socket : listeners) ready_lines.push_back(socket.ready_line());
    if (region)
        ready_lines.push_back("shm " + region->name() + " " + std::to_string(region->bytes().size()));

    // Answers held back by --delay-us wait in sleeps, which with the default timer slack end up to
    // 50 us late; every thread started from here on inherits the smaller slack.
    if (options.delay.count() > 0) ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    const SessionSettings settings{region.get(), options.max_payload, options.delay};
    ConnectionSet connections(kMaxConnections);
    std::optional<ShmResponder> responder;
    if (region) responder.emplace(*region, options.delay);
    std::list<AcceptLoop> accept_loops;
    for (const ListeningSocket& socket : listeners)
        accept_loops.emplace_back(socket, *stop, connections, [settings](int fd) { serve_connection(fd, settings); });

    auto report = ReadyReport::publish(ready_lines, options.ready_file);
    int exit_code = 0;
    if (report.ok()) {
        int received = 0;
        while (sigwait(&stop_signals, &received) != 0) {
        }
    } else {
        exit_code = complain(report.error());
    }

    // Stop in dependency order: no new connections, then the live ones, then the region's
    // poller; listeners and the region go last, removing their files as they do.
    stop->trigger();
    accept_loops.clear();
    connections.stop_all();
    responder.reset();
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto options = parse_options(args);
    if (!options.ok()) {
        complain(options.error());
        std::fputs("try 'zorvo-engine --help'\n", stderr);
        return 2;
    }
    if (options->show_help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    return serve(*options);
}
