#pragma once

#include "gil.hpp"
#include "py_ref.hpp"

#include <memory>
#include <mutex>

#include "zorvo/common/fork_generation.hpp"

namespace zorvo::python {

// Calls that must not overlap take turns here. A thread waits for its turn with the interpreter
// lock released, so waiting never stops other Python threads (and never fails as "Already
// borrowed"). A child forked while some thread held a turn starts with a fresh mutex: the thread
// holding the parent's does not exist there.
class Turns {
public:
    // The interpreter lock released, then this object's turn, for the scope's life.
    class Turn {
    public:
        explicit Turn(std::mutex& mutex) : lock_(mutex) {}
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        GilReleased released_;  // first: the mutex is waited for without the interpreter lock
        std::lock_guard<std::mutex> lock_;
    };

    // Called with the interpreter lock held, which orders the renewal after a fork.
    [[nodiscard]] Turn wait() {
        if (fork_generation() != generation_) [[unlikely]] {
            static_cast<void>(mutex_.release());  // may be locked by a thread the child lacks: never destroyed
            mutex_ = std::make_unique<std::mutex>();
            generation_ = fork_generation();
        }
        return Turn(*mutex_);  // no copy or move: built in the caller's place
    }

private:
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
    std::uint64_t generation_ = fork_generation();
};

}  // namespace zorvo::python
