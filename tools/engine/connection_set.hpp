#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "zorvo/common/unique_fd.hpp"

namespace zorvo::engine {

// The live client connections, one thread each. The set owns every connection descriptor, so
// that stopping can wake a thread blocked in a read by shutting its socket down, without racing
// with that thread closing it.
class ConnectionSet {
public:
    using Serve = std::function<void(int fd)>;

    explicit ConnectionSet(std::size_t max_connections) : max_connections_(max_connections) {}
    ~ConnectionSet() { stop_all(); }

    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;

    // Runs `serve` on its own thread; the descriptor is closed when it returns. Refuses (and
    // closes the connection) when the set is full or stopping.
    bool start(UniqueFd fd, Serve serve);

    // Ends every connection and waits for its thread. Later `start` calls are refused.
    void stop_all();


private:
    struct Entry {
        UniqueFd fd;
        std::thread thread;
        bool finished = false;
    };

    void reap_finished_locked();
    void finish(Entry& entry);

    const std::size_t max_connections_;
    std::mutex mutex_;
    std::list<Entry> entries_;
    bool stopping_ = false;
};

}  // namespace zorvo::engine
