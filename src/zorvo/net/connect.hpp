#pragma once

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/connection.hpp"
#include "zorvo/net/connection_target.hpp"

namespace zorvo::net {

// Opens a new blocking connection to the target. TCP: every resolved address in order, the last
// failure wins; TCP_NODELAY is set when the kernel allows it. No time limits are set.
Result<Connection, SystemError> connect_stream(const ConnectionTarget& target);

}  // namespace zorvo::net
