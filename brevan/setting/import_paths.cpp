// The import-time paths: `tjs` and the home directory of `defaults`, by the
// general path (Path.cwd(), Path.home() twice and three joins: nine Path
// constructions) or, beside it, by a shortcut with two. Kept apart from the
// rest of the exec step because the shortcut's checks are long.
//
// The result is the one the general path builds: `Path(cwd, "tolvek.json")`
// holds the same raw segments as `Path.cwd() / "tolvek.json"`, and so does
// `Path(home, "tolvek.json")` when the home text is already in pathlib's
// form (absolute, no empty or "." component, no trailing slash), the only
// case taken here. Everything the general path would call and this one skips
// must be the standard library's own, checked by identity: every definition
// of the methods the general path reaches, in every class of Path's MRO, is
// a function of pathlib's own namespaces (or a slot), os.getcwd and os.fspath
// are posix's, os.path is posixpath and its functions are its own. A patched
// or replaced piece, any other home text, or an Exception from getcwd or
// expanduser (the general path then raises it again, from pathlib's own
// frames), refuses the shortcut; what ran until then (the two standard calls
// above) has no effect anyone can see.
#include "setting.hpp"

#include <utility>

namespace brevan {
namespace {

// Used at import alone, once or twice: plain strings, not interned (see
// StaticText).
StaticString s_cwd("cwd");
StaticText s_pathlib_local("pathlib._local"), s_pathlib_abc("pathlib._abc"), s_os_name("os"),
    s_posix("posix"), s_posixpath("posixpath"), s_getcwd("getcwd"), s_fspath("fspath"),
    s_expanduser("expanduser"), s_join("join"), s_splitroot("splitroot"), s_path_module("path"),
    s_parser("parser"), s_flavour("_flavour"), s_func("__func__"), s_fget("fget"), s_tilde("~"),
    s_classmethod("classmethod"), s_staticmethod("staticmethod"), s_slash_desktop("/Desktop/home");
// Looked up on each method checked: interned, so that the type attribute
// cache serves them.
StaticString s_globals("__globals__"), s_dunder_dict("__dict__");

// Every method of Path the general path may reach, with the versions whose
// pathlib defines it (only those are looked for).
struct PathMethod {
    const char *name;
    unsigned long since, until;  // Py_Version bounds: since <= version < until
};
constexpr unsigned long k313 = 0x030D0000, kAny = 0xFFFFFFFF;
constexpr PathMethod kPathMethods[] = {
    {"__new__", 0, kAny}, {"__init__", 0, kAny}, {"cwd", 0, kAny}, {"home", 0, kAny},
    {"absolute", 0, kAny}, {"is_absolute", 0, kAny}, {"expanduser", 0, kAny},
    {"__truediv__", 0, kAny}, {"joinpath", 0, kAny}, {"with_segments", 0, kAny},
    {"__str__", 0, kAny}, {"_from_parsed_parts", 0, kAny}, {"_from_parsed_string", k313, kAny},
    {"_format_parsed_parts", 0, kAny}, {"_parse_path", 0, kAny}, {"_load_parts", 0, k313},
    {"drive", 0, kAny}, {"root", 0, kAny}, {"_tail", 0, kAny}, {"_raw_path", k313, kAny},
};

// What sys.modules holds under `name` (borrowed through `keep`), or null
// when it holds nothing there. Only identities are compared, so the entry is
// read as it is, without the import machinery's wait for a module still
// being initialised.
template <class Name>
PyObject *module_entry(Name &name, Ref &keep) {
    PyObject *entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());  // borrowed
    if (entry == nullptr && PyErr_Occurred()) throw_error();
    keep = Ref::borrow(entry);
    return entry;
}

// The types whose instances wrap a function in a class namespace, looked up
// once (a deleted name matches nothing, and what it wrapped then fails the
// check).
struct Wrappers {
    Ref classmethod, staticmethod;
};

// The function behind a class attribute: a classmethod's or staticmethod's
// function, a property's getter, or the attribute itself.
Ref function_of(PyObject *found, const Wrappers &wrappers) {
    auto *type = reinterpret_cast<PyObject *>(Py_TYPE(found));
    if (type == reinterpret_cast<PyObject *>(&PyProperty_Type)) return getattr(found, s_fget);
    if (type == wrappers.classmethod.get() || type == wrappers.staticmethod.get()) return getattr(found, s_func);
    return Ref::borrow(found);
}

// Whether `function` runs in one of `namespaces` (its globals are one of
// those dicts). Builtins have no globals: no.
bool runs_in(PyObject *function, PyObject *const *namespaces, std::size_t count) {
    Ref globals = optional_attr(function, s_globals.get());
    if (!globals) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (globals.get() == namespaces[i]) return true;
    }
    return false;
}

// Whether posixpath's `name` is its own: a function of posixpath, or a
// builtin it took from posix (splitroot is posix's from 3.13).
bool posixpath_own(PyObject *posixpath, PyObject *posix, StaticText &name) {
    Ref found = getattr(posixpath, name);
    PyObject *namespaces[] = {PyModule_GetDict(posixpath)};
    if (runs_in(found.get(), namespaces, 1)) return true;
    if (!PyCFunction_Check(found.get())) return false;
    Ref builtin_name = getattr(found.get(), s_dunder_name);
    return optional_attr(posix, builtin_name.get()).get() == found.get();
}

// Whether every definition of the watched methods in the classes of
// `path_type` (object aside) runs in pathlib's namespaces: all of them,
// since an __init__ reaches the next one through super().
bool path_methods_own(PyObject *path_type, PyObject *builtins, PyObject *const *namespaces,
                      std::size_t count) {
    PyObject *names[sizeof kPathMethods / sizeof kPathMethods[0]] = {};
    Ref owned_names[sizeof kPathMethods / sizeof kPathMethods[0]];
    const Wrappers wrappers{optional_attr(builtins, s_classmethod.get()), optional_attr(builtins, s_staticmethod.get())};
    Ref mro = getattr(path_type, s_mro);
    if (!PyTuple_Check(mro.get())) return false;
    // The last class of every MRO is object, which is left out.
    for (Py_ssize_t c = 0, n = PyTuple_Size(mro.get()) - 1; c < n; ++c) {
        PyObject *cls = PyTuple_GetItem(mro.get(), c);  // borrowed
        Ref own = getattr(cls, s_dunder_dict);
        for (std::size_t i = 0; i < sizeof kPathMethods / sizeof kPathMethods[0]; ++i) {
            const PathMethod &method = kPathMethods[i];
            if (Py_Version < method.since || Py_Version >= method.until) continue;
            if (names[i] == nullptr) {
                owned_names[i] = check(PyUnicode_FromString(method.name));
                names[i] = owned_names[i].get();
            }
            if (check(PySequence_Contains(own.get(), names[i])) == 0) continue;
            Ref found = check(PyObject_GetItem(own.get(), names[i]));
            // A slot of the class (3.13's _raw_path) runs no code.
            if (Py_TYPE(found.get()) == &PyMemberDescr_Type) continue;
            Ref function = function_of(found.get(), wrappers);
            if (!runs_in(function.get(), namespaces, count)) return false;
        }
    }
    return true;
}

// Whether the general path's work would run only the standard library's
// own code: see the top of the file.
bool standard_pieces(PyObject *path_type, Ref &getcwd, Ref &expanduser) {
    if (Py_TYPE(path_type) != &PyType_Type) return false;  // no metaclass __call__
    Ref keep[6];
    PyObject *pathlib = module_entry(s_pathlib, keep[0]);
    PyObject *os = module_entry(s_os_name, keep[1]);
    PyObject *posix = module_entry(s_posix, keep[2]);
    PyObject *posixpath = module_entry(s_posixpath, keep[3]);
    for (PyObject *module : {pathlib, os, posix, posixpath}) {
        if (module == nullptr || !PyModule_Check(module)) return false;
    }

    PyObject *namespaces[3] = {PyModule_GetDict(pathlib)};
    std::size_t count = 1;
    for (auto [name, slot] : {std::pair{&s_pathlib_local, 4}, std::pair{&s_pathlib_abc, 5}}) {
        PyObject *module = module_entry(*name, keep[slot]);
        if (module == nullptr) continue;
        if (!PyModule_Check(module)) return false;
        namespaces[count++] = PyModule_GetDict(module);
    }
    // pathlib reaches os through its global `os`.
    for (std::size_t i = 0; i < count; ++i) {
        PyObject *bound = PyDict_GetItemWithError(namespaces[i], s_os_name.get());  // borrowed
        if (bound == nullptr && PyErr_Occurred()) throw_error();
        if (bound != nullptr && bound != os) return false;
    }

    Ref os_path = getattr(os, s_path_module);
    Ref parser = getattr(path_type, Py_Version >= 0x030D0000 ? s_parser : s_flavour);
    if (os_path.get() != posixpath || parser.get() != posixpath) return false;
    for (StaticText *name : {&s_expanduser, &s_join, &s_splitroot}) {
        if (!posixpath_own(posixpath, posix, *name)) return false;
    }
    for (StaticText *name : {&s_getcwd, &s_fspath}) {
        Ref found = getattr(os, *name);
        Ref original = getattr(posix, *name);
        if (found.get() != original.get()) return false;
    }
    if (!path_methods_own(path_type, state.builtins.get(), namespaces, count)) return false;
    getcwd = getattr(os, s_getcwd);
    expanduser = getattr(posixpath, s_expanduser);
    return true;
}

// An absolute path in the form pathlib prints it: "/", or "/" followed by
// non-empty components other than ".", with no trailing slash.
bool absolute_pathlib_form(PyObject *text) {
    if (!PyUnicode_CheckExact(text)) return false;
    Py_ssize_t size = 0;
    const char *s = utf8_or_null(text, size);
    if (s == nullptr) return false;  // lone surrogates: leave it to pathlib
    if (size == 0 || s[0] != '/') return false;
    if (size == 1) return true;
    if (s[size - 1] == '/') return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (s[i] != '/') continue;
        const char *next = s + i + 1;  // the component after this slash
        if (next[0] == '/' || (next[0] == '.' && (next[1] == '/' || next[1] == '\0'))) return false;
    }
    return true;
}

// The standard call `f(args...)`: its result, or an empty Ref when it raised
// an Exception (cleared; anything else propagates).
template <class... Args>
Ref standard_call(PyObject *f, const Args &...args) {
    PyObject *stack[] = {nullptr, raw(args)...};
    PyObject *result = PyObject_Vectorcall(f, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
        PyErr_Clear();
    }
    return Ref::steal(result);
}

// [first, second]
Ref list_of_two(Ref first, Ref second) {
    Ref list = check(PyList_New(2));
    check(PyList_SetItem(list.get(), 0, first.release()));
    check(PyList_SetItem(list.get(), 1, second.release()));
    return list;
}

// `tjs` and the home text with two Path constructions; both left empty when
// the shortcut cannot prove it gives the general path's result.
void import_paths_quick(PyObject *path_type, Ref &tjs, Ref &home_text) {
    Ref getcwd, expanduser;
    if (!standard_pieces(path_type, getcwd, expanduser)) return;
    Ref cwd = standard_call(getcwd.get());
    if (!cwd || !PyUnicode_CheckExact(cwd.get())) return;
    Ref home = standard_call(expanduser.get(), s_tilde.get());
    if (!home || !absolute_pathlib_form(home.get())) return;

    Ref local = call(path_type, cwd, s_tolvek_json.get());
    Ref user = call(path_type, home, s_tolvek_json.get());
    tjs = list_of_two(std::move(local), std::move(user));
    // str(Path(home) / "Desktop/home"): the root alone takes no separator.
    const bool root = PyUnicode_GetLength(home.get()) == 1;
    home_text = check(PyUnicode_Concat(home.get(), root ? s_desktop_home.get() : s_slash_desktop.get()));
}

}  // namespace

ImportPaths::ImportPaths(PyObject *path_type) : path_type_(path_type) {
    import_paths_quick(path_type, tjs_, home_text_);
}

Ref ImportPaths::tjs() {
    if (tjs_) return tjs_;
    Ref cwd = call_method(path_type_, s_cwd);
    Ref local = check(PyNumber_TrueDivide(cwd.get(), s_tolvek_json.get()));
    Ref home = call_method(path_type_, s_home);
    Ref user = check(PyNumber_TrueDivide(home.get(), s_tolvek_json.get()));
    return list_of_two(std::move(local), std::move(user));
}

Ref ImportPaths::home_text() {
    if (home_text_) return home_text_;
    Ref home = call_method(path_type_, s_home);
    Ref joined = check(PyNumber_TrueDivide(home.get(), s_desktop_home.get()));
    return PyUnicode_CheckExact(joined.get()) ? joined : check(PyObject_Str(joined.get()));
}

}  // namespace brevan
