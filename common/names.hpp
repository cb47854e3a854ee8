// Names, for both modules: strs made once and kept, a str's UTF-8 form, an
// attribute that may be missing, and the names of types as messages show
// them: small helpers each file would otherwise write again, with the same
// edge cases to get right.
#pragma once

#include "ref.hpp"

namespace brevan {

// A str made from `text` on first use and kept for the life of the process,
// by `Make`: interned (StaticString), or not (StaticText).
template <PyObject *(*Make)(const char *)>
class MadeOnceStr {
public:
    explicit constexpr MadeOnceStr(const char *text) noexcept : text_(text) {}
    PyObject *get() {
        if (obj_ == nullptr) {
            obj_ = Make(text_);
            if (obj_ == nullptr) throw_error();
        }
        return obj_;
    }
    const char *text() const noexcept { return text_; }

private:
    const char *text_;
    PyObject *obj_ = nullptr;
};

// Interned: for names looked up again and again (the type attribute cache
// and dict lookups compare an interned key by identity first).
using StaticString = MadeOnceStr<PyUnicode_InternFromString>;
// Not interned: for text used once at import (a lookup key, a path segment),
// where interning would cost a hash of the text twice and a search of the
// interpreter's interned strings.
using StaticText = MadeOnceStr<PyUnicode_FromString>;

// obj.<name>, or an empty Ref when it has none (AttributeError); any other
// error is thrown.
inline Ref optional_attr(PyObject *obj, PyObject *name) {
    PyObject *value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return Ref::steal(value);
}

// A str asked for its UTF-8 form had none (lone surrogates): that error is
// cleared; any other (memory) is thrown.
[[gnu::cold]] inline void drop_no_utf8() {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();
}

// The UTF-8 form of the str `text` (its own buffer), or null when it has
// none (drop_no_utf8).
[[gnu::always_inline]] inline const char *utf8_or_null(PyObject *text, Py_ssize_t &size) {
    const char *bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) drop_no_utf8();
    return bytes;
}

// A type's __module__, when it is a str other than "builtins": the prefix
// messages put before the type's name. Empty otherwise.
inline Ref type_module_prefix(PyTypeObject *type) {
    Ref module = check(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__module__"));
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
        return Ref();
    }
    return module;
}

// "module.QualName", or "QualName" for builtins: how a type is named in a
// message about a value of the wrong type.
inline Ref qualified_type_name(PyTypeObject *type) {
    Ref qualname = check(PyType_GetQualName(type));
    Ref module = type_module_prefix(type);
    if (!module) return qualname;
    return check(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

// The type's tp_name, which the limited API does not give, as the
// interpreter's own messages show it: a class made in Python holds its
// __name__ there; a static type "module.name", or the bare name for builtins
// (its __module__ and __name__ are cut from tp_name).
inline Ref interpreter_type_name(PyTypeObject *type) {
    Ref name = check(PyType_GetName(type));
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return name;
    Ref module = type_module_prefix(type);
    if (!module) return name;
    return check(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}

}  // namespace brevan
