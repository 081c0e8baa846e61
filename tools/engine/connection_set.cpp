#include "connection_set.hpp"

#include <sys/socket.h>

namespace zorvo::engine {

bool ConnectionSet::start(UniqueFd fd, Serve serve) {
    std::lock_guard lock(mutex_);
    reap_finished_locked();
    if (stopping_ || entries_.size() >= max_connections_) return false;
    Entry& entry = entries_.emplace_back();
    entry.fd = std::move(fd);
    const int raw_fd = entry.fd.get();
    // std::list keeps `entry` at the same address while other entries come and go.
    entry.thread = std::thread([this, &entry, raw_fd, serve = std::move(serve)] {
        serve(raw_fd);
        finish(entry);
    });
    return true;
}

void ConnectionSet::finish(Entry& entry) {
    std::lock_guard lock(mutex_);
    entry.fd.reset();
    entry.finished = true;
}

void ConnectionSet::reap_finished_locked() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!it->finished) {
            ++it;
            continue;
        }
        // The thread has already left `finish`, or is just about to; the join is short.
        it->thread.join();
        it = entries_.erase(it);
    }
}

void ConnectionSet::stop_all() {
    std::list<Entry> stopping;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (Entry& entry : entries_) {
            if (entry.fd.valid()) ::shutdown(entry.fd.get(), SHUT_RDWR);
        }
        stopping.splice(stopping.end(), entries_);
    }
    for (Entry& entry : stopping) {
        if (entry.thread.joinable()) entry.thread.join();
    }
}

}  // namespace zorvo::engine
