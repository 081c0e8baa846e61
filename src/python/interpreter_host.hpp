#pragma once

#include "py_ref.hpp"

#include <span>

#include "convert.hpp"
#include "result_list.hpp"
#include "zorvo/shm/infer_host.hpp"

namespace zorvo::python {

// The interpreter's side of a call through a shared-memory region: lets go of the caller's buffer
// once its bytes are in the region, lets other threads run during the readiness wait, runs signal
// handlers while polling and builds the result list while the slot is held.
class InterpreterHost final : public shm::InferHost {
public:
    explicit InterpreterHost(ByteArgument& data) noexcept : data_(data) {}

    void request_staged() noexcept override { data_.release(); }
    void release_host_lock() noexcept override { saved_ = PyEval_SaveThread(); }
    void reacquire_host_lock() noexcept override { PyEval_RestoreThread(saved_); }
    bool run_pending_handlers() override { return PyErr_CheckSignals() == 0; }
    bool take_result(std::span<const std::uint8_t> data) override {
        result_ = PyRef::steal(bytes_to_list(data));
        return static_cast<bool>(result_);
    }

    PyObject* release_result() noexcept { return result_.release(); }

private:
    ByteArgument& data_;
    PyThreadState* saved_ = nullptr;
    PyRef result_;
};

}  // namespace zorvo::python
