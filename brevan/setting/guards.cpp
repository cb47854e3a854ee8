// The guards' questions (guards.hpp): the process settings a fast path
// depends on, whether Path, open and sys.audit are the standard library's
// own, whether pathlib's glob machinery is loaded, and whether an import
// statement may skip __import__. The pathlib and os attributes are watched
// in watched_attributes.cpp.
#include "guards.hpp"

#include <cstddef>
#include <cstring>
#include <langinfo.h>

namespace brevan {
namespace {

StdAttr pathlib_path("pathlib", "Path"), io_open("_io", "open"), sys_flags("sys", "flags"),
    sys_fs_encoding("sys", "getfilesystemencoding"),
    sys_fs_errors("sys", "getfilesystemencodeerrors");
StaticString s_utf8_mode("utf8_mode"), s_warn_default_encoding("warn_default_encoding");

// ------------------------------------------------------ process settings ----

// "utf-8", "UTF8", "utf_8": the names the codec registry maps to UTF-8.
bool names_utf8(const char *text) noexcept {
    if (text == nullptr || std::strlen(text) > 5) return false;
    char folded[6] = {};
    for (std::size_t i = 0, j = 0; text[i] != '\0'; ++i) {
        if (text[i] == '-' || text[i] == '_') continue;
        folded[j++] = static_cast<char>(text[i] | 0x20);
    }
    return std::strcmp(folded, "utf8") == 0;
}

bool names_utf8(PyObject *name) {
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    if (text == nullptr && PyErr_Occurred()) drop_doubt();
    return names_utf8(text);
}

// Settings of the interpreter fixed at its start-up, read once.
struct Process {
    bool utf8_mode = false;         // open() without encoding decodes UTF-8
    bool warns_on_encoding = true;  // -X warn_default_encoding: open() would warn
    bool fs_utf8 = false;           // file names are UTF-8 with surrogateescape
};

Process read_process() {
    Process process;
    Ref flags = check(PyObject_GetAttr(sys_flags.get(), s_utf8_mode.get()));
    process.utf8_mode = truth(flags.get());
    flags = check(PyObject_GetAttr(sys_flags.get(), s_warn_default_encoding.get()));
    process.warns_on_encoding = truth(flags.get());
    Ref encoding = call(sys_fs_encoding.get());
    Ref errors = call(sys_fs_errors.get());
    process.fs_utf8 = names_utf8(encoding.get()) && PyUnicode_Check(errors.get()) &&
                      PyUnicode_CompareWithASCIIString(errors.get(), "surrogateescape") == 0;
    return process;
}

// The process settings, or null when what tells them is not the standard
// library's (no fast paths this time; asked again next time).
const Process *process() {
    static bool known = false;
    static Process value;
    if (!known) {
        try {
            value = read_process();
            known = true;
        } catch (const PyError &) {
            drop_doubt();
        }
    }
    return known ? &value : nullptr;
}

// Whether open(path, "r") decodes UTF-8 and raises no warning about it.
bool open_reads_utf8(const Process &p) noexcept {
    if (p.warns_on_encoding) return false;
    if (p.utf8_mode) return true;
    // The locale encoding, as the interpreter asks for it (an empty answer
    // means UTF-8). The locale may change while the process runs.
    const char *codeset = nl_langinfo(CODESET);
    return codeset == nullptr || codeset[0] == '\0' || names_utf8(codeset);
}

// ------------------------------------------------- the standard objects ----

// A standard-library object, or null when it cannot be had (the caller
// refuses its fast path; an error of the call's own is thrown).
PyObject *std_object(StdAttr &attr) {
    try {
        return attr.get();
    } catch (const PyError &) {
        drop_doubt();
        return nullptr;
    }
}

// Whether `path_type` is pathlib's Path and `path` what it made on POSIX.
bool pathlib_untouched(PyObject *path_type, PyObject *path) {
    PyObject *original = std_object(pathlib_path);
    if (original == nullptr || path_type != original) return false;
    return path == nullptr || reinterpret_cast<PyObject *>(Py_TYPE(path)) == posix_path_type();
}

// Whether the builtin open, the one read() uses and the one in builtins
// now, is io's own. Code that replaced builtins.open watches file access (a
// test harness, a sandbox): every fast path then leaves the work to the
// standard library, where such code can see it.
bool open_untouched() {
    PyObject *open = std_object(io_open);
    if (open == nullptr || state.open.get() != open) return false;
    Ref current = Ref::steal(PyObject_GetAttr(state.builtins.get(), s_open.get()));
    if (!current) drop_doubt();
    return current.get() == open;
}

// The guards every fast path shares: the process settings, when usable.
const Process *usable() {
    const Process *p = process();
    return p != nullptr && p->fs_utf8 && open_untouched() ? p : nullptr;
}

// Whether pathlib's glob machinery is already loaded: from 3.15 pathlib
// imports glob lazily, at its first glob(), and that import is observable
// (its audit events, sys.audit called by name). Names pathlib does not
// have, or has as the very objects of glob, are fine.
bool glob_machinery_loaded() {
    PyObject *modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || !PyDict_Check(modules)) return false;
    PyObject *pathlib = guard_item(modules, "pathlib");  // borrowed
    if (pathlib == nullptr || !PyModule_Check(pathlib)) return false;
    PyObject *space = PyModule_GetDict(pathlib);     // borrowed
    PyObject *glob = guard_item(modules, "glob");    // borrowed
    for (const char *name : {"_StringGlobber", "_no_recurse_symlinks"}) {
        PyObject *held = guard_item(space, name);  // borrowed
        if (held == nullptr) continue;
        if (glob == nullptr) return false;
        Ref own = Ref::steal(PyObject_GetAttrString(glob, name));
        if (!own) {
            drop_doubt();
            return false;
        }
        if (own.get() != held) return false;
    }
    return true;
}

}  // namespace

// ------------------------------------------------------- the questions ----

bool fast_path_allowed(FastPath path, PyObject *path_type, PyObject *made) {
    const Process *p = usable();
    if (p == nullptr) return false;
    if (path == kFastRead && !open_reads_utf8(*p)) return false;
    // save() raises no event of its own.
    if (path != kFastSave && real_audit() == nullptr) return false;
    return pathlib_untouched(path_type, made) && attributes_untouched(path) &&
           (path != kFastClear || glob_machinery_loaded());
}

PyObject *real_audit() {
    static PyObject *audit = nullptr;
    if (audit == nullptr) {
        PyObject *bound = PySys_GetObject("audit");  // borrowed
        if (bound != nullptr && builtin_of("sys", "audit", bound)) audit = Py_NewRef(bound);
    }
    return audit;
}

bool builtin_of(PyObject *module, const char *name, PyObject *function) {
    if (!PyCFunction_Check(function) || PyCFunction_GetSelf(function) != module) return false;
    Ref own_name = Ref::steal(PyObject_GetAttr(function, s_dunder_name.get()));
    if (!own_name) {
        drop_doubt();
        return false;
    }
    return PyUnicode_Check(own_name.get()) && PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0;
}

bool builtin_of(const char *module, const char *name, PyObject *function) {
    if (!PyCFunction_Check(function)) return false;
    Ref owner = Ref::steal(PyImport_ImportModule(module));
    if (!owner) {
        drop_doubt();
        return false;
    }
    return builtin_of(owner.get(), name, function);
}

bool interpreters_import(PyObject *function) {
    static PyObject *own = nullptr;  // once seen; the interpreter keeps it alive
    if (function == own) return true;
    if (!builtin_of(state.builtins.get(), "__import__", function)) return false;
    own = function;
    return true;
}

}  // namespace brevan
