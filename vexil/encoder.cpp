// dumps: settings text, byte for byte what
// json.dumps(obj, indent=4, ensure_ascii=True, allow_nan=False) writes, plus
// one newline, with dict keys required to be str.
//
// Objects made only of the exact types dict, list, tuple, str, int, float,
// bool and None are written here. Anything else (a subclass, another type, a
// float json refuses, an int too long to print, deep nesting, a cycle) goes
// whole to json.dumps, which gives its own text and its own errors. Either
// way every dict key is checked before json could quietly turn an int, float,
// bool or None key into a string that would not read back as the same key.

#include "vexil.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vexil {
namespace {

[[noreturn, gnu::cold]] void raise_bad_key(PyObject *key) {
    Ref held = Ref::borrow(key);
    Ref name = type_name(held.get());
    Ref shown = describe(held.get());
    PyErr_Format(PyExc_TypeError, "keys must be str, not %U (key %U)", name.get(), shown.get());
    throw_error();
}

// A growable byte buffer written through raw pointers: reserve() room, write,
// commit() the end. Its memory is the module's scratch buffer when that is
// free (a nested call makes its own), and goes back there afterwards unless
// it grew large: a settings text then costs no page faults of a fresh
// allocation on every call.
class Buffer {
public:
    explicit Buffer(State &st) : st_(st) {
        data_ = std::exchange(st.scratch, nullptr);
        cap_ = data_ == nullptr ? 0 : std::exchange(st.scratch_capacity, 0);
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (st_.scratch == nullptr && cap_ <= kKeep) {
            st_.scratch = data_;
            st_.scratch_capacity = cap_;
        } else {
            std::free(data_);
        }
    }

    char *reserve(size_t n) {
        if (cap_ - size_ < n) grow(n);
        return data_ + size_;
    }
    void commit(char *end) { size_ = static_cast<size_t>(end - data_); }
    void put(const char *s, size_t n) { commit(copy(reserve(n), s, n)); }
    const char *data() const { return data_; }
    size_t size() const { return size_; }

    static char *copy(char *w, const char *s, size_t n) {
        std::memcpy(w, s, n);
        return w + n;
    }

private:
    [[gnu::cold]] void grow(size_t n) {
        size_t cap = std::max({2 * cap_, size_ + n, size_t{4096}});
        void *data = std::realloc(data_, cap);
        if (data == nullptr) throw std::bad_alloc();
        data_ = static_cast<char *>(data);
        cap_ = cap;
    }

    static constexpr size_t kKeep = size_t{1} << 20;  // bytes kept between calls at most
    State &st_;
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// Writes exact types into an ASCII buffer. Each writing function returns
// false when the object holds something only json may write; the caller then
// drops the buffer. No Python code runs while writing, so the borrowed
// references stay valid.
class Writer {
public:
    explicit Writer(State &st) : out(st) {}
    Buffer out;

    bool value(PyObject *obj, int level) {
        if (PyUnicode_CheckExact(obj)) return string(obj), true;
        if (PyDict_CheckExact(obj)) return dict(obj, level);
        if (PyLong_CheckExact(obj)) return integer(obj);
        if (obj == Py_True) return out.put("true", 4), true;
        if (obj == Py_False) return out.put("false", 5), true;
        if (obj == Py_None) return out.put("null", 4), true;
        if (PyFloat_CheckExact(obj)) return real(obj);
        if (PyList_CheckExact(obj)) return sequence(obj, true, level);
        if (PyTuple_CheckExact(obj)) return sequence(obj, false, level);
        return false;
    }

private:
    // Settings nest a few levels. Deeper objects, and cycles, which would
    // nest forever, go to json, so the C stack stays small whatever comes.
    static constexpr int max_level = 200;

    // ",\n" and the indent of a level, as one copy: `first` leaves out the comma.
    void separator(bool first, int level) {
        static constexpr auto text = [] {
            std::array<char, 2 + 4 * max_level> t{};
            t.fill(' ');
            t[0] = ',';
            t[1] = '\n';
            return t;
        }();
        size_t skip = first ? 1 : 0;
        out.put(text.data() + skip, 2 + 4 * static_cast<size_t>(level) - skip);
    }

    bool dict(PyObject *obj, int level) {
        if (PyDict_Size(obj) == 0) return out.put("{}", 2), true;
        if (level >= max_level) return false;
        out.put("{", 1);
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        bool first = true;
        while (PyDict_Next(obj, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) {
                if (PyUnicode_Check(key)) return false;
                raise_bad_key(key);
            }
            separator(first, level + 1);
            first = false;
            string(key);
            out.put(": ", 2);
            if (!value(item, level + 1)) return false;
        }
        separator(true, level);
        out.put("}", 1);
        return true;
    }

    bool sequence(PyObject *obj, bool list, int level) {
        Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
        if (n < 0) throw_error();
        if (n == 0) return out.put("[]", 2), true;
        if (level >= max_level) return false;
        out.put("[", 1);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            if (item == nullptr) throw_error();
            separator(i == 0, level + 1);
            if (!value(item, level + 1)) return false;
        }
        separator(true, level);
        out.put("]", 1);
        return true;
    }

    bool integer(PyObject *obj) {
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (small == -1 && PyErr_Occurred()) throw_error();
            char *w = out.reserve(24);
            out.commit(std::to_chars(w, w + 24, small).ptr);
            return true;
        }
        Ref text = Ref::steal(PyObject_Str(obj));
        if (!text) {
            // Over sys.get_int_max_str_digits(): json raises that itself.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
            PyErr_Clear();
            return false;
        }
        Py_ssize_t size = 0;
        const char *digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (digits == nullptr) throw_error();
        out.put(digits, static_cast<size_t>(size));
        return true;
    }

    // float.__repr__, as json writes finite floats; json refuses the others.
    // The shortest digits that read back as the same double come from
    // std::to_chars; the layout is repr's: positional from 1e-4 up to below
    // 1e16 (with ".0" when there is no fraction), else d.ddde+XX.
    bool real(PyObject *obj) {
        double v = PyFloat_AsDouble(obj);
        if (!std::isfinite(v)) return false;
        char sci[32];
        auto written = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
        const char *s = sci;
        char *w = out.reserve(32);  // at most 17 digits, 5 zeros, sign, point, "e-324"
        if (*s == '-') *w++ = *s++;
        char digits[20];
        int count = 0;
        for (; *s != 'e'; ++s)
            if (*s != '.') digits[count++] = *s;
        int exponent = 0;
        std::from_chars(s + (s[1] == '+' ? 2 : 1), written, exponent);
        int point = exponent + 1;  // digits before the decimal point
        auto n = [](int k) { return static_cast<size_t>(k); };
        if (point <= -4 || point > 16) {
            *w++ = digits[0];
            if (count > 1) {
                *w++ = '.';
                w = Buffer::copy(w, digits + 1, n(count - 1));
            }
            *w++ = 'e';
            *w++ = exponent < 0 ? '-' : '+';
            int magnitude = exponent < 0 ? -exponent : exponent;
            if (magnitude < 10) *w++ = '0';
            w = std::to_chars(w, w + 3, magnitude).ptr;
        } else if (point <= 0) {
            w = Buffer::copy(w, "0.000", n(2 - point));
            w = Buffer::copy(w, digits, n(count));
        } else if (point < count) {
            w = Buffer::copy(w, digits, n(point));
            *w++ = '.';
            w = Buffer::copy(w, digits + point, n(count - point));
        } else {
            w = Buffer::copy(w, digits, n(count));
            for (int k = count; k < point; ++k) *w++ = '0';
            w = Buffer::copy(w, ".0", 2);
        }
        out.commit(w);
        return true;
    }

    static char *hex4(char *w, unsigned unit) {
        static constexpr char digits[] = "0123456789abcdef";
        *w++ = '\\';
        *w++ = 'u';
        for (int shift = 12; shift >= 0; shift -= 4) *w++ = digits[(unit >> shift) & 15];
        return w;
    }

    // One code point that is not printable ASCII, or is a quote or backslash.
    static char *escape(char *w, Py_UCS4 c) {
        char short_form = 0;
        switch (c) {
        case '"': short_form = '"'; break;
        case '\\': short_form = '\\'; break;
        case '\n': short_form = 'n'; break;
        case '\r': short_form = 'r'; break;
        case '\t': short_form = 't'; break;
        case '\b': short_form = 'b'; break;
        case '\f': short_form = 'f'; break;
        default: break;
        }
        if (short_form) {
            *w++ = '\\';
            *w++ = short_form;
            return w;
        }
        if (c < 0x10000) return hex4(w, c);
        c -= 0x10000;  // a surrogate pair
        w = hex4(w, 0xD800 | (c >> 10));
        return hex4(w, 0xDC00 | (c & 0x3FF));
    }

    static bool plain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

    // Bytes p[0..16) that need escaping, as bits.
    static unsigned special16(const char *p) {
#if defined(__SSE2__)
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Signed: bytes from 0x80 count as negative, so below 0x20 too.
        __m128i bad = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
        return static_cast<unsigned>(_mm_movemask_epi8(bad));
#else
        unsigned bits = 0;
        for (int k = 0; k < 16; ++k)
            if (!plain(static_cast<unsigned char>(p[k]))) bits |= 1u << k;
        return bits;
#endif
    }

    void string(PyObject *obj) {
        Py_ssize_t size = 0;
        const char *p = PyUnicode_AsUTF8AndSize(obj, &size);
        if (p == nullptr) return string_with_surrogates(obj);
        // Each byte becomes at most 6 characters (a control character);
        // 16 more let whole blocks be copied.
        char *w = out.reserve(6 * static_cast<size_t>(size) + 18);
        *w++ = '"';
        Py_ssize_t i = 0;
        while (i < size) {
            if (size - i >= 16) {
                unsigned bits = special16(p + i);
                std::memcpy(w, p + i, 16);
                int run = bits ? std::countr_zero(bits) : 16;
                w += run;
                i += run;
                if (run == 16) continue;
            } else if (plain(static_cast<unsigned char>(p[i]))) {
                *w++ = p[i++];
                continue;
            }
            // Decode one UTF-8 sequence; the str made it, so it is well formed.
            auto byte = [&](Py_ssize_t k) { return static_cast<Py_UCS4>(static_cast<unsigned char>(p[k])); };
            Py_UCS4 c = byte(i);
            int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
            if (extra) c &= 0x3Fu >> extra;
            for (int k = 1; k <= extra; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
            w = escape(w, c);
            i += 1 + extra;
        }
        *w++ = '"';
        out.commit(w);
    }

    // Lone surrogates have no UTF-8 form: read the code points instead.
    [[gnu::cold]] void string_with_surrogates(PyObject *obj) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
        std::unique_ptr<Py_UCS4, void (*)(void *)> chars(PyUnicode_AsUCS4Copy(obj), PyMem_Free);
        if (!chars) throw_error();
        Py_ssize_t size = PyUnicode_GetLength(obj);
        char *w = out.reserve(12 * static_cast<size_t>(size) + 2);
        *w++ = '"';
        for (Py_ssize_t i = 0; i < size; ++i) {
            Py_UCS4 c = chars.get()[i];
            if (c < 0x80 && plain(static_cast<unsigned char>(c)))
                *w++ = static_cast<char>(c);
            else
                w = escape(w, c);
        }
        *w++ = '"';
        out.commit(w);
    }
};

// A copy of the object's containers as exact dicts and lists, made of what
// json reads from each: a dict subclass through its items(), a list or tuple
// subclass through iteration. The keys are checked on the copy, and json
// writes the copy, so both see the same items, each read once. A container
// met again inside itself maps to its copy, so json reports the cycle.
// Nesting depth is left to json (it raises RecursionError); the copy is made
// with a heap stack, not C recursion.
class Copier {
public:
    explicit Copier(bool json_c_writer) : c_writer_(json_c_writer) {}

    Ref copy(PyObject *root) {
        Ref top = adopt(root);
        while (!stack_.empty()) {
            Frame &f = stack_.back();
            if (f.next == PyList_Size(f.entries.get())) {
                active_.erase(f.original.get());
                stack_.pop_back();
                continue;
            }
            PyObject *entry = PyList_GetItem(f.entries.get(), f.next++);
            if (entry == nullptr) throw_error();
            Ref into = f.copy;  // `f` dangles once adopt() pushes
            if (f.is_dict) {
                PyObject *key = PyTuple_GetItem(entry, 0);
                PyObject *item = PyTuple_GetItem(entry, 1);
                if (key == nullptr || item == nullptr) throw_error();
                if (!PyUnicode_Check(key)) raise_bad_key(key);
                Ref held_key = Ref::borrow(key);
                Ref child = adopt(item);
                check(PyDict_SetItem(into.get(), held_key.get(), child.get()));
            } else {
                Ref child = adopt(entry);
                check(PyList_Append(into.get(), child.get()));
            }
        }
        return top;
    }

private:
    struct Frame {
        Ref original;  // held, so its id stays unique while it is active
        Ref copy;
        Ref entries;   // (key, value) tuples for a dict, items for a sequence
        Py_ssize_t next = 0;
        bool is_dict = false;
    };

    // What to put in the copy for `obj`: the object itself, or the copy of a
    // container (new, or the one being made when `obj` contains itself).
    Ref adopt(PyObject *obj) {
        bool is_dict = PyDict_Check(obj);
        if (!is_dict && !PyList_Check(obj) && !PyTuple_Check(obj)) return Ref::borrow(obj);
        auto found = active_.find(obj);
        if (found != active_.end()) return Ref::borrow(found->second);
        Frame f{.original = Ref::borrow(obj),
                .copy = is_dict ? check(PyDict_New()) : check(PyList_New(0)),
                .entries = is_dict ? dict_items(obj) : sequence_items(obj),
                .next = 0,
                .is_dict = is_dict};
        Ref copy = f.copy;
        stack_.push_back(std::move(f));
        active_.emplace(obj, copy.get());
        return copy;
    }

    // The items json reads from a dict. json's Python writer asks the
    // object's truth value first and unpacks any pair; its C writer looks at
    // the stored size and wants 2-tuples.
    Ref dict_items(PyObject *obj) const {
        if (PyDict_CheckExact(obj)) return check(PyDict_Items(obj));
        bool c_writer = c_writer_;
        bool empty = c_writer ? PyDict_Size(obj) == 0 : !check(PyObject_IsTrue(obj));
        if (empty) return check(PyList_New(0));
        Ref items = check(PyObject_CallMethod(obj, "items", nullptr));
        Ref list = check(PySequence_List(items.get()));
        Py_ssize_t n = PyList_Size(list.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyList_GetItem(list.get(), i);
            if (c_writer) {
                if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    throw_error();
                }
                continue;
            }
            Ref pair = check(PySequence_Tuple(item));
            Py_ssize_t got = PyTuple_Size(pair.get());
            if (got > 2) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            if (got < 2) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
            if (got != 2) throw_error();
            check(PyList_SetItem(list.get(), i, pair.release()));
        }
        return list;
    }

    // The items json reads from a list or tuple. json's Python writer asks
    // the truth value of a subclass first.
    Ref sequence_items(PyObject *obj) const {
        bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
        if (!exact && !c_writer_ && !check(PyObject_IsTrue(obj))) return check(PyList_New(0));
        return check(PySequence_List(obj));
    }

    bool c_writer_;
    std::vector<Frame> stack_;
    std::unordered_map<PyObject *, PyObject *> active_;  // original -> its copy
};

}  // namespace

PyObject *dumps(PyObject *module, PyObject *obj) {
    return boundary([&] {
        State &st = state_of(module);
        Writer writer(st);
        if (writer.value(obj, 0)) {
            writer.out.put("\n", 1);
            return check(PyUnicode_FromStringAndSize(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size())));
        }
        Ref copy = Copier(st.json_c_writer).copy(obj);
        PyObject *args[] = {copy.get(), st.indent, Py_True, Py_False};
        Ref text = check(PyObject_Vectorcall(st.json_dumps, args, 1, st.dumps_kwnames));
        Ref newline = check(PyUnicode_FromString("\n"));
        return check(PyUnicode_Concat(text.get(), newline.get()));
    });
}

}  // namespace vexil
