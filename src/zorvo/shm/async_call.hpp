#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"

namespace zorvo::shm {

// A shared-memory or hybrid call whose caller does not wait for it: the tensor to send, the host
// its result goes to, and who hears once it has ended. The caller keeps it, and what it points
// to, alive until done() has been called.
class AsyncCall {
public:
    explicit AsyncCall(InferHost& host) noexcept : host_(host) {}
    AsyncCall(const AsyncCall&) = delete;
    AsyncCall& operator=(const AsyncCall&) = delete;
    virtual ~AsyncCall() = default;

    // The tensor to send; set before the call is started.
    void set_request(std::span<const std::int64_t> shape, std::string_view dtype,
                     std::span<const std::uint8_t> data) noexcept {
        shape_ = shape;
        dtype_ = dtype;
        data_ = data;
    }

    std::span<const std::int64_t> shape() const noexcept { return shape_; }
    std::string_view dtype() const noexcept { return dtype_; }
    std::span<const std::uint8_t> data() const noexcept { return data_; }
    InferHost& host() const noexcept { return host_; }

    // Once the call has ended, on whichever thread ended it; a result has gone to the host by then.
    virtual void done(Result<Unit, InferError> outcome) noexcept = 0;

private:
    std::span<const std::int64_t> shape_;
    std::string_view dtype_;
    std::span<const std::uint8_t> data_;
    InferHost& host_;
};

}  // namespace zorvo::shm
