#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "reply_payload.hpp"

namespace zorvo::engine {

// Model ids with scripted behaviour; every other id echoes the request tensor.
inline constexpr std::uint32_t kModelFailing = 2;
inline constexpr std::uint32_t kModelBase64 = 3;
inline constexpr std::uint32_t kModelUndecodable = 4;
inline constexpr std::uint32_t kModelHangUp = 5;

inline constexpr std::uint32_t kFailingStatus = 7;
inline constexpr std::uint32_t kEndWithPayloadStatus = 3;
inline constexpr std::size_t kStreamItemCount = 8;

inline constexpr const char* kFailingText = "scripted failure of model 2";
inline constexpr const char* kStreamFailingText = "scripted stream failure of model 2";
inline constexpr const char* kStreamEndText = "done";
inline constexpr const char* kUndecodableRequestPrefix = "request does not decode: ";

// The answer to a single request (kind 1): one frame, or hanging up without a word.
struct SingleReply {
    bool hang_up = false;
    std::uint32_t status = 0;
    ReplyPayload payload;
};

SingleReply answer_single(std::uint32_t model_id, std::span<const std::uint8_t> request_payload);

// The answer to a stream request (kind 2): frames in order, each carrying the shared item
// payload, the shared text, or nothing.
enum class StreamPart { Item, Text, Empty };

struct StreamFrame {
    std::uint32_t status;
    StreamPart part;
};

struct StreamReply {
    bool hang_up = false;
    ReplyPayload item;
    std::string text;
    std::vector<StreamFrame> frames;
};

StreamReply answer_stream(std::uint32_t model_id, std::span<const std::uint8_t> request_payload);

}  // namespace zorvo::engine
