// What a C++ exception becomes where Python called in. PyError means the
// Python error is already set; running out of memory, or asking the C++
// library for a size it cannot hold, is MemoryError, as the interpreter says
// for sizes of its own; anything else is a SystemError. Every boundary of
// both modules uses this one rule, so none lets an exception reach a
// `noexcept` frame (which would end the process).
#pragma once

#include "ref.hpp"

#include <new>
#include <stdexcept>

namespace brevan {

// Sets the Python error for the exception being handled: call it inside a
// catch block, after `catch (const PyError &)`, which needs no work.
[[gnu::cold]] inline void set_python_error(const char *module) noexcept {
    try {
        throw;
    } catch (const PyError &) {
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in %s", module);
    }
}

}  // namespace brevan
