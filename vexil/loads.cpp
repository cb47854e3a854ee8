// loads: strict JSON. The native reader (parser.cpp) takes the texts it can;
// the rest go to json's own scanner, built on first use and kept in the
// module state, with what JSONDecoder.decode adds done here (whitespace, BOM,
// "Expecting value", "Extra data"), and every error turned into a
// JSONDecodeError that names where in the text it is (decode_errors.cpp).

#include "decode_errors.hpp"
#include "parser.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cmath>
#include <cstdint>

namespace vexil {
namespace {

// The text's UTF-8 form when it is ASCII (then it is the str's own buffer,
// and byte offsets are character offsets), else nullptr. A str subclass
// could answer isascii() wrongly, so it takes the general path.
const char *ascii_bytes(State &st, PyObject *text, Py_ssize_t &size) {
    if (!PyUnicode_CheckExact(text)) return nullptr;
    Ref answer = check(PyObject_VectorcallMethod(st.isascii_name, &text, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (answer.get() != Py_True) return nullptr;
    const char *bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) throw_error();
    return bytes;
}

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Whether the digits ending at p[j] start a number: what comes before them
// (and a fraction) is a sign, a separator or white space. In a \u escape a
// digit follows 'u' or a hex digit.
bool number_digits(const char *p, Py_ssize_t j) {
    while (j >= 0 && (is_digit(p[j]) || p[j] == '.')) --j;
    if (j < 0) return true;
    switch (p[j]) {
    case ' ': case '\t': case '\r': case '\n': case '[': case ',': case ':': case '-': return true;
    default: return false;
    }
}

// Positions i in [start, start + 16) where p[i - 1] is a digit and p[i] is
// e or E, as bytes of 0xFF. SSE2 where the compiler has it (every x86-64),
// else a plain loop.
#if defined(__SSE2__)
__m128i exponent_marks(const char *p, Py_ssize_t start) {
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + start - 1));
    __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + start));
    __m128i offset = _mm_sub_epi8(prev, _mm_set1_epi8('0'));
    __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
    __m128i e = _mm_cmpeq_epi8(_mm_or_si128(cur, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'));
    return _mm_and_si128(digit, e);
}

// Bit k set: p[start + k - 1] is a digit and p[start + k] is e or E, for k
// in [0, 64). Four SSE2 blocks are tested together first, as most hold none.
uint64_t exponent_bits(const char *p, Py_ssize_t start) {
    __m128i m[4];
    for (int b = 0; b < 4; ++b) m[b] = exponent_marks(p, start + 16 * b);
    __m128i any = _mm_or_si128(_mm_or_si128(m[0], m[1]), _mm_or_si128(m[2], m[3]));
    if (_mm_movemask_epi8(any) == 0) return 0;
    uint64_t bits = 0;
    for (int b = 0; b < 4; ++b) {
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(m[b]));
        bits |= static_cast<uint64_t>(mask) << (16 * b);
    }
    return bits;
}
#else
uint64_t exponent_bits(const char *p, Py_ssize_t start) {
    uint64_t bits = 0;
    for (int k = 0; k < 64; ++k)
        if (is_digit(p[start + k - 1]) && (p[start + k] | 0x20) == 'e') bits |= uint64_t{1} << k;
    return bits;
}
#endif

// Whether an ASCII text could hold a float too large for a double: that
// takes an exponent (a number's digit followed by e or E) or at least 309
// digits in a row. Texts without either skip the checking parse_float.
bool could_overflow(const char *p, Py_ssize_t n) {
    Py_ssize_t i = 1;
    for (; i + 64 <= n; i += 64)
        for (uint64_t bits = exponent_bits(p, i); bits != 0; bits &= bits - 1)
            if (number_digits(p, i + std::countr_zero(bits) - 1)) return true;
    for (; i < n; ++i)
        if (is_digit(p[i - 1]) && (p[i] | 0x20) == 'e' && number_digits(p, i - 1)) return true;
    // Any run of `run` digits covers exactly one multiple of `run`.
    constexpr Py_ssize_t run = 309;
    for (Py_ssize_t k = 0; k < n; k += run) {
        if (!is_digit(p[k])) continue;
        Py_ssize_t lo = k, hi = k;
        while (lo > 0 && is_digit(p[lo - 1])) --lo;
        while (hi < n && is_digit(p[hi])) ++hi;
        if (hi - lo >= run) return true;
    }
    return false;
}

inline bool json_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

Py_ssize_t skip_space(PyObject *text, const char *bytes, Py_ssize_t size, Py_ssize_t i) {
    if (bytes != nullptr) {
        while (i < size && json_space(static_cast<unsigned char>(bytes[i]))) ++i;
        return i;
    }
    while (i < size && json_space(PyUnicode_ReadChar(text, i))) ++i;
    return i;
}

PyObject *reject_constant(PyObject *, PyObject *name) {
    PyErr_Format(PyExc_ValueError, "%S is not valid JSON", name);
    return nullptr;
}

// parse_float hook: float(text), refusing what overflows to an infinity.
// json hands it a well-formed ASCII number.
PyObject *check_float(PyObject *, PyObject *text) {
    return boundary([&] {
        const char *digits = PyUnicode_AsUTF8AndSize(text, nullptr);
        if (digits == nullptr) throw_error();
        double value = PyOS_string_to_double(digits, nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) throw_error();
        if (std::isinf(value)) {
            PyErr_SetString(PyExc_ValueError, kFloatOutOfRange);
            throw_error();
        }
        return check(PyFloat_FromDouble(value));
    });
}

// parse_constant hook: json calls it for NaN, Infinity and -Infinity.
PyMethodDef reject_constant_def = {"reject_constant", reject_constant, METH_O,
                                   "Refuse the non-standard constants NaN and Infinity."};
PyMethodDef check_float_def = {"check_float", check_float, METH_O, "float(text), refusing infinities."};

// scan_once of a json decoder built with the given hooks. The scanner takes
// (text, index) and returns (value, end), as JSONDecoder.raw_decode uses it.
Ref make_scanner(State &st, PyObject *reject, PyObject *parse_float) {
    Ref kwargs = check(PyDict_New());
    check(PyDict_SetItemString(kwargs.get(), "parse_constant", reject));
    if (parse_float) check(PyDict_SetItemString(kwargs.get(), "parse_float", parse_float));
    Ref empty = check(PyTuple_New(0));
    Ref decoder = check(PyObject_Call(st.json_decoder, empty.get(), kwargs.get()));
    return check(PyObject_GetAttrString(decoder.get(), "scan_once"));
}

[[gnu::cold]] void make_scanners(State &st) {
    Ref reject = check(PyCFunction_NewEx(&reject_constant_def, nullptr, nullptr));
    Ref check_float = check(PyCFunction_NewEx(&check_float_def, nullptr, nullptr));
    Ref plain = make_scanner(st, reject.get(), nullptr);
    Ref checked = make_scanner(st, reject.get(), check_float.get());
    if (st.scan_checked != nullptr) return;  // a loads run by JSONDecoder's code made them first
    st.scan_plain = plain.release();
    st.scan_checked = checked.release();
}

[[noreturn]] void raise_bom(State &st, PyObject *text) {
    raise_decode_error(st, "Unexpected UTF-8 BOM (decode using utf-8-sig)", text, 0);
}

// Whether json.loads sees a BOM in front of a str subclass: it asks
// s.startswith('\ufeff'), which the subclass may answer its own way.
bool subclass_starts_with_bom(PyObject *text) {
    Ref bom = check(PyUnicode_FromOrdinal(0xFEFF));
    Ref answer = check(PyObject_CallMethod(text, "startswith", "O", bom.get()));
    return check(PyObject_IsTrue(answer.get())) != 0;
}

// The text through json's scanner: the value, or json's error for it. For a
// str subclass every step is json.loads' own: the methods it calls
// (startswith, len) are the subclass's, the scanner reads the characters.
[[gnu::cold]] Ref json_loads(State &st, PyObject *text) {
    const bool exact = PyUnicode_CheckExact(text);
    if (!exact && subclass_starts_with_bom(text)) raise_bom(st, text);
    if (st.scan_checked == nullptr) make_scanners(st);
    Py_ssize_t size = 0;
    const char *bytes = ascii_bytes(st, text, size);
    if (bytes == nullptr) {
        size = PyUnicode_GetLength(text);
        if (size < 0) throw_error();
        if (exact && size > 0 && PyUnicode_ReadChar(text, 0) == 0xFEFF) raise_bom(st, text);
    }
    PyObject *scanner = bytes == nullptr || could_overflow(bytes, size) ? st.scan_checked : st.scan_plain;
    Ref start = check(PyLong_FromSsize_t(skip_space(text, bytes, size, 0)));
    PyObject *args[] = {text, start.get()};
    PyObject *result = PyObject_Vectorcall(scanner, args, 2, nullptr);
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) raise_expecting_value(st, text);
        reraise_with_position(st, text);
    }
    Ref pair = Ref::steal(result);
    Ref value = Ref::borrow(PyTuple_GetItem(pair.get(), 0));
    PyObject *end_obj = PyTuple_GetItem(pair.get(), 1);
    if (!value || end_obj == nullptr) throw_error();
    Py_ssize_t end = PyLong_AsSsize_t(end_obj);
    if (end == -1 && PyErr_Occurred()) throw_error();
    end = skip_space(text, bytes, size, end);
    const Py_ssize_t length = exact ? size : PyObject_Size(text);  // len(s)
    if (length < 0) throw_error();
    if (end != length) raise_decode_error(st, "Extra data", text, end);
    return value;
}

// The UTF-8 form of an exact str for the native reader, or nullptr: a str
// subclass keeps json's path, and so does a str that has no UTF-8 form
// (lone surrogates).
const char *utf8_of(PyObject *text, Py_ssize_t &size) {
    return PyUnicode_CheckExact(text) ? utf8_or_null(text, size) : nullptr;
}

// Until 3.14 the interpreter bounds nesting by counting C recursion levels:
// json.loads, a Python function called from Python, takes none, and its
// scanner nests as deep as the levels left; a call of loads, a builtin,
// took one. That level is given back while the text is read, so the native
// reader and json's scanner, which count as json's scanner does, stop at
// the depth json.loads stops at from the same caller. From 3.14 the bound
// is the C stack itself, and levels count for nothing.
class CallersLevel {
public:
    CallersLevel() : counted_(Py_Version < 0x030E0000) {
        if (counted_) Py_LeaveRecursiveCall();
    }
    CallersLevel(const CallersLevel &) = delete;
    CallersLevel &operator=(const CallersLevel &) = delete;
    // Cannot fail: it takes the level given back just before.
    ~CallersLevel() {
        if (counted_) (void)Py_EnterRecursiveCall("");
    }

private:
    bool counted_;
};

}  // namespace

PyObject *loads(PyObject *module, PyObject *text) {
    return boundary([&] {
        if (!PyUnicode_Check(text)) raise_not_str("loads() argument", text);
        State &st = state_of(module);
        CallersLevel level;
        Py_ssize_t size = 0;
        if (const char *bytes = utf8_of(text, size)) {
            if (Ref value = parse_json(st, bytes, size)) return value;
        }
        return json_loads(st, text);
    });
}

}  // namespace vexil
