// dumps' fast writer: objects made only of the exact types dict, list,
// tuple, str, int, float, bool and None, nested a few levels, written with
// no Python code run. Apart from dumps.cpp, which decides when it runs and
// where it lives, because this is what it writes and how: its str table and
// its bounded recursion.
//
// It runs no Python code, so it is never entered again while it runs, and
// what it reads cannot change under it. It recurses on the C stack, at most
// kFastLevels containers deep, so a call needs a small, bounded stack
// whatever it is given; the writer itself, with its table of strs, lives on
// the heap.
#pragma once

#include "text_writer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace vexil {
// dumps.cpp's own (this header is its alone): with internal linkage the
// compiler treats the writer as that file's code, splitting off its cold
// paths and inlining as it would there.
namespace {

// Writes exact types into an ASCII buffer. Each writing function returns
// false when the object holds something the general writer must handle; the
// caller then drops the buffer. No Python code runs while writing, so the
// borrowed references stay valid. With its table of strs it is 16 KB, so it
// lives on the heap (see WriterLease, dumps.cpp).
class FastWriter : public TextWriter {
public:
    // Deeper containers go to the general writer, whose nesting is on the
    // heap: this bounds the C stack a call needs (docs/internals.md).
    static constexpr int kFastLevels = 32;
    static constexpr size_t kCopied = 48;  // longest text kept in the table, with ": "

    explicit FastWriter(State &st) : TextWriter(st), max_level_(std::min(kFastLevels, Py_GetRecursionLimit())) {}

    bool value(PyObject *obj, int level) {
        if (leaf(obj)) return true;
        if (PyDict_CheckExact(obj)) return dict(obj, level);
        if (PyList_CheckExact(obj)) return sequence(obj, true, level);
        if (PyTuple_CheckExact(obj)) return sequence(obj, false, level);
        return false;
    }

private:
    // An item of a container: leaves are written in the loop, not through
    // a call of the (recursive, so not inlined) value().
    [[gnu::always_inline]] bool item(PyObject *obj, int level) { return leaf(obj) || container(obj, level); }

    // The same test as value()'s after its leaves, written out in each: one
    // shared through an inlined helper costs the top-level call two
    // instructions (the compiler lays dumps' blocks out otherwise).
    [[gnu::noinline]] bool container(PyObject *obj, int level) {
        if (PyDict_CheckExact(obj)) return dict(obj, level);
        if (PyList_CheckExact(obj)) return sequence(obj, true, level);
        if (PyTuple_CheckExact(obj)) return sequence(obj, false, level);
        return false;
    }

    // Writes `obj` when it is an exact str, int, float (one json writes),
    // bool or None.
    [[gnu::always_inline]] bool leaf(PyObject *obj) {
        if (PyUnicode_CheckExact(obj)) return cached_string(obj), true;
        if (PyLong_CheckExact(obj)) return integer(obj);
        if (obj == Py_True) return out.put("true", 4), true;
        if (obj == Py_False) return out.put("false", 5), true;
        if (obj == Py_None) return out.put("null", 4), true;
        if (PyFloat_CheckExact(obj)) return real(obj);
        return false;
    }

    bool dict(PyObject *obj, int level) {
        if (level >= max_level_) return false;
        if (PyDict_Size(obj) == 0) return out.put("{}", 2), true;
        out.put("{", 1);
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        bool first = true;
        while (PyDict_Next(obj, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false;  // the general writer says why
            key_line(key, first, static_cast<size_t>(level + 1));
            first = false;
            if (!this->item(item, level + 1)) return false;
        }
        return closed(level, "}");
    }

    // The separator, `key` and ": ", as one reservation and three
    // fixed-size copies when the key is in the table (every ": " follows
    // the text there).
    [[gnu::always_inline]] void key_line(PyObject *key, bool first, size_t level) {
        const size_t i = slot_of(key);
        const StrSlot &slot = strings_[i];
        size_t skip = first ? 1 : 0;
        size_t n = 2 + 4 * level - skip;
        if (slot_strs_[i] != key || n > 32) {
            separator(first, level);
            cached_string(key);
            return out.put(": ", 2);
        }
        char *w = out.reserve(32 + kCopied);
        std::memcpy(w, kIndents.data() + skip, 32);
        w += n;
        std::memcpy(w, slot.text, kCopied);
        out.commit(w + slot.length + 2);
    }

    static size_t slot_of(PyObject *str) {
        return (reinterpret_cast<std::uintptr_t>(str) >> 4) % kSlots;
    }

    // A str, from the table of those met before in this call when it is
    // there. Settings repeat their keys in every section, and often values
    // too. Nothing is freed while the fast writer runs, so the same address
    // is the same str. The table keeps the text itself: a hit is one
    // fixed-size copy.
    [[gnu::always_inline]] void cached_string(PyObject *str) {
        const size_t i = slot_of(str);
        const StrSlot &slot = strings_[i];
        if (slot_strs_[i] != str) return new_string(str, i);
        char *w = out.reserve(kCopied);
        std::memcpy(w, slot.text, kCopied);
        out.commit(w + slot.length);
    }

    [[gnu::noinline]] void new_string(PyObject *str, size_t i) {
        StrSlot &slot = strings_[i];
        size_t start = out.size();
        string(str);
        size_t length = out.size() - start;
        if (length > kCopied - 2) return;
        // The buffer has room for kCopied bytes from `start`, some not written.
        std::memcpy(slot.text, out.reserve(kCopied) - length, kCopied);
        std::memcpy(slot.text + length, ": ", 2);
        slot_strs_[i] = str;
        slot.length = length;
    }

    bool sequence(PyObject *obj, bool list, int level) {
        if (level >= max_level_) return false;
        Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
        if (n < 0) throw_error();
        if (n == 0) return out.put("[]", 2), true;
        out.put("[", 1);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            if (item == nullptr) throw_error();
            separator(i == 0, static_cast<size_t>(level + 1));
            if (!this->item(item, level + 1)) return false;
        }
        return closed(level, "]");
    }

    // A container's end: the indent of its level and its closing `bracket`.
    [[gnu::always_inline]] bool closed(int level, const char *bracket) {
        separator(true, static_cast<size_t>(level));
        out.put(bracket, 1);
        return true;
    }

    int max_level_;  // containers nested deeper go to the general writer

    // The str each slot's text is of, apart from the texts, so that a call
    // clears 2 KB and not the whole 14 KB table (small objects are most calls).
    static constexpr size_t kSlots = 256;
    struct StrSlot {
        size_t length;
        char text[kCopied];
    };
    std::array<PyObject *, kSlots> slot_strs_{};
    std::array<StrSlot, kSlots> strings_;
};

}  // namespace
}  // namespace vexil
