// Linked into each module when the C++ runtime is linked in (libc++abi in
// the wheels built with zig, libstdc++ in a GCC build from source) and the C
// library is glibc.
//
// Every thread's exception state (the exceptions it is handling, and how
// many are in flight) lives in a thread-local variable of the runtime. In a
// library loaded with dlopen, as an extension module is, glibc allocates such
// a variable lazily, at its first use in each thread, and when that
// allocation fails it prints "cannot allocate memory for thread-local data"
// and aborts the process. The first use is the first throw, which is how a
// MemoryError travels in these modules: so a low memory limit could kill the
// interpreter where json raises MemoryError.
//
// These two functions take the place of the runtime's (its only way to that
// state; the runtime's own are only linked when nothing defines them) and
// keep it in the initial-exec TLS model: in the static TLS block that glibc
// sets aside for every thread when the thread starts, and that dlopen fills
// for the threads already running. Nothing is allocated later, so nothing
// can fail later; when the block has no room left, the import fails with an
// ImportError ("cannot allocate memory in static TLS block").
//
// musl allocates every thread's TLS at dlopen and at thread creation, never
// lazily, and refuses initial-exec TLS in a loaded library: there the
// runtime's own functions stay.
#include <unistd.h>  // defines __GLIBC__ there

#if defined(__GLIBC__)

namespace {

// The layout both runtimes use (cxa_exception.h, unwind-cxx.h), for every
// target but 32-bit ARM's EHABI, which adds a third field.
struct ExceptionGlobals {
    void *caught_exceptions;
    unsigned int uncaught_exceptions;
};
static_assert(sizeof(ExceptionGlobals) == 2 * sizeof(void *));
#if defined(__ARM_EABI_UNWINDER__)
#error "32-bit ARM's EHABI keeps a third field here"
#endif

__attribute__((tls_model("initial-exec"))) thread_local constinit ExceptionGlobals globals{};

}  // namespace

extern "C" {
__attribute__((visibility("hidden"))) void *__cxa_get_globals() noexcept { return &globals; }
__attribute__((visibility("hidden"))) void *__cxa_get_globals_fast() noexcept { return &globals; }
}

#endif
