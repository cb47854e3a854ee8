// The JSONDecodeErrors loads raises when json's scanner refuses a text: json's
// own where it made one, and otherwise one made here that names where in
// the text the refusal is. Apart from loads.cpp because finding that place
// is a scan of its own over the text, run only on this cold path.

#include "decode_errors.hpp"

#include <cmath>
#include <memory>
#include <string>

namespace vexil {
namespace {

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

    // `i`, or the index just past the string literals that open there: the
    // scans below look only at what is outside them.
    Py_ssize_t skip_strings(Py_ssize_t i) const {
        while (at(i) == '"') {
            for (++i; i < size; ++i) {
                if (buf.get()[i] == '\\')
                    ++i;
                else if (buf.get()[i] == '"')
                    break;
            }
            i = i < size ? i + 1 : size;
        }
        return i;
    }
};

// What the scans below found: where, and what to call it.
struct Culprit {
    Py_ssize_t pos = -1;
    const char *what = nullptr;
};

// Whether the number text s[start:end] is a float that does not overflow.
bool finite_float(const Scan &s, Py_ssize_t start, Py_ssize_t end) {
    std::string token;
    for (Py_ssize_t i = start; i < end; ++i) token += static_cast<char>(s.at(i));
    double value = PyOS_string_to_double(token.c_str(), nullptr, nullptr);  // overflow gives +-HUGE_VAL
    if (value == -1.0 && PyErr_Occurred()) throw_error();
    return std::isfinite(value);
}

// json reads left to right and stops at the first problem, so everything in
// front of the token that made it fail is valid JSON. A plain ValueError comes
// from the parse_constant hook, from the parse_float hook refusing a float
// that overflows, or from int() refusing an integer with more than
// sys.get_int_max_str_digits() digits; the first such token outside a string
// literal is the one that failed.
Culprit find_bad_token(const Scan &s, long max_digits) {
    for (Py_ssize_t i = 0; (i = s.skip_strings(i)) < s.size;) {
        Py_UCS4 c = s.at(i);
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
        if (fraction)
            for (++i; Scan::digit(s.at(i));) ++i;
        Py_ssize_t e = i + ((s.at(i + 1) == '+' || s.at(i + 1) == '-') ? 2 : 1);
        bool exponent = (s.at(i) == 'e' || s.at(i) == 'E') && Scan::digit(s.at(e));
        if (exponent)
            for (i = e; Scan::digit(s.at(i));) ++i;
        if (!fraction && !exponent && max_digits > 0 && digits > max_digits)
            return {start, nullptr};  // keep int()'s own message
        if ((fraction || exponent) && digits > 0 && !finite_float(s, start, i)) return {start, kFloatOutOfRange};
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
    for (Py_ssize_t i = 0; (i = s.skip_strings(i)) < s.size;) {
        Py_UCS4 c = s.at(i);
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

}  // namespace

// Replaces the pending exception from json.loads with a JSONDecodeError that
// names a line and column, where json did not already raise one. Exceptions
// that are not about the text (MemoryError, KeyboardInterrupt, ...) pass
// through untouched, as does anything whose culprit cannot be found.
void reraise_with_position(State &st, PyObject *text) {
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

void raise_decode_error(State &st, const char *msg, PyObject *text, Py_ssize_t pos) {
    PyObject *err = PyObject_CallFunction(st.decode_error, "sOn", msg, text, pos);
    if (err != nullptr) PyErr_SetRaisedException(err);
    throw_error();
}

// The scanner's StopIteration carries the index where a value was expected.
// json raises its error `from None` in the StopIteration's handler: that is
// the error's (suppressed) context.
void raise_expecting_value(State &st, PyObject *text) {
    Ref stop = brevan::take_exception();
    Ref where = check(PyObject_GetAttrString(stop.get(), "value"));
    Py_ssize_t pos = PyLong_AsSsize_t(where.get());
    if (pos == -1 && PyErr_Occurred()) throw_error();
    Ref err = check(PyObject_CallFunction(st.decode_error, "sOn", "Expecting value", text, pos));
    PyException_SetContext(err.get(), stop.release());
    PyException_SetCause(err.get(), nullptr);  // and __suppress_context__
    PyErr_SetRaisedException(err.release());
    throw_error();
}

}  // namespace vexil
