// The code object a Python function runs, told without reading its
// __code__ attribute.
//
// Reading __code__ raises an "object.__getattr__" audit event, and the
// checks that prove a standard-library function unchanged are made where
// the code they stand in for reads no such attribute: an audit hook would
// see the modules at work. A function refers to its code object directly,
// as to its globals, name, defaults and so on, and the code is the only one
// of those that is a code object (a code object held as a default would
// make two, and no answer). The type's traverse slot lists them, as
// gc.get_referents does, without any event.
#pragma once

#include <Python.h>

namespace brevan {

// The code object of `function` (borrowed), or null when `function` is not
// of `function_type`, or its referents hold no single object of `code_type`.
// Runs no Python code and never raises.
inline PyObject *function_code(PyObject *function, PyTypeObject *function_type, PyTypeObject *code_type) noexcept {
    if (Py_TYPE(function) != function_type) return nullptr;
    const auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(function_type, Py_tp_traverse));
    if (traverse == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    struct Found {
        PyTypeObject *code_type;
        PyObject *code = nullptr;
        int count = 0;
    } found{code_type};
    const visitproc visit = [](PyObject *object, void *arg) noexcept -> int {
        auto *seen = static_cast<Found *>(arg);
        if (Py_TYPE(object) == seen->code_type) {
            seen->code = object;
            ++seen->count;
        }
        return 0;
    };
    if (traverse(function, visit, &found) != 0 || found.count != 1) return nullptr;
    return found.code;
}

}  // namespace brevan
