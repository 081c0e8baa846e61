#include "zorvo/net/nonblocking_exchange.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::net {
namespace {

bool would_block(int error) noexcept { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

NonBlockingExchange::Progress NonBlockingExchange::begin(Connection connection) {
    const int fd = connection.native_handle();
    connection_.emplace(std::move(connection));
    sent_ = 0;
    header_filled_ = 0;
    overran_ = false;
    response_.reset();
    payload_filled_ = 0;
    outcome_.reset();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)) {
        return fail_io(SystemError::from_errno(errno));
    }
    return advance();
}

NonBlockingExchange::Progress NonBlockingExchange::advance() {
    if (outcome_) return Progress::Finished;
    // The frame's pieces (its own bytes, and a large tensor's bytes where the caller has them)
    // go out as one stream, each send taking what is left.
    const auto pieces = frame_.pieces();
    std::size_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    while (sent_ < total) {
        const ssize_t sent = connection_->send_some(pieces, sent_);
        if (sent < 0) {
            if (would_block(errno)) return Progress::WantWrite;
            return fail_io(SystemError::from_errno(errno));
        }
        if (sent == 0) return fail_io(SystemError::custom(ErrorKind::WriteZero, "failed to write whole buffer"));
        sent_ += static_cast<std::size_t>(sent);
    }
    return read_response();
}

NonBlockingExchange::Read NonBlockingExchange::read_into(std::uint8_t* buffer, std::size_t needed, std::size_t size,
                                                         std::size_t& filled) {
    while (filled < needed) {
        const ssize_t received = ::recv(fd(), buffer + filled, size - filled, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            if (would_block(errno)) return Read::Partial;
            fail_io(SystemError::from_errno(errno));
            return Read::Failed;
        }
        if (received == 0) {
            fail_io(SystemError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
            return Read::Failed;
        }
        filled += static_cast<std::size_t>(received);
    }
    return Read::Complete;
}

NonBlockingExchange::Progress NonBlockingExchange::read_response() {
    if (!response_) {
        switch (read_into(first_.data(), kResponseHeaderSize, first_.size(), header_filled_)) {
            case Read::Partial: return Progress::WantRead;
            case Read::Failed: return Progress::Finished;
            case Read::Complete: break;
        }
        response_ = ResponseHeader{load_le<std::uint32_t>(first_.data()), load_le<std::uint32_t>(first_.data() + 4)};
        payload_ = payload_buffer(response_->length, shelf_);
        // Whatever came with the header belongs to the payload, unless the peer sent more.
        overran_ = header_filled_ - kResponseHeaderSize > response_->length;
        payload_filled_ = std::min(header_filled_ - kResponseHeaderSize, payload_.bytes().size());
        std::copy_n(first_.data() + kResponseHeaderSize, payload_filled_, payload_.bytes().data());
    }
    const std::size_t total = response_->length;
    ByteBuffer& payload = payload_.bytes();
    for (;;) {
        switch (read_into(payload.data(), payload.size(), payload.size(), payload_filled_)) {
            case Read::Partial: return Progress::WantRead;
            case Read::Failed: return Progress::Finished;
            case Read::Complete: break;
        }
        if (payload.size() == total) break;
        payload.resize(next_payload_size(payload.size(), total));
    }
    return finish(ReceivedFrame{response_->status, std::move(payload_)});
}

NonBlockingExchange::Progress NonBlockingExchange::finish(Result<ReceivedFrame, SystemError> outcome) {
    outcome_.emplace(std::move(outcome));
    return Progress::Finished;
}

}  // namespace zorvo::net
