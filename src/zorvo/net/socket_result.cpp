#include "zorvo/net/socket_result.hpp"

#include <span>

#include "zorvo/common/text.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::net {

Result<ResultData, ClientError> socket_result(std::uint32_t status, ShelvedBuffer payload) {
    const ByteBuffer& bytes = payload.bytes();
    if (status != 0) return fail(ClientError::server(utf8_lossy(std::span<const std::uint8_t>(bytes))));
    auto packet = wire::decode_tensor_packet_view(bytes);
    if (!packet.ok()) return fail(ClientError::serialization(std::move(packet).error().message));
    return ResultData(std::move(payload), std::move(packet).value());
}

}  // namespace zorvo::net
