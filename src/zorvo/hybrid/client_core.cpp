#include "zorvo/hybrid/client_core.hpp"

#include <mutex>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {

// Announces one call's staged request on a control connection of its own.
class HybridClientCore::Announcer final : public shm::Transport {
public:
    // The engine may use a hybrid call's slot until its lease ends: no cell says otherwise.
    Announcer(Session& session, const std::string& socket_path) noexcept
        : shm::Transport(false), session_(session), socket_path_(socket_path) {}

    Result<std::uint64_t, shm::InferError> hand_over(const shm::StagedRequest& request, shm::SlotLease&,
                                                     shm::InferHost& host) override {
        host.request_staged();
        // The answer arrives on this call's own connection, so the slot is given back however the
        // exchange ends.
        const HybridRequest hybrid_request{
            .metadata = wire::TransportRequestMetadata::create(request.id, 0, 0, 0),
            .tensor_offset = request.tensor_offset,
            .tensor_size = request.tensor_size,
        };
        std::shared_ptr<ControlConnection> connection = session_.connections.take();
        auto response = [&] {
            const auto hold = session_.leases->hold(*request.attachment->allocator, request.claim_index);
            return session_.runtime->block_on(exchange(*session_.runtime, socket_path_, connection, hybrid_request));
        }();
        // A connection the exchange closed (or never opened) means the engine may be gone: the
        // idle ones go too, so that calls after a restart do not fail one connection at a time.
        const bool broken = !connection->unguarded().has_value();
        session_.connections.give_back(std::move(connection));
        if (!response.ok()) {
            if (broken) session_.connections.clear();
            session_.exchange_failed.store(true, std::memory_order_relaxed);
            return fail(shm::InferError::runtime(std::move(response).error()));
        }
        return response->result_offset;
    }

private:
    Session& session_;
    const std::string& socket_path_;
};

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

Result<Unit, shm::InferError> HybridClientCore::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                                      std::span<const std::uint8_t> data, shm::InferHost& host) {
    Session* session = session_.load(std::memory_order_acquire);
    if (session->fork_generation != fork_generation()) [[unlikely]] {
        auto fresh = start_afresh_after_fork(session);
        if (!fresh.ok()) return fail(std::move(fresh).error());
        session = fresh.value();
    }
    if (session->exchange_failed.load(std::memory_order_relaxed)) [[unlikely]] check_for_restart(*session);
    Announcer announcer(*session, socket_path_);
    return region_.infer(shape, dtype, data, host, announcer);
}

}  // namespace zorvo::hybrid
