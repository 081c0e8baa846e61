#pragma once

#include <thread>

#include "connection_set.hpp"
#include "listeners.hpp"
#include "stop_event.hpp"

namespace zorvo::engine {

// Accepts connections on one listening socket until the stop event fires, handing each to the
// connection set. The thread is joined when the loop object goes away.
class AcceptLoop {
public:
    AcceptLoop(const ListeningSocket& socket, const StopEvent& stop, ConnectionSet& connections,
               ConnectionSet::Serve serve);

private:
    static void run(const ListeningSocket& socket, const StopEvent& stop, ConnectionSet& connections,
                    const ConnectionSet::Serve& serve);

    std::jthread thread_;
};

}  // namespace zorvo::engine
