#pragma once

#include "py_ref.hpp"

namespace zorvo::python {

// Tracks who is using an object for the duration of a method call: any number of shared takes,
// or one exclusive take. Overlaps arise only where a method releases the interpreter lock or
// re-enters Python, so the counter itself is guarded by the interpreter lock.
class BorrowFlag {
private:
    friend class SharedTake;
    friend class ExclusiveTake;
    static constexpr long kExclusive = -1;
    long state_ = 0;
};

class SharedTake {
public:
    explicit SharedTake(BorrowFlag& flag) noexcept : flag_(flag) {
        if (flag_.state_ == BorrowFlag::kExclusive) return;
        ++flag_.state_;
        taken_ = true;
    }
    SharedTake(const SharedTake&) = delete;
    SharedTake& operator=(const SharedTake&) = delete;
    ~SharedTake() {
        if (taken_) --flag_.state_;
    }

    // False, with RuntimeError set, when an exclusive take is running.
    bool ok() const noexcept {
        if (!taken_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return taken_;
    }

private:
    BorrowFlag& flag_;
    bool taken_ = false;
};

class ExclusiveTake {
public:
    explicit ExclusiveTake(BorrowFlag& flag) noexcept : flag_(flag) {
        if (flag_.state_ != 0) return;
        flag_.state_ = BorrowFlag::kExclusive;
        taken_ = true;
    }
    ExclusiveTake(const ExclusiveTake&) = delete;
    ExclusiveTake& operator=(const ExclusiveTake&) = delete;
    ~ExclusiveTake() {
        if (taken_) flag_.state_ = 0;
    }

    // False, with RuntimeError set, when any other take is running.
    bool ok() const noexcept {
        if (!taken_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return taken_;
    }

private:
    BorrowFlag& flag_;
    bool taken_ = false;
};

}  // namespace zorvo::python
