#include "zorvo/hybrid/client_core.hpp"

#include <mutex>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {

namespace {

// The control record that announces a staged request.
HybridRequest announcement_of(const shm::StagedRequest& request) {
    return HybridRequest{
        .metadata = wire::TransportRequestMetadata::create(request.id, 0, 0, 0),
        .tensor_offset = request.tensor_offset,
        .tensor_size = request.tensor_size,
    };
}

}  // namespace

// What an exchange's end means: the connection goes back (or, broken, takes the idle ones with
// it), and a failure marks the session for a restart check.
Result<std::uint64_t, shm::InferError> HybridClientCore::after_exchange(Session& session,
                                                                        std::shared_ptr<ControlConnection> connection,
                                                                        Result<HybridResponse, std::string> response) {
    // A connection the exchange closed (or never opened) means the engine may be gone: the idle
    // ones go too, so that calls after a restart do not fail one connection at a time.
    const bool broken = !connection->unguarded().has_value();
    session.connections.give_back(std::move(connection));
    if (!response.ok()) {
        if (broken) session.connections.clear();
        session.exchange_failed.store(true, std::memory_order_relaxed);
        return fail(shm::InferError::runtime(std::move(response).error()));
    }
    return response->result_offset;
}

// Announces one call's staged request on a control connection of its own.
class HybridClientCore::Announcer final : public shm::Transport {
public:
    Announcer(HybridClientCore& core, Session& session) noexcept
        : shm::Transport(false), core_(core), session_(session) {}

    Result<std::uint64_t, shm::InferError> hand_over(const shm::StagedRequest& request, shm::SlotLease&,
                                                     shm::InferHost& host) override {
        host.request_staged();
        // The answer arrives on this call's own connection, so the slot is given back however the
        // exchange ends.
        std::shared_ptr<ControlConnection> connection = session_.connections.take();
        auto response = [&] {
            const auto hold = session_.leases->hold(*request.attachment->allocator, request.claim_index);
            return session_.runtime->block_on(
                exchange(*session_.runtime, core_.socket_path_, connection, announcement_of(request)));
        }();
        return core_.after_exchange(session_, std::move(connection), std::move(response));
    }

private:
    HybridClientCore& core_;
    Session& session_;
};

Task<Result<Unit, shm::InferError>> HybridClientCore::call_steps(Session& session, shm::AsyncCall& call) {
    Runtime& runtime = *session.runtime;
    bool retry_later = false;
    auto staged = region_.begin_call(call.shape(), call.dtype(), call.data(), call.host(), false, retry_later);
    // A full pool is likely this client's own calls: they give their slots back within a call.
    const auto deadline = std::chrono::steady_clock::now() + region_.slot_wait();
    while (!staged.ok() && retry_later && std::chrono::steady_clock::now() < deadline) {
        co_await runtime.sleep_for(shm::RegionClient::kSlotPoll);
        staged = region_.begin_call(call.shape(), call.dtype(), call.data(), call.host(), false, retry_later);
    }
    if (!staged.ok()) co_return fail(std::move(staged).error());
    shm::RegionCall& region_call = *staged.value();
    const shm::StagedRequest& request = region_call.request;
    call.host().request_staged();
    std::shared_ptr<ControlConnection> connection = session.connections.take();
    Result<HybridResponse, std::string> response = fail(std::string());
    {
        const auto hold = session.leases->hold(*request.attachment->allocator, request.claim_index);
        response = co_await exchange(runtime, socket_path_, connection, announcement_of(request));
    }
    auto offset = after_exchange(session, std::move(connection), std::move(response));
    auto result = region_.end_call(region_call, std::move(offset), call.host());
    staged.value().reset();  // the slot is given back before the call is reported done
    co_return result;
}

Task<void> HybridClientCore::run_call(Session& session, shm::AsyncCall& call) {
    // Nobody awaits this task: a failure inside it ends the call, never the process.
    Result<Unit, shm::InferError> outcome = fail(shm::InferError::runtime("internal fault"));
    try {
        outcome = co_await call_steps(session, call);
    } catch (const std::bad_alloc&) {
        outcome = fail(shm::InferError::runtime("out of memory"));
    } catch (const std::exception& fault) {
        outcome = fail(shm::InferError::runtime(std::string("internal fault: ") + fault.what()));
    }
    call.done(std::move(outcome));
}

Result<std::unique_ptr<HybridClientCore>, SetupError> HybridClientCore::connect(std::string_view shm_name,
                                                                                std::string socket_path,
                                                                                std::size_t worker_count) {
    auto region = shm::RegionClient::attach(shm_name);
    if (!region.ok()) return fail(SetupError{SetupError::Kind::Attach, region.error().display()});
    auto runtime = Runtime::create(worker_count);
    if (!runtime.ok()) return fail(SetupError{SetupError::Kind::Runtime, runtime.error().display()});
    return std::make_unique<HybridClientCore>(std::move(region).value(), std::move(socket_path),
                                              std::move(runtime).value(), worker_count);
}

HybridClientCore::HybridClientCore(shm::RegionClient region, std::string socket_path, std::unique_ptr<Runtime> runtime,
                                   std::size_t worker_count)
    : worker_count_(worker_count),
      socket_path_(std::move(socket_path)),
      session_(new Session(std::move(runtime), fork_generation())),
      region_(std::move(region)) {}

HybridClientCore::~HybridClientCore() {
    Session* session = session_.load(std::memory_order_acquire);
    // In a forked child the runtime's workers do not exist and any of its locks may have been
    // held at the fork: the session is left alone, never joined or destroyed.
    if (session->fork_generation == fork_generation()) delete session;
}

std::size_t HybridClientCore::idle_connections() const {
    return session_.load(std::memory_order_acquire)->connections.idle_count();
}

Result<HybridClientCore::Session*, shm::InferError> HybridClientCore::start_afresh_after_fork(Session* inherited) {
    auto runtime = Runtime::create(worker_count_);
    if (!runtime.ok()) return fail(shm::InferError::runtime(runtime.error().display()));
    auto fresh = std::make_unique<Session>(std::move(runtime).value(), fork_generation());
    // Threads of the child that noticed the fork together race here; one session wins.
    if (!session_.compare_exchange_strong(inherited, fresh.get(), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
        return inherited;  // the winner's; ours goes with its runtime
    }
    // The parent's connections go with the last references the child holds, closed, never shut
    // down, so the parent's exchanges go on undisturbed. The rest of its session is abandoned.
    static_cast<void>(inherited->connections.abandon());
    return fresh.release();
}

void HybridClientCore::check_for_restart(Session& session) {
    std::lock_guard lock(session.restart_check);
    // Another call may have checked while this one waited for the lock.
    if (!session.exchange_failed.exchange(false, std::memory_order_relaxed)) return;
    // A restarted engine has a new region, and offsets in the old one would name tensors it never sees.
    region_.check_for_restart();
}

Result<HybridClientCore::Session*, shm::InferError> HybridClientCore::session_for_call() {
    Session* session = session_.load(std::memory_order_acquire);
    if (session->fork_generation != fork_generation()) [[unlikely]] {
        auto fresh = start_afresh_after_fork(session);
        if (!fresh.ok()) return fail(std::move(fresh).error());
        session = fresh.value();
    }
    if (session->exchange_failed.load(std::memory_order_relaxed)) [[unlikely]] check_for_restart(*session);
    return session;
}

Result<Unit, shm::InferError> HybridClientCore::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                                      std::span<const std::uint8_t> data, shm::InferHost& host) {
    auto session = session_for_call();
    if (!session.ok()) return fail(std::move(session).error());
    Announcer announcer(*this, *session.value());
    return region_.infer(shape, dtype, data, host, announcer);
}

Result<Unit, shm::InferError> HybridClientCore::start(shm::AsyncCall& call) {
    auto session = session_for_call();
    if (!session.ok()) return fail(std::move(session).error());
    // Staged and announced on the caller's thread; the answer is awaited on a worker.
    session.value()->runtime->spawn_here(run_call(*session.value(), call));
    return Unit{};
}

}  // namespace zorvo::hybrid
