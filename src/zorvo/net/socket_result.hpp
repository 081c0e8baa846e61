#pragma once

#include <cstdint>

#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/result_data.hpp"

namespace zorvo::net {

// What an inference response frame means: the engine's error text for a non-zero status, else the
// result tensor, whose bytes stay in the payload.
Result<ResultData, ClientError> socket_result(std::uint32_t status, ShelvedBuffer payload);

}  // namespace zorvo::net
