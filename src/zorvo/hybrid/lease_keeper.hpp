#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/hybrid/task.hpp"
#include "zorvo/shm/allocator.hpp"

namespace zorvo::hybrid {

// Keeps the slot claims of calls that wait on the engine alive: the exchange has no time limit,
// and a claim whose lease ran out while the engine still reads the slot could be taken by another
// client. Renewal runs on the runtime, a whole lease ahead, every third of a lease.
class LeaseKeeper {
public:
    class Hold {
    public:
        Hold(LeaseKeeper& keeper, std::list<std::pair<shm::TieredShmAllocator*, std::uint64_t>>::iterator entry) noexcept
            : keeper_(&keeper), entry_(entry) {}
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        // Ends before the call gives its slot back, so that no renewal races the release.
        ~Hold();

    private:
        LeaseKeeper* keeper_;
        std::list<std::pair<shm::TieredShmAllocator*, std::uint64_t>>::iterator entry_;
    };

    Hold hold(shm::TieredShmAllocator& allocator, std::uint64_t claim_index);
    void renew_all();

    // Started once per runtime; ends when the runtime is destroyed.
    static Task<void> run(Runtime& runtime, std::shared_ptr<LeaseKeeper> keeper, std::chrono::nanoseconds lease);

private:
    std::mutex mutex_;
    std::list<std::pair<shm::TieredShmAllocator*, std::uint64_t>> waiting_;
};

}  // namespace zorvo::hybrid
