#include "hybrid_exchange.hpp"

#include <array>
#include <string>
#include <string_view>

#include "block_check.hpp"
#include "frame_protocol.hpp"
#include "zorvo/hybrid/protocol.hpp"
#include "zorvo/shm/queue_entries.hpp"

namespace zorvo::engine {

namespace {

HybridReply failure(std::string_view text) {
    return HybridReply{kStatusFailure, std::vector<std::uint8_t>(text.begin(), text.end())};
}

}  // namespace

HybridReply answer_hybrid(const EngineRegion* region, std::span<const std::uint8_t> request_payload) {
    if (region == nullptr) return failure("this engine serves no shared-memory region");
    if (request_payload.size() != hybrid::HYBRID_REQUEST_SIZE)
        return failure("hybrid request payload must be " + std::to_string(hybrid::HYBRID_REQUEST_SIZE) +
                       " bytes, got " + std::to_string(request_payload.size()));

    // A hybrid request has the bytes of a request queue entry.
    const auto request = shm::ShmRequestEntry::decode(request_payload.first<shm::ShmRequestEntry::SIZE>());
    if (auto problem = check_request_block(region->bytes(), region->layout(), request.tensor_offset,
                                           request.tensor_size)) {
        return failure(*problem);
    }
    shm::ShmResponseEntry response;
    response.request_id = request.request_id;
    response.result_offset = request.tensor_offset;
    // The response record is the first 40 bytes of a response queue entry.
    std::array<std::uint8_t, shm::ShmResponseEntry::SIZE> entry{};
    response.encode_into(entry);
    return HybridReply{kStatusOk, std::vector<std::uint8_t>(entry.begin(), entry.begin() + hybrid::HYBRID_RESPONSE_SIZE)};
}

}  // namespace zorvo::engine
