#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/hybrid/control_pool.hpp"
#include "zorvo/hybrid/exchange.hpp"
#include "zorvo/hybrid/task.hpp"
#include "zorvo/hybrid/lease_keeper.hpp"
#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/shm/async_call.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"

namespace zorvo::hybrid {

// Why a hybrid client could not be built.
struct SetupError {
    enum class Kind {
        Attach,   // the region could not be attached (ConnectionError)
        Runtime,  // the runtime's threads or descriptors could not be created (RuntimeError)
    };
    Kind kind;
    std::string message;
};

// The hybrid client without any host runtime: a region client whose requests are announced by one
// small control exchange per inference, run on the client's own asynchronous runtime.
//
// `infer` may be called from any number of threads at once and the calls run side by side: each
// takes a control connection of its own from a pool for its exchange. What belongs to one process
// (runtime, connections, the lock of the restart check) lives in a session that a forked child
// replaces, so that nothing the parent's threads held at the fork is ever waited for.
class HybridClientCore final {
public:
    static Result<std::unique_ptr<HybridClientCore>, SetupError> connect(
        std::string_view shm_name, std::string socket_path,
        std::size_t worker_count = Runtime::default_worker_count());

    HybridClientCore(shm::RegionClient region, std::string socket_path, std::unique_ptr<Runtime> runtime,
                     std::size_t worker_count);
    ~HybridClientCore();
    HybridClientCore(const HybridClientCore&) = delete;
    HybridClientCore& operator=(const HybridClientCore&) = delete;

    // Writes the tensor into a leased slot, announces it to the engine and hands the result data
    // to `host.take_result`. The request number advances on every call; the slot is always given back.
    Result<Unit, shm::InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                        std::span<const std::uint8_t> data, shm::InferHost& host);

    // Starts `call` without waiting for it: it starts on the caller's thread and goes on on the
    // runtime once it has to wait, and done() is called on a runtime worker (or on the caller's
    // thread before start returns). An error here means it did not start (and done() is not
    // called). Waits for a free slot, as infer does, without holding any thread.
    Result<Unit, shm::InferError> start(shm::AsyncCall& call);

    // See shm::RegionClient: for a host whose calls may overlap, and that waits for free slots.
    void allow_concurrent_calls() noexcept { region_.allow_concurrent_calls(); }
    void wait_for_slots(std::chrono::nanoseconds limit) noexcept { region_.wait_for_slots(limit); }
    std::uint64_t next_request_id() const noexcept { return region_.next_request_id(); }
    shm::TieredShmAllocator& allocator() noexcept { return region_.allocator(); }
    const shm::ShmManager& region() const noexcept { return region_.region(); }
    // Open control connections that no call is using.
    std::size_t idle_connections() const;

private:
    struct Session;
    class Announcer;

    Result<Session*, shm::InferError> start_afresh_after_fork(Session* inherited);
    Result<Session*, shm::InferError> session_for_call();
    Result<std::uint64_t, shm::InferError> after_exchange(Session& session, std::shared_ptr<ControlConnection> connection,
                                                          Result<HybridResponse, std::string> response);
    Task<void> run_call(Session& session, shm::AsyncCall& call);
    Task<Result<Unit, shm::InferError>> call_steps(Session& session, shm::AsyncCall& call);
    void check_for_restart(Session& session);

    std::size_t worker_count_;
    std::string socket_path_;
    // This process's session; owned, except a forked child's inherited one, which is abandoned.
    std::atomic<Session*> session_;
    shm::RegionClient region_;
};

// Everything of a hybrid client that belongs to one process.
struct HybridClientCore::Session {
    Session(std::unique_ptr<Runtime> runtime_in, std::uint64_t generation)
        : fork_generation(generation), runtime(std::move(runtime_in)) {
        runtime->spawn(LeaseKeeper::run(*runtime, leases, shm::SLOT_LEASE));
    }

    const std::uint64_t fork_generation;  // of the process whose threads the runtime runs
    // Declared first so that it goes last: its workers may still hold references to connections.
    std::unique_ptr<Runtime> runtime;
    ControlPool connections;
    std::shared_ptr<LeaseKeeper> leases = std::make_shared<LeaseKeeper>();
    // Set by a failed exchange: the next call asks whether the engine restarted with a new region.
    std::atomic<bool> exchange_failed{false};
    // Held through that check, so that no call goes ahead of it on a stale region.
    std::mutex restart_check;
};

}  // namespace zorvo::hybrid
