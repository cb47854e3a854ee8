// What a guard does with an error it meets while it looks at the objects a
// shortcut stands in for.
//
// Those objects are the standard library's own unless a caller replaced
// them, and the standard library's own raise nothing when looked at. So an
// Exception raised there says only "this is not the standard library's
// object": the guard turns its shortcut off, and the general way, which
// meets the object again, raises what it raises in its own time. Anything
// else is the call's own error, which the general way would meet wherever
// it had got to: a MemoryError, a RecursionError, or an error that is no
// Exception (a KeyboardInterrupt from a signal handler, SystemExit). That
// one goes on as the call's error.
#pragma once

#include "ref.hpp"

namespace brevan {

// The pending error, as a guard meets it: cleared when it is a doubt about
// the object looked at; thrown on (PyError) when it is the call's own.
[[gnu::cold]] inline void drop_doubt() {
    if (!PyErr_Occurred()) return;  // nothing pending: a doubt all the same
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
        !PyErr_ExceptionMatches(PyExc_RecursionError)) {
        PyErr_Clear();
        return;
    }
    throw_error();
}

// dict[key] (borrowed), or null when the dict holds no such key. An error on
// the way (a key whose comparison raises, no memory for the key) is met as
// above: null for a doubt, thrown for the call's own.
inline PyObject *guard_item(PyObject *dict, const char *key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    PyObject *item = name ? PyDict_GetItemWithError(dict, name.get()) : nullptr;  // borrowed
    if (item == nullptr && PyErr_Occurred()) drop_doubt();
    return item;
}

}  // namespace brevan
