// Package environment: find() and clear().
#include "setting.hpp"

namespace brevan {

Ref find_body(Frame &, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "find");
    throw_error();
}

Ref clear_body(Frame &, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "clear");
    throw_error();
}

}  // namespace brevan
