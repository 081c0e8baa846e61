#pragma once

#include <memory>
#include <optional>
#include <string>

#include "zorvo/common/result.hpp"
#include "zorvo/hybrid/async_mutex.hpp"
#include "zorvo/hybrid/protocol.hpp"
#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/hybrid/task.hpp"
#include "zorvo/hybrid/unix_stream.hpp"

namespace zorvo::hybrid {

// The control connection to the engine, absent until the first successful connect, guarded by a
// first-come, first-served lock that every exchange holds from start to end.
using ControlConnection = AsyncMutex<std::optional<UnixStream>>;

// One request/response round on the control connection: connects lazily, writes the 52-byte
// request frame and reads the whole response frame before looking at its status. A failed connect
// stores nothing; a failed write or read closes the connection, so the next exchange starts on a
// fresh one instead of reading an answer that belongs to an earlier request. Engine error statuses
// and short answers keep the connection, which is still aligned on a frame boundary.
Task<Result<HybridResponse, std::string>> exchange(Runtime& runtime, std::string socket_path,
                                                   std::shared_ptr<ControlConnection> control,
                                                   HybridRequest request);

}  // namespace zorvo::hybrid
