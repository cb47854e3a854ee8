// Reading NO_COLOR and FORCE_COLOR for iprint.
//
// The general way is os.environ.get(name), read at every call so that
// changes at run time are seen. It runs Python code (Mapping.get, then
// _Environ.__getitem__, which raises and catches a KeyError for an unset
// name): about a microsecond per name, a third of a coloured line's cost.
//
// When os.environ is still the mapping the interpreter made (the same type
// with the same get and __getitem__, no get of its own, the same key encoder
// and value decoder as at import), its answer is whether the value stored under the encoded
// name in its _data dict is non-empty: the decoders keep empty values empty
// and others not. That dict is read directly. Anything else, or any error
// on the way, takes the general way, which then raises its own errors.
#include "vexil.hpp"

namespace vexil {
namespace {

constexpr const char *kVariables[] = {"NO_COLOR", "FORCE_COLOR"};
constexpr const char *kTypeNames[] = {"get", "__getitem__"};      // looked up on the type
constexpr const char *kObjectNames[] = {"encodekey", "decodevalue"};  // and on os.environ

bool general_lookup(State &st, ColourVariable variable) {
    Ref environ = check(PyObject_GetAttrString(st.os, "environ"));
    Ref value = check(PyObject_CallMethod(environ.get(), "get", "s", kVariables[variable]));
    return check(PyObject_IsTrue(value.get())) != 0;
}

// Whether `owner.name` is still `expected`; false on any error.
bool unchanged(PyObject *owner, PyObject *name, PyObject *expected) noexcept {
    PyObject *now = PyObject_GetAttr(owner, name);
    if (now == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(now);
    return now == expected;
}

// os.environ's _data dict when os.environ is untouched since import, else
// an empty Ref (and no exception).
Ref untouched_data(State &st) noexcept {
    if (st.environ_type == nullptr) return Ref();
    Ref environ = Ref::steal(PyObject_GetAttr(st.os, st.environ_name));
    if (!environ || reinterpret_cast<PyObject *>(Py_TYPE(environ.get())) != st.environ_type) {
        PyErr_Clear();
        return Ref();
    }
    for (int i = 0; i < 4; ++i) {
        PyObject *owner = i < 2 ? st.environ_type : environ.get();
        if (!unchanged(owner, st.environ_names[i], st.environ_values[i])) return Ref();
    }
    // os.environ.get may also be set on the object itself.
    Ref own = Ref::steal(PyObject_GenericGetDict(environ.get(), nullptr));
    if (!own || !PyDict_CheckExact(own.get()) ||
        PyDict_Contains(own.get(), st.environ_names[0]) != 0) {
        PyErr_Clear();
        return Ref();
    }
    Ref data = Ref::steal(PyObject_GetAttr(environ.get(), st.environ_data_name));
    if (!data || !PyDict_CheckExact(data.get())) {
        PyErr_Clear();
        return Ref();
    }
    return data;
}

}  // namespace

bool colour_variable_set(State &st, ColourVariable variable) {
    if (Ref data = untouched_data(st)) {
        PyObject *value = PyDict_GetItemWithError(data.get(), st.colour_keys[variable]);  // borrowed
        if (value == nullptr && !PyErr_Occurred()) return false;
        if (value != nullptr && (PyBytes_CheckExact(value) || PyUnicode_CheckExact(value))) {
            return PyObject_Size(value) > 0;
        }
        PyErr_Clear();
    }
    return general_lookup(st, variable);
}

void environ_prepare(State &st) noexcept {
    try {
        Ref environ = check(PyObject_GetAttrString(st.os, "environ"));
        Ref type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(environ.get())));
        for (int i = 0; i < 4; ++i) {
            const char *name = i < 2 ? kTypeNames[i] : kObjectNames[i - 2];
            st.environ_names[i] = check(PyUnicode_InternFromString(name)).release();
            PyObject *owner = i < 2 ? type.get() : environ.get();
            st.environ_values[i] = check(PyObject_GetAttr(owner, st.environ_names[i])).release();
        }
        st.environ_data_name = check(PyUnicode_InternFromString("_data")).release();
        st.environ_name = check(PyUnicode_InternFromString("environ")).release();
        for (int i = 0; i < 2; ++i) {
            Ref name = check(PyUnicode_FromString(kVariables[i]));
            PyObject *args[] = {name.get()};
            st.colour_keys[i] = check(PyObject_Vectorcall(st.environ_values[2], args, 1, nullptr)).release();
        }
        Ref data = check(PyObject_GetAttr(environ.get(), st.environ_data_name));
        if (PyDict_CheckExact(data.get())) st.environ_type = type.release();
    } catch (const PyError &) {
        PyErr_Clear();  // no shortcut: every lookup takes the general way
    }
}

}  // namespace vexil
