// The text of a Path for the fast paths' system calls: see path_text.hpp.
#include "path_text.hpp"

#include "doubt.hpp"
#include "guards.hpp"

#include <cstddef>
#include <cstring>

namespace brevan {
namespace {

StaticString s_probe("a//b");

// Whether `text` is already in the form pathlib gives it on POSIX: no empty
// or "." component after the root (one or two leading slashes), no trailing
// slash. "." alone is its own form.
bool pathlib_form(const char *text, Py_ssize_t size) noexcept {
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

// Whether a PosixPath keeps its text in the slot `_str`, which str() fills
// on first use and answers from afterwards. Checked once on two probes.
bool text_cache_known() {
    static enum { unknown, yes, no } status = unknown;
    if (status == unknown) {
        try {
            PyObject *posix_path = posix_path_type();
            if (posix_path == nullptr) {
                status = no;
                return false;
            }
            Ref probe = call(posix_path, s_probe.get());
            Ref text = check(PyObject_Str(probe.get()));
            Ref cached = check(PyObject_GetAttr(probe.get(), s_text_slot.get()));
            Ref primed = call(posix_path, s_probe.get());
            check(PyObject_SetAttr(primed.get(), s_text_slot.get(), s_probe.get()));
            Ref answer = check(PyObject_Str(primed.get()));
            if (PyUnicode_CompareWithASCIIString(text.get(), "a/b") == 0 && cached.get() == text.get() &&
                answer.get() == s_probe.get()) {
                status = yes;
            } else {
                status = no;
            }
        } catch (const PyError &) {
            drop_doubt();  // thrown on for an error of the call's own, asked again next time
            status = no;
        }
    }
    return status == yes;
}

}  // namespace

bool encode_name(PathText &out) {
    out.bytes = PyUnicode_AsUTF8AndSize(out.text.get(), &out.size);
    if (out.bytes == nullptr) {  // surrogates: the file-system codec's job
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
        out.encoded = Ref::steal(PyUnicode_EncodeFSDefault(out.text.get()));
        if (!out.encoded) {  // the general path raises it, from open()
            drop_doubt();
            return false;
        }
        out.bytes = PyBytes_AsString(out.encoded.get());
        out.size = PyBytes_Size(out.encoded.get());
    }
    return std::memchr(out.bytes, '\0', static_cast<std::size_t>(out.size)) == nullptr;
}

bool path_text(PyObject *item, PathText &out) {
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

void keep_text(PyObject *path, PyObject *text) {
    if (text_cache_known() && PyObject_SetAttr(path, s_text_slot.get(), text) < 0) drop_doubt();
}

}  // namespace brevan
