#pragma once

#include <cstdint>
#include <optional>

namespace zorvo::shm {

// A process as the region's other clients can recognise it: its id, its start time (so that a
// reused id is told apart) and its pid namespace (ids mean nothing in another one).
struct ProcessIdentity {
    std::uint64_t pid = 0;
    std::uint64_t start_time = 0;
    std::uint64_t pid_namespace = 0;
};

// This process, or none when /proc cannot say.
std::optional<ProcessIdentity> own_process_identity();

// Whether the process `who` is ending: every thread of it has begun to exit or has a kill
// pending, so none of them runs another instruction of its own. Its locks on files stay held
// until late in its exit, which may take a while (it first unmaps its memory). False whenever
// it cannot be told: another pid namespace, an id now used by another process, or /proc unreadable.
bool process_is_exiting(const ProcessIdentity& who);

}  // namespace zorvo::shm
