#pragma once

namespace zorvo::shm {

// Tells the processor we are spinning, so a sibling hyper-thread gets the core meanwhile.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace zorvo::shm
