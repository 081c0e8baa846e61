// Linked into the module of a distributable wheel only (ZORVO_PORTABLE_GLIBC). The linker binds
// every glibc symbol to its newest version on the build machine, so the module, and the C++ runtime
// linked into it, would ask for glibc 2.36 where only a handful of calls are new. Those few are
// bound here to versions that glibc has kept since long before 2.28: the threads and shared-memory
// calls to the versions they had in libpthread and librt (linked as needed entries, so the module
// loads on a glibc that still keeps them there), fstat to its old out-of-line form, and the two
// symbols only the C++ runtime asks for are defined inside the module.
//
// The build passes -Wl,--wrap=NAME for each wrapped call, so references from the static C++
// runtime reach the wrappers too; scripts/check-package lists what the module still asks for.

#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#define ZORVO_BIND_OLD_VERSION(ret, name, version, params, args)          \
    extern "C" ret zorvo_old_##name params;                                \
    __asm__(".symver zorvo_old_" #name "," #name "@" version);            \
    extern "C" ret __wrap_##name params { return zorvo_old_##name args; }

ZORVO_BIND_OLD_VERSION(int, pthread_create, "GLIBC_2.2.5",
                       (pthread_t * thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument),
                       (thread, attributes, start, argument))
ZORVO_BIND_OLD_VERSION(int, pthread_detach, "GLIBC_2.2.5", (pthread_t thread), (thread))
ZORVO_BIND_OLD_VERSION(int, pthread_join, "GLIBC_2.2.5", (pthread_t thread, void** result), (thread, result))
ZORVO_BIND_OLD_VERSION(int, pthread_key_create, "GLIBC_2.2.5", (pthread_key_t * key, void (*destructor)(void*)),
                       (key, destructor))
ZORVO_BIND_OLD_VERSION(int, __pthread_key_create, "GLIBC_2.2.5", (pthread_key_t * key, void (*destructor)(void*)),
                       (key, destructor))
ZORVO_BIND_OLD_VERSION(int, pthread_key_delete, "GLIBC_2.2.5", (pthread_key_t key), (key))
ZORVO_BIND_OLD_VERSION(void*, pthread_getspecific, "GLIBC_2.2.5", (pthread_key_t key), (key))
ZORVO_BIND_OLD_VERSION(int, pthread_setspecific, "GLIBC_2.2.5", (pthread_key_t key, const void* value), (key, value))
ZORVO_BIND_OLD_VERSION(int, pthread_once, "GLIBC_2.2.5", (pthread_once_t * once, void (*routine)()), (once, routine))
ZORVO_BIND_OLD_VERSION(int, pthread_mutex_trylock, "GLIBC_2.2.5", (pthread_mutex_t * mutex), (mutex))
ZORVO_BIND_OLD_VERSION(int, pthread_setname_np, "GLIBC_2.12", (pthread_t thread, const char* name), (thread, name))
ZORVO_BIND_OLD_VERSION(int, shm_open, "GLIBC_2.2.5", (const char* name, int flags, mode_t mode), (name, flags, mode))
ZORVO_BIND_OLD_VERSION(int, shm_unlink, "GLIBC_2.2.5", (const char* name), (name))

// Before 2.33, fstat existed only as an inline call of __fxstat with the structure's version (1).
extern "C" int zorvo_old_fxstat(int version, int fd, struct stat* status);
__asm__(".symver zorvo_old_fxstat,__fxstat@GLIBC_2.2.5");
extern "C" int __wrap_fstat(int fd, struct stat* status) { return zorvo_old_fxstat(1, fd, status); }
// The C++ runtime's file streams ask for fstat64, the same call on x86-64.
extern "C" int zorvo_old_fxstat64(int version, int fd, struct stat64* status);
__asm__(".symver zorvo_old_fxstat64,__fxstat64@GLIBC_2.2.5");
extern "C" int __wrap_fstat64(int fd, struct stat64* status) { return zorvo_old_fxstat64(1, fd, status); }

// The C++ runtime's inline atomics skip the atomic instruction when glibc (2.32+) says the process
// has one thread; 0 means "maybe several", which is always correct.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

// std::random_device's default source (glibc 2.36); the kernel's generator serves it as well. Like
// glibc's own, it cannot report a failure, so anything but an interrupted call ends the process.
extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    for (;;) {
        const ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == static_cast<ssize_t>(sizeof value)) return value;
        if (got < 0 && errno != EINTR) std::abort();
    }
}
