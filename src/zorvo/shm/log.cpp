#include "zorvo/shm/log.hpp"

#include <atomic>

namespace zorvo::shm::log {
namespace {

std::atomic<Sink> installed_sink{nullptr};
std::atomic<Level> maximum_level{Level::Off};

}  // namespace

void set_sink(Sink sink) noexcept { installed_sink.store(sink, std::memory_order_release); }

void set_max_level(Level level) noexcept { maximum_level.store(level, std::memory_order_relaxed); }

Level max_level() noexcept { return maximum_level.load(std::memory_order_relaxed); }

bool enabled(Level level) noexcept {
    return level != Level::Off && level <= max_level() &&
           installed_sink.load(std::memory_order_acquire) != nullptr;
}

void emit(Level level, std::string_view target, std::string_view text) noexcept {
    if (!enabled(level)) return;
    if (Sink sink = installed_sink.load(std::memory_order_acquire)) sink(Record{level, target, text});
}

}  // namespace zorvo::shm::log
