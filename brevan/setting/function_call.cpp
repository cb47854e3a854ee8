// The calling path of the five functions: their signature table, argument
// binding and the call boundary.
//
// Binding is a tight noexcept routine driven by the table, with every error
// path moved out of line. The bodies are plain C++ that throw PyError; the
// call boundary turns that into NULL plus a traceback entry at the line the
// body had reached. Kept apart from the function type (function_type.cpp):
// this is the code every call runs, the type is what introspection sees.
#include "function.hpp"
#include "notional_lines.hpp"


namespace brevan {

// ------------------------------------------------------------ signatures ----

const char kSaveDoc[] =
    "Save obj to file given by path\n\n    Args:\n        obj (dict): object to be saved\n"
    "        path (str | Path): path to save the file\n    ";
const char kReadDoc[] =
    "Load content of file given by path\n\n    Args:\n        path (str | Path): path of file\n\n"
    "    Returns:\n        dict: content of file\n    ";
const char kFindDoc[] =
    "Check whether the package with name site has been installed\n\n    Args:\n"
    "        site (str): package name to be installed by 'pip install -e.'\n\n    Raises:\n"
    "        Exception: site not found\n\n    Returns:\n        str: site directory\n    ";

// In binding order. Lines are those of the notional source.
const FunctionDef function_defs[kFunctionCount] = {
    {
        .name = "clear",
        .qualified = "brevan.setting.clear",
        .first_line = kLineDefClear,
        .nparams = 1,
        .nrequired = 0,
        .typed = 0,
        .type = &PyUnicode_Type,
        .varnames = {"pattern", "sp", "fp"},
        .nlocals = 3,
        .annotations = {"pattern", "str"},
        .body = clear_body,
        .make_defaults = [] { return check(Py_BuildValue("(s)", "*~*")); },
    },
    {
        .name = "save",
        .qualified = "brevan.setting.save",
        .first_line = kLineDefSave,
        .nparams = 3,
        .nrequired = 1,
        .typed = 0,
        .type = &PyDict_Type,
        .truth = 2,
        .varnames = {"obj", "path", "override", "_path", "w"},
        .nlocals = 5,
        .annotations = {"obj", "dict", "path", "str | Path", "override", "bool"},
        .doc = kSaveDoc,
        .body = save_body,
        .make_defaults = [] { return check(Py_BuildValue("(sO)", "", Py_False)); },
    },
    {
        .name = "read",
        .qualified = "brevan.setting.read",
        .first_line = kLineDefRead,
        .nparams = 1,
        .nrequired = 0,
        .typed = 0,
        .type = &PyList_Type,
        .varnames = {"path", "config", "_path", "f", "e"},
        .nlocals = 5,
        .annotations = {"path", "list[str | Path]", "return", "tuple"},
        .doc = kReadDoc,
        .body = read_body,
        .make_defaults = [] { return check(Py_BuildValue("(O)", state.read_default.get())); },
    },
    {
        .name = "find",
        .qualified = "brevan.setting.find",
        .first_line = kLineDefFind,
        .nparams = 1,
        .nrequired = 1,
        .exactly = true,
        .typed = 0,
        .type = &PyUnicode_Type,
        .varnames = {"site", "sysdir", "status", "s", "e"},
        .nlocals = 5,
        .annotations = {"site", "str"},
        .doc = kFindDoc,
        .body = find_body,
    },
    {
        .name = "startup",
        .qualified = "brevan.setting.startup",
        .first_line = kLineDefStartup,
        .nparams = 0,
        .nrequired = 0,
        .varnames = {"path", "config", "override", "e"},
        .nlocals = 4,
        .body = startup_body,
    },
};

namespace {

// ----------------------------------------------------- binding errors ----
// All out of line: binding succeeds on the hot path without touching them.

[[gnu::cold, gnu::noinline]] bool count_error(const FunctionDef &def, bool too_many,
                                              Py_ssize_t given) noexcept {
    const char *word;
    Py_ssize_t limit;
    if (too_many) {
        word = def.exactly ? "exactly" : "at most";
        limit = def.nparams;
    } else {
        word = def.exactly ? "exactly" : "at least";
        limit = def.nrequired;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, word, limit, limit == 1 ? "" : "s", given);
    add_traceback(def.qualified, def.first_line);
    return false;
}

[[gnu::cold, gnu::noinline]] bool keyword_error(const FunctionDef &def, PyObject *key,
                                                bool repeated) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    } else if (repeated) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     def.name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name,
                     key);
    }
    add_traceback(def.qualified, def.first_line);
    return false;
}

// "module.QualName", or just "QualName" for builtins or when __module__
// cannot be read; "?" when the qualified name cannot be.
Ref type_display_name(PyTypeObject *type) noexcept {
    Ref qualname = Ref::steal(PyType_GetQualName(type));
    if (!qualname) {
        PyErr_Clear();
        return Ref::steal(PyUnicode_FromString("?"));
    }
    Ref module;
    try {
        module = type_module_prefix(type);
    } catch (const PyError &) {
        PyErr_Clear();
    }
    if (!module) return qualname;
    return Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

[[gnu::cold, gnu::noinline]] bool type_error(const FunctionDef &def, PyObject *arg) noexcept {
    Ref expected = type_display_name(def.type);
    Ref given = type_display_name(Py_TYPE(arg));
    if (!expected || !given) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Argument '%.200s' has incorrect type (expected %U, got %U)",
        def.varnames[def.typed], expected.get(), given.get()));
    if (!message) return false;
    PyObject *args[] = {message.get()};
    Ref exc = Ref::steal(PyObject_Vectorcall(PyExc_TypeError, args, 1, nullptr));
    if (!exc) return false;
    if (PyObject_TypeCheck(arg, def.type)) {
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected here: '%s' must be exactly %U, which is "
            "stricter than PEP 484 requires.",
            def.varnames[def.typed], expected.get()));
        Ref added = Ref::steal(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get())
                                    : nullptr);
        if (!added) PyErr_Clear();
    }
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return false;
}

[[gnu::cold, gnu::noinline]] PyObject *startup_error(FunctionObject *fn, Py_ssize_t nargs,
                                                     bool keywords) noexcept {
    if (keywords) {
        PyErr_Format(PyExc_TypeError, "%.200S() %s", fn->name, "takes no keyword arguments");
    } else {
        PyErr_Format(PyExc_TypeError, "%.200S() %s (%zd given)", fn->name, "takes no arguments",
                     nargs);
    }
    return nullptr;
}

// -------------------------------------------------------------- binding ----

// Index of the parameter called `key`, or -1.
Py_ssize_t param_index(FunctionObject *fn, PyObject *key) noexcept {
    const Py_ssize_t n = fn->def->nparams;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (fn->param_names[i] == key) return i;  // interned: the usual case
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(fn->param_names[i], key) == 0) return i;
    }
    return -1;
}

// Fills bound[0..nparams) with borrowed references. On failure the
// exception is set (and, for the errors that get one, the traceback entry).
bool bind_arguments(FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **bound) noexcept {
    const FunctionDef &def = *fn->def;
    if (nargs > def.nparams) return count_error(def, true, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GetItem(kwnames, k);
        if (!PyUnicode_Check(key)) return keyword_error(def, key, false);
        const Py_ssize_t index = param_index(fn, key);
        if (index < 0) return keyword_error(def, key, false);
        if (bound[index] != nullptr) return keyword_error(def, key, true);
        bound[index] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < def.nrequired; ++i) {
        if (bound[i] == nullptr) return count_error(def, false, nargs);
    }
    for (Py_ssize_t i = def.nrequired; i < def.nparams; ++i) {
        if (bound[i] == nullptr) bound[i] = fn->default_values[i];
    }

    if (def.truth >= 0) {
        const int is_true = PyObject_IsTrue(bound[def.truth]);
        if (is_true < 0) {
            add_traceback(def.qualified, def.first_line);
            return false;
        }
        bound[def.truth] = is_true ? Py_True : Py_False;
    }
    if (def.typed >= 0 && Py_TYPE(bound[def.typed]) != def.type) {
        return type_error(def, bound[def.typed]);
    }
    return true;
}

PyObject *run_body(const FunctionDef &def, PyObject *const *bound) noexcept {
    Frame frame{def.first_line};
    try {
        return def.body(frame, bound).release();
    } catch (const PyError &) {
    } catch (...) {
        set_python_error("brevan.setting");
    }
    add_traceback(def.qualified, frame.line);
    return nullptr;
}

// A body can reach itself again through rebound globals without any Python
// frame in between (site.getusersitepackages = clear), so each call counts
// against the recursion limit, as calls of builtin functions do. The
// interpreter's C recursion limit alone is not enough: from 3.13 on it allows
// thousands of nested C calls, more than fit on the stack when frames are
// large (as under AddressSanitizer). So the module also bounds its own
// nesting explicitly by the recursion limit, the depth at which the same
// functions written in Python would stop.
//
// The depth is kept per thread in a key of the interpreter's thread-specific
// storage, made at import. Not in a thread_local: a module's own TLS block is
// allocated by the C library on first use in each thread, and glibc aborts
// the process when that allocation fails.
Py_tss_t *nesting_key = nullptr;

Py_ssize_t nesting() noexcept {
    return reinterpret_cast<Py_ssize_t>(PyThread_tss_get(nesting_key));
}

[[gnu::cold, gnu::noinline]] PyObject *too_deep() noexcept {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
}

// Setting a thread's first value may allocate (the keys past the C library's
// first block): a failure there is a MemoryError before the call.
[[gnu::cold, gnu::noinline]] PyObject *no_room() noexcept {
    Py_LeaveRecursiveCall();
    return PyErr_NoMemory();
}

PyObject *run_guarded(const FunctionDef &def, PyObject *const *bound) noexcept {
    const Py_ssize_t depth = nesting();
    // The limit is at least 1, so an outermost call never reaches it.
    if (depth > 0 && depth >= Py_GetRecursionLimit()) return too_deep();
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    if (PyThread_tss_set(nesting_key, reinterpret_cast<void *>(depth + 1)) != 0) return no_room();
    PyObject *result = run_body(def, bound);
    // Setting a value the thread already holds a slot for cannot fail.
    PyThread_tss_set(nesting_key, reinterpret_cast<void *>(depth));
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    FunctionObject *fn = as_function(self);
    // PyVectorcall_NARGS, without a call.
    const auto nargs = static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (fn->def->nparams == 0) {
        if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) return startup_error(fn, nargs, true);
        if (nargs > 0) return startup_error(fn, nargs, false);
        return run_guarded(*fn->def, nullptr);
    }
    // No arguments: every parameter takes its default, which passes the
    // checks (defaults_bind), so the defaults are the bound arguments.
    if (nargs == 0 && kwnames == nullptr && fn->defaults_bind) return run_guarded(*fn->def, fn->default_values);
    PyObject *bound[kMaxParams] = {};
    if (!bind_arguments(fn, args, nargs, kwnames, bound)) return nullptr;
    return run_guarded(*fn->def, bound);
}

void call_depth_prepare() {
    if (nesting_key != nullptr) return;
    Py_tss_t *key = PyThread_tss_alloc();
    if (key == nullptr || PyThread_tss_create(key) != 0) {
        if (key != nullptr) PyThread_tss_free(key);
        PyErr_NoMemory();  // neither sets an exception
        throw_error();
    }
    nesting_key = key;
}

}  // namespace brevan
