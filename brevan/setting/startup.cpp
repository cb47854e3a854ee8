// Start-up: startup().
#include "setting.hpp"

namespace brevan {

Ref startup_body(Frame &, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "startup");
    throw_error();
}

}  // namespace brevan
