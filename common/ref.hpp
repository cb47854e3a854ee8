// Owned and borrowed references, and the one way a Python error crosses C++.
//
// Reference rules, for every file of this module:
//   - `Ref` owns exactly one reference. It is made from a new reference with
//     `Ref::steal(p)` or from a borrowed one with `Ref::borrow(p)`, gives it
//     back with `release()`, and drops it in its destructor. Copies add a
//     reference, moves transfer it.
//   - A raw `PyObject *` parameter or local is always borrowed and never
//     decref'd by the code that holds it.
//   - An API call that returns a new reference goes straight into `Ref` or
//     through `check()`, which also turns a NULL result into `PyError`.
//   - `PyError` means "a Python exception is set": it carries nothing, and the
//     code that catches it (the function-call boundary) returns NULL.
// So no call site pairs Py_INCREF/Py_DECREF by hand, and an error path
// releases whatever it holds by unwinding.
#pragma once

#include <Python.h>

#include <utility>

namespace brevan {

// Thrown after a failed API call; the Python exception is already set.
struct PyError {};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

[[noreturn, gnu::cold]] inline void throw_error() { throw PyError{}; }

// A new reference from the API, or PyError when it is NULL.
inline Ref check(PyObject *new_ref) {
    if (new_ref == nullptr) throw_error();
    return Ref::steal(new_ref);
}

// A status code from the API (negative on error); returns it otherwise.
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}

// The pending exception, taken out of the thread state (or an empty Ref).
inline Ref take_exception() noexcept { return Ref::steal(PyErr_GetRaisedException()); }

// Puts `exc` back as the pending exception.
inline void restore_exception(Ref exc) noexcept { PyErr_SetRaisedException(exc.release()); }

}  // namespace brevan
