#pragma once

#include <cstdint>
#include <string_view>

// A minimal diagnostics facade: records carry a level, a target and a text. The library installs
// no sink and leaves the maximum level at Off, so records are discarded unless a host opts in.
namespace zorvo::shm::log {

enum class Level : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

struct Record {
    Level level;
    std::string_view target;
    std::string_view text;
};

using Sink = void (*)(const Record& record);

void set_sink(Sink sink) noexcept;
void set_max_level(Level level) noexcept;
Level max_level() noexcept;

// Cheap check so callers build the text only when someone will see it.
bool enabled(Level level) noexcept;

void emit(Level level, std::string_view target, std::string_view text) noexcept;

}  // namespace zorvo::shm::log
