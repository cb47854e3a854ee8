// Linked into each module when the C++ runtime is LLVM's (libc++ and
// libunwind, as in the wheels built with zig) and the C library is glibc
// older than 2.34. The unwinder calls pthread_rwlock_* (its cache of frame
// descriptions), dlsym (to look for glibc's _dl_find_object) and dladdr (only
// for function names in backtraces). Before glibc 2.34 these live in
// libpthread.so.0 and libdl.so.2, so the modules would list both as needed,
// and on current systems, where they are empty leftovers that the interpreter
// does not load, the first import would map them: about 0.1 ms. The modules
// define their own, private, versions instead:
// - the lock: a reader-writer spin lock kept in the lock object's first word
//   (zero, as PTHREAD_RWLOCK_INITIALIZER leaves it, is unlocked). It guards
//   short lookups, and only while an exception is being thrown.
// - dlsym finds nothing, so the unwinder uses dl_iterate_phdr (libc.so.6).
// - dladdr knows no names.
#include <pthread.h>

#if defined(__GLIBC__)
#if !__GLIBC_PREREQ(2, 34)
#include <atomic>
#include <climits>
#include <dlfcn.h>
#include <sched.h>

namespace {

constexpr unsigned writer = UINT_MAX;

std::atomic_ref<unsigned> state(pthread_rwlock_t *lock) noexcept {
    return std::atomic_ref<unsigned>(lock->__data.__readers);
}

}  // namespace

extern "C" {

__attribute__((visibility("hidden"))) int pthread_rwlock_rdlock(pthread_rwlock_t *lock) noexcept {
    auto word = state(lock);
    for (;;) {
        unsigned seen = word.load(std::memory_order_relaxed);
        if (seen < writer - 1 && word.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) return 0;
        sched_yield();
    }
}

__attribute__((visibility("hidden"))) int pthread_rwlock_wrlock(pthread_rwlock_t *lock) noexcept {
    auto word = state(lock);
    for (;;) {
        unsigned unlocked = 0;
        if (word.compare_exchange_weak(unlocked, writer, std::memory_order_acquire)) return 0;
        sched_yield();
    }
}

__attribute__((visibility("hidden"))) int pthread_rwlock_unlock(pthread_rwlock_t *lock) noexcept {
    auto word = state(lock);
    if (word.load(std::memory_order_relaxed) == writer) {
        word.store(0, std::memory_order_release);
    } else {
        word.fetch_sub(1, std::memory_order_release);
    }
    return 0;
}

__attribute__((visibility("hidden"))) void *dlsym(void *, const char *) noexcept { return nullptr; }

__attribute__((visibility("hidden"))) int dladdr(const void *, Dl_info *) noexcept { return 0; }
}

#endif
#endif
