// iprint: one console line on sys.stdout, coloured when colour is on. Colour
// honours NO_COLOR and FORCE_COLOR (read by environ_flags.cpp), then whether
// stdout is a terminal. This file holds the call: its arguments, the colour
// codes and the writing of the line.

#include "vexil.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace vexil {
namespace {

constexpr const char *colour_names[] = {
    "black",       "red",       "green",       "yellow",       "blue",       "magenta",
    "cyan",        "white",     "light_black", "light_red",    "light_green", "light_yellow",
    "light_blue",  "light_magenta", "light_cyan", "light_white",
};

// The index of the str `text` in `names`, or -1. Its UTF-8 form is read once
// (an ASCII str holds it already) and compared with each name by length and
// bytes; text that has none (a lone surrogate) matches no name.
template <std::size_t N>
int name_index(PyObject *text, const char *const (&names)[N]) {
    Py_ssize_t size;
    const char *bytes = utf8_or_null(text, size);
    if (bytes == nullptr) return -1;
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t length = std::strlen(names[i]);
        if (static_cast<std::size_t>(size) == length && std::memcmp(bytes, names[i], length) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The SGR code of a colour (30..37 and 90..97 as foreground; background adds
// 10), or 0 for None. Anything else is a ValueError naming the value.
int colour_code(PyObject *colour, int base) {
    if (colour == Py_None) return 0;
    if (PyUnicode_Check(colour)) {
        const int i = name_index(colour, colour_names);
        if (i >= 0) return base + (i < 8 ? 30 + i : 90 + i - 8);
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

bool use_colour(State &st, PyObject *stream) {
    const ColourChoice choice = colour_choice(st);
    if (choice != ColourChoice::terminal) return choice == ColourChoice::on;
    Ref isatty = optional_attr(stream, st.isatty_name);
    if (!isatty) return false;
    Ref answer = check(PyObject_CallNoArgs(isatty.get()));
    return check(PyObject_IsTrue(answer.get())) != 0;
}

// PyObject_CallMethod's error for an attribute that cannot be called.
[[gnu::cold]] void not_callable(PyObject *attribute) {
    Ref name = interpreter_type_name(Py_TYPE(attribute));
    PyErr_Format(PyExc_TypeError, "attribute of type '%.200U' is not callable", name.get());
    throw_error();
}

// stream.write(line), with the errors of PyObject_CallMethod (a write that
// is not callable says "attribute of type ..."), but no name string or
// argument tuple made for each line.
void write_line(State &st, PyObject *stream, PyObject *line) {
    Ref write = check(PyObject_GetAttr(stream, st.write_name));
    if (!PyCallable_Check(write.get())) not_callable(write.get());
    PyObject *args[] = {line};
    Ref written = check(PyObject_Vectorcall(write.get(), args, 1, nullptr));
}

// sys.stdout (borrowed), or null when sys has none.
PyObject *standard_output(State &st) {
    if (st.sys_dict != nullptr) {
        PyObject *stream = PyDict_GetItemWithError(st.sys_dict, st.stdout_name);  // borrowed
        if (stream != nullptr || !PyErr_Occurred()) return stream;
        PyErr_Clear();  // PySys_GetObject deals with that
    }
    return PySys_GetObject("stdout");
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
        const int found = name_index(key, names);
        const size_t slot = found < 0 ? N : static_cast<size_t>(found);
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

}  // namespace

PyObject *iprint(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary([&] {
        static constexpr const char *names[] = {"message", "foreground", "background"};
        PyObject *argv[3] = {nullptr, nullptr, nullptr};
        parse_args("iprint", names, 1, args, nargs, kwnames, argv);
        PyObject *message = argv[0];
        if (!PyUnicode_Check(message)) raise_not_str("iprint() message", message);
        // Both colours are checked before anything is written.
        int fg = colour_code(argv[1] ? argv[1] : Py_None, 0);
        int bg = colour_code(argv[2] ? argv[2] : Py_None, 10);

        Ref result = Ref::borrow(message);
        State &st = state_of(module);
        Ref stream = Ref::borrow(standard_output(st));
        if (!stream || stream.get() == Py_None) return result;

        Ref line;
        if ((fg || bg) && use_colour(st, stream.get())) {
            char prefix[16] = "";
            int used = fg ? std::snprintf(prefix, sizeof prefix, "\x1b[%dm", fg) : 0;
            if (bg) std::snprintf(prefix + used, sizeof prefix - static_cast<size_t>(used), "\x1b[%dm", bg);
            line = check(PyUnicode_FromFormat("%s%U\x1b[0m\n", prefix, message));
        } else {
            // An exact str, as the format above makes: the text of a str
            // subclass is taken, never its methods.
            line = check(PyUnicode_Concat(message, st.newline));
        }
        write_line(st, stream.get(), line.get());
        if (Ref flush = optional_attr(stream.get(), st.flush_name)) {
            check(PyObject_CallNoArgs(flush.get()));
        }
        return result;
    });
}

}  // namespace vexil
