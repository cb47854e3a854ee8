// Linked into each module when the C++ runtime is LLVM's libc++abi, as in the
// wheels built with zig. That runtime's default std::terminate handler names
// the uncaught exception's type through the runtime's demangler, and with it
// come most of the runtime's code and some 1,300 pointers that the dynamic
// loader has to relocate at every import. The handler variables defined here
// take the place of the runtime's own (which are only looked for when nothing
// defines them), so the demangler is never linked. std::terminate is reached
// only when an exception escapes a noexcept function: say so and abort.
#include <cstdlib>
#include <exception>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

[[noreturn]] void report_and_abort() noexcept {
    static constexpr char message[] = "fatal: a C++ exception escaped a noexcept function (std::terminate)\n";
    // Nothing can be done if stderr is gone; abort either way. Through
    // syscall(), which the modules import anyway: one symbol fewer to bind.
    [[maybe_unused]] const long written = syscall(SYS_write, STDERR_FILENO, message, sizeof message - 1);
    std::abort();
}

}  // namespace

extern "C" {
// The names and types are the runtime's: std::terminate and std::get_terminate
// read the first, the unexpected-exception path the second, operator new the
// third (no new-handler is ever installed).
__attribute__((visibility("hidden"))) constinit std::terminate_handler __cxa_terminate_handler = report_and_abort;
__attribute__((visibility("hidden"))) constinit std::terminate_handler __cxa_unexpected_handler = report_and_abort;
__attribute__((visibility("hidden"))) constinit std::new_handler __cxa_new_handler = nullptr;
}
