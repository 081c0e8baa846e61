#pragma once

#include "py_ref.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>

#include "tensor_layout.hpp"
#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::python {

// The host of a shared-memory or hybrid call made with the interpreter lock released: it copies
// the result out of the region once, into a buffer a Tensor can own, and keeps the block header's
// shape and element code. Polling lets signal handlers (Ctrl-C) run once a wait has gone on for a
// while, and then every few milliseconds.
class RegionResult final : public shm::InferHost {
public:
    bool take_result(std::span<const std::uint8_t> data) override {
        bytes_.resize(data.size());  // left uninitialised: filled by the one copy below
        if (!data.empty()) std::memcpy(bytes_.data(), data.data(), data.size());
        return true;
    }
    bool take_result_block(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
        header_ = shm::read_tensor_header(header);
        return take_result(data);
    }
    bool run_pending_handlers() override;

    // The Tensor's view of the bytes; `requested` is the call's element type.
    TensorLayout layout(wire::TensorDtype requested) const;

    ByteBuffer& bytes() noexcept { return bytes_; }

private:
    ByteBuffer bytes_;
    shm::TensorHeader header_{};
    unsigned rounds_ = 0;
    std::chrono::steady_clock::time_point next_check_{};
};

}  // namespace zorvo::python
