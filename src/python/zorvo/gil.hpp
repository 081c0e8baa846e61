#pragma once

#include "py_ref.hpp"

namespace zorvo::python {

// Lets other threads run Python while this one waits; the lock is taken back when the scope ends.
// No Python object may be touched inside the scope.
class GilReleased {
public:
    GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(saved_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace zorvo::python
