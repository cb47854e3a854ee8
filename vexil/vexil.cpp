// vexil: the settings text format (strict, ASCII-only JSON with a four-space
// indent, read and written by the standard library's json module) and
// coloured console output that honours NO_COLOR and FORCE_COLOR.
//
// Built against the 3.12 limited API, so one binary serves every CPython from
// 3.12 on.
//
// References and errors follow the rules of common/ref.hpp, shared with
// brevan.setting: `Ref` owns, a raw `PyObject *` borrows, and a failed API
// call throws `PyError`, which the function boundary turns into NULL.

#include "ref.hpp"

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

namespace {

using brevan::check;
using brevan::PyError;
using brevan::Ref;
using brevan::throw_error;

// Runs `body` and converts C++ failures into a NULL return with the Python
// exception set. Every exported function goes through here.
template <class F>
PyObject *boundary(F &&body) noexcept {
    try {
        return body().release();
    } catch (const PyError &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

// Objects looked up once when the module is executed.
struct State {
    PyObject *json_dumps;
    PyObject *json_loads;
    PyObject *decode_error;    // json.JSONDecodeError
    PyObject *dumps_kwnames;   // ("indent", "ensure_ascii", "allow_nan")
    PyObject *loads_kwnames;   // ("parse_constant",)
    PyObject *reject_constant; // parse_constant hook that refuses NaN/Infinity
    PyObject *os;
};

State &state_of(PyObject *module) { return *static_cast<State *>(PyModule_GetState(module)); }

// The type name of `obj` as a new str.
Ref type_name(PyObject *obj) {
    return check(PyType_GetName(reinterpret_cast<PyTypeObject *>(Py_TYPE(obj))));
}

// repr(obj) for an error message. An object whose repr fails is shown by its
// type name instead, so the error that names it keeps its own type and text.
Ref describe(PyObject *obj) {
    Ref text = Ref::steal(PyObject_Repr(obj));
    if (text) return text;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    Ref name = type_name(obj);
    return check(PyUnicode_FromFormat("<%U object>", name.get()));
}

// ---------------------------------------------------------------- dumps

// json.dumps quietly turns int, float, bool and None keys into strings, which
// would not round-trip, so every dict key is checked before json sees the
// object. `active` holds the containers being walked: a cycle is left for
// json to report as "Circular reference detected".
class KeyChecker {
public:
    void walk(PyObject *obj) {
        bool is_dict = PyDict_Check(obj);
        if (!is_dict && !PyList_Check(obj) && !PyTuple_Check(obj)) return;
        if (!active_.insert(obj).second) return;
        if (Py_EnterRecursiveCall(" while checking settings keys")) {
            active_.erase(obj);
            throw_error();
        }
        try {
            if (is_dict)
                walk_dict(obj);
            else
                walk_sequence(obj);
        } catch (...) {
            Py_LeaveRecursiveCall();
            active_.erase(obj);
            throw;
        }
        Py_LeaveRecursiveCall();
        active_.erase(obj);
    }

private:
    // The borrowed references below stay valid: nothing in the walk runs
    // Python code that could mutate the containers (only the repr of a bad
    // key, which holds its own reference to it and ends the walk).
    void walk_dict(PyObject *dict) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                Ref held = Ref::borrow(key);
                Ref name = type_name(held.get());
                Ref shown = describe(held.get());
                PyErr_Format(PyExc_TypeError, "keys must be str, not %U (key %U)", name.get(), shown.get());
                throw_error();
            }
            walk(value);
        }
    }

    void walk_sequence(PyObject *seq) {
        bool is_list = PyList_Check(seq);
        Py_ssize_t n = is_list ? PyList_Size(seq) : PyTuple_Size(seq);
        if (n < 0) throw_error();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
            if (item == nullptr) throw_error();
            walk(item);
        }
    }

    std::unordered_set<PyObject *> active_;
};

PyObject *vexil_dumps(PyObject *module, PyObject *obj) {
    return boundary([&] {
        KeyChecker{}.walk(obj);
        State &st = state_of(module);
        Ref indent = check(PyLong_FromLong(4));
        PyObject *args[] = {obj, indent.get(), Py_True, Py_False};
        Ref text = check(PyObject_Vectorcall(st.json_dumps, args, 1, st.dumps_kwnames));
        Ref newline = check(PyUnicode_FromString("\n"));
        return check(PyUnicode_Concat(text.get(), newline.get()));
    });
}

// ---------------------------------------------------------------- loads

// The text as code points, so positions match the ones json reports.
struct Ucs4Free {
    void operator()(Py_UCS4 *p) const noexcept { PyMem_Free(p); }
};

struct Scan {
    std::unique_ptr<Py_UCS4, Ucs4Free> buf;
    Py_ssize_t size = 0;

    explicit Scan(PyObject *text) {
        size = PyUnicode_GetLength(text);
        if (size < 0) throw_error();
        buf.reset(PyUnicode_AsUCS4Copy(text));
        if (!buf) throw_error();
    }
    Py_UCS4 at(Py_ssize_t i) const { return i < size ? buf.get()[i] : 0; }
    static bool digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

    // Index just past the string literal that opens at `i`.
    Py_ssize_t skip_string(Py_ssize_t i) const {
        for (++i; i < size; ++i) {
            if (buf.get()[i] == '\\')
                ++i;
            else if (buf.get()[i] == '"')
                return i + 1;
        }
        return size;
    }
};

// What the scans below found: where, and what to call it.
struct Culprit {
    Py_ssize_t pos = -1;
    const char *what = nullptr;
};

// json reads left to right and stops at the first problem, so everything in
// front of the token that made it fail is valid JSON. A plain ValueError comes
// either from the parse_constant hook or from int() refusing an integer with
// more than sys.get_int_max_str_digits() digits; the first such token outside
// a string literal is the one that failed.
Culprit find_bad_token(const Scan &s, long max_digits) {
    for (Py_ssize_t i = 0; i < s.size;) {
        Py_UCS4 c = s.at(i);
        if (c == '"') {
            i = s.skip_string(i);
            continue;
        }
        if (c == 'N') return {i, "NaN is not valid JSON"};
        if (c == 'I') return {i, "Infinity is not valid JSON"};
        if (c != '-' && !Scan::digit(c)) {
            ++i;
            continue;
        }
        Py_ssize_t start = i;
        if (c == '-' && s.at(++i) == 'I') return {start, "-Infinity is not valid JSON"};
        Py_ssize_t first = i;
        if (s.at(i) == '0')
            ++i;
        else
            while (Scan::digit(s.at(i))) ++i;
        Py_ssize_t digits = i - first;
        bool fraction = s.at(i) == '.' && Scan::digit(s.at(i + 1));
        Py_ssize_t e = i + ((s.at(i + 1) == '+' || s.at(i + 1) == '-') ? 2 : 1);
        bool exponent = (s.at(i) == 'e' || s.at(i) == 'E') && Scan::digit(s.at(e));
        if (!fraction && !exponent && max_digits > 0 && digits > max_digits)
            return {start, nullptr};  // keep int()'s own message
        while (Scan::digit(s.at(i)) || s.at(i) == '.' || s.at(i) == 'e' || s.at(i) == 'E' ||
               s.at(i) == '+' || s.at(i) == '-')
            ++i;
    }
    return {};
}

// Where a RecursionError is reported: the first opening bracket at the deepest
// nesting level of the text. The exact depth at which the interpreter gave up
// depends on how deep the caller's stack already was, so this points at the
// heart of the nesting rather than at a guessed limit.
Culprit find_deepest_bracket(const Scan &s) {
    Culprit found;
    long depth = 0;
    long deepest = 0;
    for (Py_ssize_t i = 0; i < s.size;) {
        Py_UCS4 c = s.at(i);
        if (c == '"') {
            i = s.skip_string(i);
            continue;
        }
        if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                found = {i, "Nesting too deep"};
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
        ++i;
    }
    return found;
}

long int_max_str_digits() {
    PyObject *get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get == nullptr) return 0;
    Ref limit = check(PyObject_CallNoArgs(get));
    long n = PyLong_AsLong(limit.get());
    if (n == -1 && PyErr_Occurred()) throw_error();
    return n;
}

// Replaces the pending exception from json.loads with a JSONDecodeError that
// names a line and column, where json did not already raise one. Exceptions
// that are not about the text (MemoryError, KeyboardInterrupt, ...) pass
// through untouched, as does anything whose culprit cannot be found.
[[noreturn]] void reraise_with_position(State &st, PyObject *text) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (check(PyObject_IsInstance(exc.get(), st.decode_error))) {
        PyErr_SetRaisedException(exc.release());
        throw_error();
    }
    bool recursion = check(PyObject_IsInstance(exc.get(), PyExc_RecursionError));
    bool value = !recursion && check(PyObject_IsInstance(exc.get(), PyExc_ValueError));
    Culprit culprit;
    if (recursion || value) {
        Scan s(text);
        culprit = recursion ? find_deepest_bracket(s) : find_bad_token(s, int_max_str_digits());
    }
    if (culprit.pos < 0) {
        PyErr_SetRaisedException(exc.release());
        throw_error();
    }
    Ref msg = culprit.what ? check(PyUnicode_FromString(culprit.what)) : check(PyObject_Str(exc.get()));
    Ref err = check(PyObject_CallFunction(st.decode_error, "OOn", msg.get(), text, culprit.pos));
    // The hook's own ValueError adds nothing; the others are worth keeping.
    bool from_hook = value && culprit.what != nullptr;
    PyException_SetCause(err.get(), from_hook ? nullptr : exc.release());
    PyErr_SetRaisedException(err.release());
    throw_error();
}

PyObject *vexil_loads(PyObject *module, PyObject *text) {
    return boundary([&] {
        if (!PyUnicode_Check(text)) {
            Ref name = type_name(text);
            PyErr_Format(PyExc_TypeError, "loads() argument must be str, not %U", name.get());
            throw_error();
        }
        State &st = state_of(module);
        PyObject *args[] = {text, st.reject_constant};
        PyObject *result = PyObject_Vectorcall(st.json_loads, args, 1, st.loads_kwnames);
        if (result == nullptr) reraise_with_position(st, text);
        return Ref::steal(result);
    });
}

// parse_constant hook: json calls it for NaN, Infinity and -Infinity.
PyObject *reject_constant(PyObject *, PyObject *name) {
    PyErr_Format(PyExc_ValueError, "%S is not valid JSON", name);
    return nullptr;
}

PyMethodDef reject_constant_def = {"reject_constant", reject_constant, METH_O,
                                   "Refuse the non-standard constants NaN and Infinity."};

// ---------------------------------------------------------------- iprint

constexpr const char *colour_names[] = {
    "black",       "red",       "green",       "yellow",       "blue",       "magenta",
    "cyan",        "white",     "light_black", "light_red",    "light_green", "light_yellow",
    "light_blue",  "light_magenta", "light_cyan", "light_white",
};

// The SGR code of a colour (30..37 and 90..97 as foreground; background adds
// 10), or 0 for None. Anything else is a ValueError naming the value.
int colour_code(PyObject *colour, int base) {
    if (colour == Py_None) return 0;
    if (PyUnicode_Check(colour)) {
        for (int i = 0; i < 16; ++i)
            if (PyUnicode_CompareWithASCIIString(colour, colour_names[i]) == 0)
                return base + (i < 8 ? 30 + i : 90 + i - 8);
    }
    std::string expected;
    for (const char *name : colour_names) {
        if (!expected.empty()) expected += ", ";
        expected += name;
    }
    Ref shown = describe(colour);
    PyErr_Format(PyExc_ValueError, "unknown colour %U (expected one of %s)", shown.get(), expected.c_str());
    throw_error();
}

// os.environ[name] is set and not empty. Read on every call so changes to the
// environment at run time are seen.
bool env_flag(State &st, const char *name) {
    Ref environ = check(PyObject_GetAttrString(st.os, "environ"));
    Ref value = check(PyObject_CallMethod(environ.get(), "get", "s", name));
    return check(PyObject_IsTrue(value.get())) != 0;
}

bool use_colour(State &st, PyObject *stream) {
    if (env_flag(st, "NO_COLOR")) return false;
    if (env_flag(st, "FORCE_COLOR")) return true;
    Ref isatty = Ref::steal(PyObject_GetAttrString(stream, "isatty"));
    if (!isatty) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return false;
    }
    Ref answer = check(PyObject_CallNoArgs(isatty.get()));
    return check(PyObject_IsTrue(answer.get())) != 0;
}

// Sorts FASTCALL arguments into `out` by parameter name. The limited API has
// no argument-clinic parser, and this function only needs the simple case.
template <size_t N>
void parse_args(const char *fname, const char *const (&names)[N], size_t required, PyObject *const *args,
                Py_ssize_t nargs, PyObject *kwnames, PyObject *(&out)[N]) {
    if (static_cast<size_t>(nargs) > N) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", fname, N, nargs);
        throw_error();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GetItem(kwnames, k);
        if (key == nullptr) throw_error();
        if (!PyUnicode_Check(key)) {  // possible only from C callers
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
            throw_error();
        }
        size_t slot = N;
        for (size_t j = 0; j < N; ++j)
            if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) slot = j;
        if (slot == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", fname, key);
            throw_error();
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[slot]);
            throw_error();
        }
        out[slot] = args[nargs + k];
    }
    for (size_t j = 0; j < required; ++j) {
        if (out[j] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, names[j]);
            throw_error();
        }
    }
}

PyObject *vexil_iprint(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary([&] {
        static constexpr const char *names[] = {"message", "foreground", "background"};
        PyObject *argv[3] = {nullptr, nullptr, nullptr};
        parse_args("iprint", names, 1, args, nargs, kwnames, argv);
        PyObject *message = argv[0];
        if (!PyUnicode_Check(message)) {
            Ref name = type_name(message);
            PyErr_Format(PyExc_TypeError, "iprint() message must be str, not %U", name.get());
            throw_error();
        }
        // Both colours are checked before anything is written.
        int fg = colour_code(argv[1] ? argv[1] : Py_None, 0);
        int bg = colour_code(argv[2] ? argv[2] : Py_None, 10);

        Ref result = Ref::borrow(message);
        Ref stream = Ref::borrow(PySys_GetObject("stdout"));
        if (!stream || stream.get() == Py_None) return result;

        Ref line;
        if ((fg || bg) && use_colour(state_of(module), stream.get())) {
            char prefix[16] = "";
            int used = fg ? std::snprintf(prefix, sizeof prefix, "\x1b[%dm", fg) : 0;
            if (bg) std::snprintf(prefix + used, sizeof prefix - static_cast<size_t>(used), "\x1b[%dm", bg);
            line = check(PyUnicode_FromFormat("%s%U\x1b[0m\n", prefix, message));
        } else {
            line = check(PyUnicode_FromFormat("%U\n", message));
        }
        Ref written = check(PyObject_CallMethod(stream.get(), "write", "O", line.get()));
        Ref flush = Ref::steal(PyObject_GetAttrString(stream.get(), "flush"));
        if (!flush) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
        } else {
            check(PyObject_CallNoArgs(flush.get()));
        }
        return result;
    });
}

// ---------------------------------------------------------------- module

PyMethodDef vexil_methods[] = {
    {"dumps", vexil_dumps, METH_O,
     "dumps($module, obj, /)\n--\n\n"
     "Return obj as settings text: JSON with a four-space indent, keys in\n"
     "dict order, non-ASCII characters escaped and one trailing newline.\n"
     "Raises TypeError for dict keys that are not str and ValueError for NaN\n"
     "or infinite floats."},
    {"loads", vexil_loads, METH_O,
     "loads($module, text, /)\n--\n\n"
     "Parse settings text as strict JSON and return the object.\n"
     "NaN and Infinity are refused. Every parse error is a ValueError\n"
     "(json.JSONDecodeError) that names the line and column."},
    {"iprint", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vexil_iprint)),
     METH_FASTCALL | METH_KEYWORDS,
     "iprint($module, /, message, foreground=None, background=None)\n--\n\n"
     "Write message and a newline to sys.stdout, coloured when colour is on.\n"
     "Colour is off when NO_COLOR is set, on when FORCE_COLOR is set, and\n"
     "otherwise on only when sys.stdout is a terminal. Colours are black, red,\n"
     "green, yellow, blue, magenta, cyan, white and their light_ forms.\n"
     "Returns message without colour codes."},
    {nullptr, nullptr, 0, nullptr},
};

int vexil_exec(PyObject *module) {
    State &st = state_of(module);
    try {
        Ref json = check(PyImport_ImportModule("json"));
        st.json_dumps = check(PyObject_GetAttrString(json.get(), "dumps")).release();
        st.json_loads = check(PyObject_GetAttrString(json.get(), "loads")).release();
        st.decode_error = check(PyObject_GetAttrString(json.get(), "JSONDecodeError")).release();
        st.dumps_kwnames = check(Py_BuildValue("(sss)", "indent", "ensure_ascii", "allow_nan")).release();
        st.loads_kwnames = check(Py_BuildValue("(s)", "parse_constant")).release();
        st.reject_constant = check(PyCFunction_NewEx(&reject_constant_def, nullptr, nullptr)).release();
        st.os = check(PyImport_ImportModule("os")).release();
    } catch (const PyError &) {
        return -1;  // m_clear drops whatever was stored
    }
    return 0;
}

int vexil_traverse(PyObject *module, visitproc visit, void *arg) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    Py_VISIT(st->json_dumps);
    Py_VISIT(st->json_loads);
    Py_VISIT(st->decode_error);
    Py_VISIT(st->dumps_kwnames);
    Py_VISIT(st->loads_kwnames);
    Py_VISIT(st->reject_constant);
    Py_VISIT(st->os);
    return 0;
}

int vexil_clear(PyObject *module) {
    State *st = static_cast<State *>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    Py_CLEAR(st->json_dumps);
    Py_CLEAR(st->json_loads);
    Py_CLEAR(st->decode_error);
    Py_CLEAR(st->dumps_kwnames);
    Py_CLEAR(st->loads_kwnames);
    Py_CLEAR(st->reject_constant);
    Py_CLEAR(st->os);
    return 0;
}

void vexil_free(void *module) { vexil_clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot vexil_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(vexil_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef vexil_module = {
    PyModuleDef_HEAD_INIT,
    "vexil",
    "Settings text (strict ASCII JSON via the json module) and coloured console output.",
    sizeof(State),
    vexil_methods,
    vexil_slots,
    vexil_traverse,
    vexil_clear,
    vexil_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_vexil(void) { return PyModuleDef_Init(&vexil_module); }
