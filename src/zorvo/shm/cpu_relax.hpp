#pragma once

#include <time.h>

#include <chrono>

namespace zorvo::shm {

// Tells the processor we are spinning, so a sibling hyper-thread gets the core meanwhile.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Sleeps for a short while (under a second) between polling rounds: one system call, no clock read.
inline void pause_for(std::chrono::nanoseconds duration) noexcept {
    const timespec pause{0, static_cast<long>(duration.count())};
    ::nanosleep(&pause, nullptr);
}

}  // namespace zorvo::shm
