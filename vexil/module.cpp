// vexil: the settings text format (strict, ASCII-only JSON with a four-space
// indent) and coloured console output that honours NO_COLOR and FORCE_COLOR.
// This file holds the module's set-up; encoder.cpp writes settings text,
// decoder.cpp and parser.cpp read it and console.cpp prints.
//
// Built against the 3.12 limited API, so one binary serves every CPython from
// 3.12 on.

#include "vexil.hpp"

#include <cstdlib>
#include <utility>

namespace vexil {

Ref type_name(PyObject *obj) {
    return check(PyType_GetName(reinterpret_cast<PyTypeObject *>(Py_TYPE(obj))));
}

Ref describe(PyObject *obj) {
    Ref text = Ref::steal(PyObject_Repr(obj));
    if (text) return text;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    Ref name = type_name(obj);
    return check(PyUnicode_FromFormat("<%U object>", name.get()));
}

namespace {

PyMethodDef methods[] = {
    {"dumps", dumps, METH_O,
     "dumps($module, obj, /)\n--\n\n"
     "Return obj as settings text: JSON with a four-space indent, keys in\n"
     "dict order, non-ASCII characters escaped and one trailing newline.\n"
     "Raises TypeError for dict keys that are not str and ValueError for NaN\n"
     "or infinite floats."},
    {"loads", loads, METH_O,
     "loads($module, text, /)\n--\n\n"
     "Parse settings text as strict JSON and return the object.\n"
     "NaN, Infinity and numbers too large for a float are refused. Every\n"
     "parse error is a ValueError (json.JSONDecodeError) that names the line\n"
     "and column."},
    {"iprint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iprint)), METH_FASTCALL | METH_KEYWORDS,
     "iprint($module, /, message, foreground=None, background=None)\n--\n\n"
     "Write message and a newline to sys.stdout, coloured when colour is on.\n"
     "Colour is off when NO_COLOR is set, on when FORCE_COLOR is set, and\n"
     "otherwise on only when sys.stdout is a terminal. Colours are black, red,\n"
     "green, yellow, blue, magenta, cyan, white and their light_ forms.\n"
     "Returns message without colour codes."},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject *module) {
    State &st = state_of(module);
    try {
        Ref json = check(PyImport_ImportModule("json"));
        st.json_dumps = check(PyObject_GetAttrString(json.get(), "dumps")).release();
        st.decode_error = check(PyObject_GetAttrString(json.get(), "JSONDecodeError")).release();
        st.dumps_kwnames = check(Py_BuildValue("(sss)", "indent", "ensure_ascii", "allow_nan")).release();
        st.indent = check(PyLong_FromLong(4)).release();
        // loads reads text itself and builds json's scanners only when it
        // needs one (decoder.cpp), which keeps import short.
        st.json_decoder = check(PyObject_GetAttrString(json.get(), "JSONDecoder")).release();
        st.isascii_name = check(PyUnicode_InternFromString("isascii")).release();
        st.write_name = check(PyUnicode_InternFromString("write")).release();
        st.flush_name = check(PyUnicode_InternFromString("flush")).release();
        st.isatty_name = check(PyUnicode_InternFromString("isatty")).release();
        st.newline = check(PyUnicode_FromString("\n")).release();
        st.os = check(PyImport_ImportModule("os")).release();
        st.stdout_name = check(PyUnicode_InternFromString("stdout")).release();
        Ref sys = check(PyImport_ImportModule("sys"));
        PyObject *sys_dict = PyModule_GetDict(sys.get());  // borrowed
        // The namespace PySys_GetObject reads, unless sys.modules["sys"] was
        // replaced by a module of another namespace.
        if (PyDict_GetItemString(sys_dict, "modules") == PySys_GetObject("modules")) {
            st.sys_dict = Py_NewRef(sys_dict);
        }
        // From Python 3.13 json writes indented text with its C encoder when
        // it has one, which reads containers slightly differently (encoder.cpp).
        Ref encoder = check(PyImport_ImportModule("json.encoder"));
        Ref c_encoder = check(PyObject_GetAttrString(encoder.get(), "c_make_encoder"));
        st.json_c_writer = Py_Version >= 0x030D0000 && c_encoder.get() != Py_None;
        environ_prepare(st);
    } catch (const PyError &) {
        return -1;  // m_clear drops whatever was stored
    }
    return 0;
}

template <class F>
void each_field(State &st, F &&f) {
    for (PyObject **field : {&st.json_dumps, &st.decode_error, &st.dumps_kwnames, &st.indent, &st.json_decoder,
                             &st.scan_plain, &st.scan_checked, &st.isascii_name,
                             &st.write_name, &st.flush_name, &st.isatty_name, &st.newline, &st.os, &st.sys_dict, &st.stdout_name, &st.environ_type, &st.environ_name,
                             &st.environ_names[0], &st.environ_names[1], &st.environ_names[2],
                             &st.environ_names[3], &st.environ_values[0], &st.environ_values[1],
                             &st.environ_values[2], &st.environ_values[3], &st.environ_data_name,
                             &st.colour_keys[0], &st.colour_keys[1]})
        f(*field);
}

int traverse(PyObject *module, visitproc visit, void *arg) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    int status = 0;
    each_field(*st, [&](PyObject *field) {
        if (status == 0 && field != nullptr) status = visit(field, arg);
    });
    return status;
}

int clear(PyObject *module) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    each_field(*st, [](PyObject *&field) { Py_CLEAR(field); });
    std::free(std::exchange(st->scratch, nullptr));
    key_cache_free(*st);
    writer_room_free(*st);
    st->scratch_capacity = 0;
    return 0;
}

void free_module(void *module) { clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexil",
    "Settings text (strict ASCII JSON via the json module) and coloured console output.",
    sizeof(State),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace vexil

PyMODINIT_FUNC PyInit_vexil(void) { return PyModuleDef_Init(&vexil::module_def); }
