// vexil: the settings text format (strict, ASCII-only JSON with a four-space
// indent) and coloured console output that honours NO_COLOR and FORCE_COLOR.
// This file holds the module's definition, set-up and clean-up; dumps.cpp
// writes settings text, loads.cpp and parser.cpp read it and console.cpp
// prints.
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

void raise_not_str(const char *what, PyObject *obj) {
    Ref name = type_name(obj);
    PyErr_Format(PyExc_TypeError, "%s must be str, not %U", what, name.get());
    throw_error();
}

namespace {

constexpr char dumps_doc[] =
    "dumps($module, obj, /)\n--\n\n"
    "Return obj as settings text: JSON with a four-space indent, keys in\n"
    "dict order, non-ASCII characters escaped and one trailing newline.\n"
    "Raises TypeError for dict keys that are not str and ValueError for NaN\n"
    "or infinite floats.";
constexpr char loads_doc[] =
    "loads($module, text, /)\n--\n\n"
    "Parse settings text as strict JSON and return the object.\n"
    "NaN, Infinity and numbers too large for a float are refused. Every\n"
    "parse error is a ValueError (json.JSONDecodeError) that names the line\n"
    "and column.";
constexpr char iprint_doc[] =
    "iprint($module, /, message, foreground=None, background=None)\n--\n\n"
    "Write message and a newline to sys.stdout, coloured when colour is on.\n"
    "Colour is off when NO_COLOR is set, on when FORCE_COLOR is set, and\n"
    "otherwise on only when sys.stdout is a terminal. Colours are black, red,\n"
    "green, yellow, blue, magenta, cyan, white and their light_ forms.\n"
    "Returns message without colour codes.";

PyMethodDef methods[] = {
    {.ml_name = "dumps", .ml_meth = dumps, .ml_flags = METH_O, .ml_doc = dumps_doc},
    {.ml_name = "loads", .ml_meth = loads, .ml_flags = METH_O, .ml_doc = loads_doc},
    {.ml_name = "iprint",
     .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iprint)),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = iprint_doc},
    {},
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
        // needs one (loads.cpp), which keeps import short.
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
        // it has one, which reads containers slightly differently (container_walk.hpp).
        Ref encoder = check(PyImport_ImportModule("json.encoder"));
        Ref c_encoder = check(PyObject_GetAttrString(encoder.get(), "c_make_encoder"));
        st.json_c_writer = Py_Version >= 0x030D0000 && c_encoder.get() != Py_None;
        environ_prepare(st);
    } catch (const PyError &) {
        return -1;  // m_clear drops whatever was stored
    } catch (...) {
        brevan::set_python_error("vexil");
        return -1;
    }
    return 0;
}

// Calls f on each object field of the state (VEXIL_STATE_OBJECTS).
template <class F>
void each_object(State &st, F &&f) {
#define VEXIL_ONE(name) f(st.name);
#define VEXIL_MANY(name, n) for (PyObject *&object : st.name) f(object);
    VEXIL_STATE_OBJECTS(VEXIL_ONE, VEXIL_MANY)
#undef VEXIL_ONE
#undef VEXIL_MANY
}

int traverse(PyObject *module, visitproc visit, void *arg) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    int status = 0;
    each_object(*st, [&](PyObject *object) {
        if (status == 0 && object != nullptr) status = visit(object, arg);
    });
    return status;
}

// The one clean-up path: a failed exec step, the module's clear and its free
// all come here.
int clear(PyObject *module) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    each_object(*st, [](PyObject *&object) { Py_CLEAR(object); });
    std::free(std::exchange(st->scratch, nullptr));
    key_cache_free(*st);
    writer_room_free(*st);
    st->scratch_capacity = 0;
    return 0;
}

void free_module(void *module) { clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void *>(exec)},
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vexil",
    .m_doc = "Settings text (strict ASCII JSON via the json module) and coloured console output.",
    .m_size = sizeof(State),
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = traverse,
    .m_clear = clear,
    .m_free = free_module,
};

}  // namespace
}  // namespace vexil

PyMODINIT_FUNC PyInit_vexil(void) { return PyModuleDef_Init(&vexil::module_def); }
