// The text of a Path as the fast paths hand it to the system: str(Path(item))
// without making or parsing a Path, its file-system bytes, and the text
// cached on a Path as str() caches it. Shared by read()'s, save()'s and
// clear()'s fast paths, which all start from the text of a path.
#pragma once

#include "setting.hpp"

namespace brevan {

// What the system calls get: the text of a path and its file-system bytes.
struct PathText {
    Ref text;           // str(Path(item)), an exact str
    const char *bytes;  // its UTF-8 form, kept alive by `text` or `encoded`
    Py_ssize_t size;
    Ref encoded;        // the bytes object, for text with surrogate escapes
};

// The file-system bytes of `out.text`; false for text the system cannot take
// (a NUL, a surrogate that does not stand for a byte).
bool encode_name(PathText &out);

// str(Path(item)) without parsing a new Path: the item's own text when it
// is an exact str already in pathlib's form, or the (cached) str() of an
// exact PosixPath, which a Path made from it shares. False for anything else.
// That Path(item) has this text is pathlib's doing: the steps that make a
// Path and its text are watched (watched_attributes.cpp).
bool path_text(PyObject *item, PathText &out);

// Leaves on `path` the text that str() would cache there, as the general
// path leaves it (open() and the message both take str(path)).
void keep_text(PyObject *path, PyObject *text);

}  // namespace brevan
