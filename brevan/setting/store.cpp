// Settings store: read() and save().
#include "setting.hpp"

namespace brevan {

Ref read_body(Frame &, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "read");
    throw_error();
}

Ref save_body(Frame &, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "save");
    throw_error();
}

}  // namespace brevan
