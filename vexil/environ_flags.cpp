// Reading NO_COLOR and FORCE_COLOR for iprint. Apart from console.cpp
// because reading them without running Python code takes a guard of its own:
// the proof that os.environ is still the standard library's.
//
// The general way is os.environ.get(name), read at every call so that
// changes at run time are seen. It runs Python code (Mapping.get, then
// _Environ.__getitem__, which raises and catches a KeyError for an unset
// name): about a microsecond per name, a third of a coloured line's cost.
//
// os.environ.get(name) is: look `get` up through type(os.environ)'s
// __getattribute__ (the instance dict first for a plain function), call it;
// it calls type(os.environ).__getitem__, which reads self._data, calls
// self.encodekey(name), indexes _data and calls self.decodevalue(value).
// When every one of those objects is still the interpreter's own, as it was
// when this module was set up, the answer is whether the value stored under
// the encoded name is non-empty, and that dict is read directly. Checked at
// each call:
//   - os.environ's type is the one of set-up, and so is that type's
//     metaclass, whose __getattribute__ (what looking on the type runs) is
//     unchanged;
//   - on the type: __getattribute__ (object's own), get, __getitem__;
//   - on os.environ: no `get` in its own dict; encodekey, decodevalue and
//     encodevalue;
//   - the code of get, __getitem__, encodekey and decodevalue, told from
//     the functions' referents, not read from __code__ (which raises an
//     audit event that os.environ.get does not: function_code.hpp);
//   - _data is exactly a dict, and the value found is exactly of the type
//     encodevalue makes (bytes on POSIX), which decodevalue keeps empty or
//     non-empty.
// Anything else takes the general way for that name, which then runs what
// was changed and raises its own errors. An error on the way that is the
// call's own (MemoryError, KeyboardInterrupt) is raised as the general way
// would raise it.
#include "doubt.hpp"
#include "function_code.hpp"
#include "vexil.hpp"

namespace vexil {
namespace {

constexpr const char *kVariables[] = {"NO_COLOR", "FORCE_COLOR"};

// What the State slots hold (set up by environ_prepare):
//   environ_names[0] / environ_values[0]: names looked up on the type, and
//       what they gave: __getattribute__, get, __getitem__;
//   environ_names[1] / environ_values[1]: names looked up on os.environ, and
//       what they gave: encodekey, decodevalue, encodevalue;
//   environ_names[2] / environ_values[2]: (the function type, the code
//       type), and the code of get, __getitem__, encodekey, decodevalue;
//   environ_names[3] / environ_values[3]: "__getattribute__", and (the
//       type's metaclass, its __getattribute__, the type encodevalue makes).
constexpr const char *kTypeNames[] = {"__getattribute__", "get", "__getitem__"};
constexpr const char *kObjectNames[] = {"encodekey", "decodevalue", "encodevalue"};
enum { kTypeSlot = 0, kObjectSlot = 1, kCodeSlot = 2, kMetaSlot = 3 };

bool general_lookup(State &st, ColourVariable variable) {
    Ref environ = check(PyObject_GetAttrString(st.os, "environ"));
    Ref value = check(PyObject_CallMethod(environ.get(), "get", "s", kVariables[variable]));
    return check(PyObject_IsTrue(value.get())) != 0;
}

// What a look at os.environ or its type gave (a new reference), or an empty
// Ref when it raised a doubt; an error that is the call's own is thrown
// (doubt.hpp).
Ref looked_at(PyObject *result) {
    if (result == nullptr) brevan::drop_doubt();
    return Ref::steal(result);
}

// Whether `owner.name` is still `expected`; a doubt there is false. The
// reference is dropped by hand: held in a Ref (looked_at) it cost each
// colour check two instructions.
bool unchanged(PyObject *owner, PyObject *name, PyObject *expected) {
    PyObject *now = PyObject_GetAttr(owner, name);
    if (now == nullptr) {
        brevan::drop_doubt();
        return false;
    }
    Py_DECREF(now);
    return now == expected;
}

// Whether each `owner.<names[i]>` is still `values[i]` (tuples).
bool all_unchanged(PyObject *owner, PyObject *names, PyObject *values) {
    for (Py_ssize_t i = 0; i < PyTuple_Size(names); ++i) {
        if (!unchanged(owner, PyTuple_GetItem(names, i), PyTuple_GetItem(values, i))) return false;
    }
    return true;
}

// The functions whose code is checked, in the order of the recorded codes.
PyObject *checked_function(State &st, Py_ssize_t i) noexcept {
    return i < 2 ? PyTuple_GetItem(st.environ_values[kTypeSlot], i + 1)
                 : PyTuple_GetItem(st.environ_values[kObjectSlot], i - 2);
}

// The code `function` runs (borrowed), or null: told from its referents.
PyObject *code_of(State &st, PyObject *function) noexcept {
    PyObject *types = st.environ_names[kCodeSlot];
    return brevan::function_code(function, reinterpret_cast<PyTypeObject *>(PyTuple_GetItem(types, 0)),
                                 reinterpret_cast<PyTypeObject *>(PyTuple_GetItem(types, 1)));
}

// os.environ's _data dict when everything os.environ.get relies on is as
// at set-up, else an empty Ref (and no exception). An error that is the
// call's own is thrown.
Ref untouched_data(State &st) {
    if (st.environ_type == nullptr) return Ref();
    Ref environ = looked_at(PyObject_GetAttr(st.os, st.environ_name));
    if (!environ || reinterpret_cast<PyObject *>(Py_TYPE(environ.get())) != st.environ_type) return Ref();
    PyObject *meta = st.environ_values[kMetaSlot];
    if (reinterpret_cast<PyObject *>(Py_TYPE(st.environ_type)) != PyTuple_GetItem(meta, 0) ||
        !unchanged(PyTuple_GetItem(meta, 0), st.environ_names[kMetaSlot], PyTuple_GetItem(meta, 1)) ||
        !all_unchanged(st.environ_type, st.environ_names[kTypeSlot], st.environ_values[kTypeSlot]) ||
        !all_unchanged(environ.get(), st.environ_names[kObjectSlot], st.environ_values[kObjectSlot])) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < 4; ++i) {
        if (code_of(st, checked_function(st, i)) != PyTuple_GetItem(st.environ_values[kCodeSlot], i)) return Ref();
    }
    // os.environ.get may also be set on the object itself.
    Ref own = looked_at(PyObject_GenericGetDict(environ.get(), nullptr));
    if (!own || !PyDict_CheckExact(own.get())) return Ref();
    const int shadowed = PyDict_Contains(own.get(), PyTuple_GetItem(st.environ_names[kTypeSlot], 1));
    if (shadowed != 0) {
        if (shadowed < 0) brevan::drop_doubt();
        return Ref();
    }
    Ref data = looked_at(PyObject_GetAttr(environ.get(), st.environ_data_name));
    if (!data || !PyDict_CheckExact(data.get())) return Ref();
    return data;
}

// The value under `variable` in `data`: 1 non-empty, 0 empty or missing,
// -1 when it is not what encodevalue makes (decodevalue may fail on it or
// treat it otherwise).
int stored_value(State &st, PyObject *data, ColourVariable variable) {
    PyObject *value = PyDict_GetItemWithError(data, st.colour_keys[variable]);  // borrowed
    if (value == nullptr) {
        if (!PyErr_Occurred()) return 0;
        brevan::drop_doubt();
        return -1;
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(value)) != PyTuple_GetItem(st.environ_values[kMetaSlot], 2)) {
        return -1;
    }
    const Py_ssize_t size = PyObject_Size(value);
    if (size < 0) {
        brevan::drop_doubt();
        return -1;
    }
    return size > 0;
}

// A tuple of the interned `names`.
template <std::size_t N>
Ref interned(const char *const (&names)[N]) {
    Ref tuple = check(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i) {
        PyObject *name = check(PyUnicode_InternFromString(names[i])).release();
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), name);  // steals
    }
    return tuple;
}

// A tuple of `owner.<name>` for each of `names`.
Ref values_of(PyObject *owner, PyObject *names) {
    const Py_ssize_t n = PyTuple_Size(names);
    Ref tuple = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SetItem(tuple.get(), i, check(PyObject_GetAttr(owner, PyTuple_GetItem(names, i))).release());
    }
    return tuple;
}

}  // namespace

ColourChoice colour_choice(State &st) {
    Ref data = untouched_data(st);
    // In the order iprint asks: NO_COLOR turns colour off before FORCE_COLOR
    // is looked at.
    for (ColourVariable variable : {kNoColor, kForceColor}) {
        const int stored = data ? stored_value(st, data.get(), variable) : -1;
        bool set = stored > 0;
        if (stored < 0) {
            data = Ref();  // the general way ran Python code: what was checked may differ now
            set = general_lookup(st, variable);
        }
        if (set) return variable == kNoColor ? ColourChoice::off : ColourChoice::on;
    }
    return ColourChoice::terminal;
}

void environ_prepare(State &st) {
    try {
        Ref environ = check(PyObject_GetAttrString(st.os, "environ"));
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(environ.get()));
        PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(type));

        Ref type_names = interned(kTypeNames);
        Ref type_values = values_of(type, type_names.get());
        Ref object_names = interned(kObjectNames);
        Ref object_values = values_of(environ.get(), object_names.get());
        Ref getattribute = Ref::borrow(PyTuple_GetItem(type_names.get(), 0));
        // Instances look their attributes up the ordinary way.
        Ref ordinary = check(PyObject_GetAttr(reinterpret_cast<PyObject *>(&PyBaseObject_Type), getattribute.get()));
        if (PyTuple_GetItem(type_values.get(), 0) != ordinary.get()) return;

        st.environ_names[kTypeSlot] = type_names.release();
        st.environ_values[kTypeSlot] = type_values.release();
        st.environ_names[kObjectSlot] = object_names.release();
        st.environ_values[kObjectSlot] = object_values.release();

        // json has imported types (through re and enum) by now.
        Ref types = check(PyImport_ImportModule("types"));
        Ref function_type = check(PyObject_GetAttrString(types.get(), "FunctionType"));
        Ref code_type = check(PyObject_GetAttrString(types.get(), "CodeType"));
        if (!PyType_Check(function_type.get()) || !PyType_Check(code_type.get())) return;
        st.environ_names[kCodeSlot] = check(PyTuple_Pack(2, function_type.get(), code_type.get())).release();
        Ref codes = check(PyTuple_New(4));
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyObject *code = code_of(st, checked_function(st, i));
            if (code == nullptr) return;  // not a plain function: no shortcut
            PyTuple_SetItem(codes.get(), i, Py_NewRef(code));
        }
        st.environ_values[kCodeSlot] = codes.release();

        // The type of what encodevalue makes, from the value it gives "".
        Ref empty = check(PyUnicode_FromString(""));
        PyObject *args[] = {empty.get()};
        Ref encoded = check(PyObject_Vectorcall(PyTuple_GetItem(st.environ_values[kObjectSlot], 2), args, 1, nullptr));
        Ref meta_getattribute = check(PyObject_GetAttr(meta, getattribute.get()));
        st.environ_names[kMetaSlot] = getattribute.release();
        st.environ_values[kMetaSlot] = check(PyTuple_Pack(3, meta, meta_getattribute.get(),
                                                          reinterpret_cast<PyObject *>(Py_TYPE(encoded.get())))).release();

        st.environ_data_name = check(PyUnicode_InternFromString("_data")).release();
        st.environ_name = check(PyUnicode_InternFromString("environ")).release();
        PyObject *encodekey = PyTuple_GetItem(st.environ_values[kObjectSlot], 0);
        for (int i = 0; i < 2; ++i) {
            Ref name = check(PyUnicode_FromString(kVariables[i]));
            PyObject *key_args[] = {name.get()};
            st.colour_keys[i] = check(PyObject_Vectorcall(encodekey, key_args, 1, nullptr)).release();
        }
        Ref data = check(PyObject_GetAttr(environ.get(), st.environ_data_name));
        if (PyDict_CheckExact(data.get())) st.environ_type = Ref::borrow(type).release();
    } catch (const PyError &) {
        brevan::drop_doubt();  // no shortcut: every lookup takes the general way
    }
}

}  // namespace vexil
