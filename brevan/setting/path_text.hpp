// The text of a Path as the fast paths hand it to the system: str(Path(item))
// without making or parsing a Path, its file-system bytes, and the text
// cached on a Path as str() caches it. Shared by read()'s, save()'s and
// clear()'s fast paths, which all start from the text of a path.
#pragma once

#include "doubt.hpp"
#include "guards.hpp"
#include "setting.hpp"

#include <cstddef>
#include <cstring>

namespace brevan {

// What the system calls get: the text of a path and its file-system bytes.
struct PathText {
    Ref text;           // str(Path(item)), an exact str
    const char *bytes;  // its UTF-8 form, kept alive by `text` or `encoded`
    Py_ssize_t size;
    Ref encoded;        // the bytes object, for text with surrogate escapes
};

// The file-system bytes of text with surrogates, which UTF-8 cannot give:
// the file-system codec's. False when it cannot encode them either.
[[gnu::cold]] bool encode_escaped_name(PathText &out);

// The file-system bytes of `out.text`; false for text the system cannot take
// (a NUL, a surrogate that does not stand for a byte). Inline, as the rest of
// this header: every fast path call takes this way.
inline bool encode_name(PathText &out) {
    out.bytes = PyUnicode_AsUTF8AndSize(out.text.get(), &out.size);
    if (out.bytes == nullptr && !encode_escaped_name(out)) return false;
    return std::memchr(out.bytes, '\0', static_cast<std::size_t>(out.size)) == nullptr;
}

// Whether `text` is already in the form pathlib gives it on POSIX: no empty
// or "." component after the root (one or two leading slashes), no trailing
// slash. "." alone is its own form.
inline bool pathlib_form(const char *text, Py_ssize_t size) noexcept {
    if (size == 0) return false;
    if (size == 1 && text[0] == '.') return true;
    Py_ssize_t i = 0;
    if (text[0] == '/') {
        i = (size >= 2 && text[1] == '/' && (size == 2 || text[2] != '/')) ? 2 : 1;
        if (i == size) return true;  // "/" or "//"
    }
    for (Py_ssize_t start = i; i <= size; ++i) {
        if (i < size && text[i] != '/') continue;
        const Py_ssize_t length = i - start;
        if (length == 0 || (length == 1 && text[start] == '.')) return false;
        start = i + 1;
    }
    return true;
}

// str(Path(item)) without parsing a new Path: the item's own text when it
// is an exact str already in pathlib's form, or the (cached) str() of an
// exact PosixPath, which a Path made from it shares. False for anything else.
// That Path(item) has this text is pathlib's doing: the steps that make a
// Path and its text are watched (watched_attributes.cpp).
inline bool path_text(PyObject *item, PathText &out) {
    if (PyUnicode_CheckExact(item)) {
        out.text = Ref::borrow(item);
        if (!encode_name(out)) return false;
        return pathlib_form(out.bytes, out.size);
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(item)) != posix_path_type()) return false;
    out.text = Ref::steal(PyObject_Str(item));
    if (!out.text) {
        drop_doubt();
        return false;
    }
    if (!PyUnicode_CheckExact(out.text.get())) return false;
    return encode_name(out);
}

// Leaves on `path` the text that str() would cache there, as the general
// path leaves it (open() and the message both take str(path)).
void keep_text(PyObject *path, PyObject *text);

}  // namespace brevan
