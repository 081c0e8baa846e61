#include "zorvo/net/socket_result.hpp"

#include <span>

#include "zorvo/common/text.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::net {

Result<ResultData, ClientError> socket_result(std::uint32_t status, ByteBuffer payload) {
    if (status != 0) return fail(ClientError::server(utf8_lossy(std::span<const std::uint8_t>(payload))));
    auto packet = wire::decode_tensor_packet_view(payload);
    if (!packet.ok()) return fail(ClientError::serialization(std::move(packet).error().message));
    return ResultData(std::move(payload), std::move(packet).value());
}

}  // namespace zorvo::net
