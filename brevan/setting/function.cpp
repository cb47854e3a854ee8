// Function objects and argument binding.
//
// The five functions are instances of one heap type with vectorcall. Each
// points at a static FunctionDef that describes its signature; binding is a
// tight noexcept routine driven by that table, with every error path moved
// out of line. The bodies are plain C++ that throw PyError; the call
// boundary turns that into NULL plus a traceback entry at the line the body
// had reached.
//
// To introspection the objects look like Python functions: a real code object
// (built by compiling a stub and replacing its fields), __defaults__,
// __kwdefaults__ and __annotations__, so inspect.signature() and help() work.
// The code object, __doc__ and __annotations__ are made on first access, so
// an import compiles nothing.
// Reassigning __defaults__ changes what introspection shows, not the values
// calls use: those are fixed in `call_defaults`.
#include "notional_lines.hpp"
#include "setting.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace brevan {
namespace {

constexpr Py_ssize_t kMaxParams = 3;

struct FunctionDef {
    const char *name;
    const char *qualified;         // name in traceback entries
    int first_line;                // of the definition in the notional source
    Py_ssize_t nparams;            // all positional-or-keyword
    Py_ssize_t nrequired;          // leading parameters without a default
    bool exactly;                  // count errors say "exactly" (no optional parameters)
    Py_ssize_t typed;              // parameter with an exact type, or -1
    PyTypeObject *type;
    Py_ssize_t truth;              // parameter converted to a truth value, or -1
    const char *varnames[5];       // parameters first, then locals
    Py_ssize_t nlocals;
    const char *annotations[8];    // key, value pairs; nullptr ends
    const char *doc;               // nullptr: no docstring
    Body body;
};

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
const FunctionDef kDefs[] = {
    {"clear", "brevan.setting.clear", kLineDefClear, 1, 0, false, 0, &PyUnicode_Type, -1,
     {"pattern", "sp", "fp"}, 3, {"pattern", "str"}, nullptr, clear_body},
    {"save", "brevan.setting.save", kLineDefSave, 3, 1, false, 0, &PyDict_Type, 2,
     {"obj", "path", "override", "_path", "w"}, 5,
     {"obj", "dict", "path", "str | Path", "override", "bool"}, kSaveDoc, save_body},
    {"read", "brevan.setting.read", kLineDefRead, 1, 0, false, 0, &PyList_Type, -1,
     {"path", "config", "_path", "f", "e"}, 5, {"path", "list[str | Path]", "return", "tuple"},
     kReadDoc, read_body},
    {"find", "brevan.setting.find", kLineDefFind, 1, 1, true, 0, &PyUnicode_Type, -1,
     {"site", "sysdir", "status", "s", "e"}, 5, {"site", "str"}, kFindDoc, find_body},
    {"startup", "brevan.setting.startup", kLineDefStartup, 0, 0, false, -1, nullptr, -1,
     {"path", "config", "override", "e"}, 4, {}, nullptr, startup_body},
};
constexpr std::size_t kFunctionCount = sizeof(kDefs) / sizeof(kDefs[0]);
enum : std::size_t { kClear, kSave, kRead, kFind, kStartup };

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *params;         // tuple of the parameter names (interned)
    PyObject *call_defaults;  // values for omitted trailing parameters; never reassigned
    // The items of the two tuples above (borrowed from them), by parameter
    // index, for binding without API calls.
    PyObject *param_names[kMaxParams];
    PyObject *default_values[kMaxParams];
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;            // with annotations: made on first access
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *code;           // made on first access of __code__
    PyObject *globals;
    PyObject *dict;
    PyObject *weakrefs;
    bool doc_made;
    bool annotations_made;
    bool defaults_bind;       // binding no arguments gives default_values unchanged
};

FunctionObject *as_function(PyObject *self) noexcept {
    return reinterpret_cast<FunctionObject *>(self);
}

PyTypeObject *function_type = nullptr;

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

// "module.QualName", or just "QualName" for builtins; "?" when unreadable.
Ref type_display_name(PyTypeObject *type) noexcept {
    try {
        return qualified_type_name(type);
    } catch (const PyError &) {
        PyErr_Clear();
        return Ref::steal(PyUnicode_FromString("?"));
    }
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
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &) {
        PyErr_NoMemory();  // a size beyond what the C++ library can hold
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in brevan.setting");
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

// ----------------------------------------------------------- attributes ----

PyObject *none_if_null(PyObject *value) noexcept { return Py_NewRef(value ? value : Py_None); }

void replace(PyObject *&slot, PyObject *value) noexcept {
    PyObject *old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

PyObject *function_get_name(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->name);
}

int function_set_name(PyObject *self, PyObject *value, void *) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace(as_function(self)->name, value);
    return 0;
}

PyObject *function_get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace(as_function(self)->qualname, value);
    return 0;
}

PyObject *function_get_module(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->module);
}

int function_set_module(PyObject *self, PyObject *value, void *) noexcept {
    replace(as_function(self)->module, value ? value : Py_None);
    return 0;
}

PyObject *function_get_doc(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    if (!fn->doc_made) {
        if (fn->def->doc != nullptr) {
            fn->doc = PyUnicode_FromString(fn->def->doc);
            if (fn->doc == nullptr) return nullptr;
        }
        fn->doc_made = true;
    }
    return none_if_null(fn->doc);
}

int function_set_doc(PyObject *self, PyObject *value, void *) noexcept {
    FunctionObject *fn = as_function(self);
    replace(fn->doc, value ? value : Py_None);
    fn->doc_made = true;
    return 0;
}

// Calls keep the signature's defaults whatever these attributes say, so
// every change to them comes with a warning.
int warn_defaults_ignored(const char *attribute) noexcept {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changes to setting_function.%s will not currently affect the values "
                            "used in function calls",
                            attribute);
}

PyObject *function_get_defaults(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->defaults);
}

int function_set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_defaults_ignored("__defaults__") < 0) return -1;
    replace(as_function(self)->defaults, value);
    return 0;
}

PyObject *function_get_kwdefaults(PyObject *self, void *) noexcept {
    return none_if_null(as_function(self)->kwdefaults);
}

int function_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_defaults_ignored("__kwdefaults__") < 0) return -1;
    replace(as_function(self)->kwdefaults, value);
    return 0;
}

Ref make_annotations(const FunctionDef &def);

// The signature's annotations at first; after an assignment of None or a
// deletion, a new empty dict.
PyObject *function_get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    if (fn->annotations == nullptr) {
        Ref made;
        try {
            made = fn->annotations_made ? check(PyDict_New()) : make_annotations(*fn->def);
        } catch (const PyError &) {
            return nullptr;
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
        if (fn->annotations == nullptr) fn->annotations = made.release();  // as for __code__
        fn->annotations_made = true;
    }
    return Py_NewRef(fn->annotations);
}

int function_set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject *fn = as_function(self);
    replace(fn->annotations, value);
    fn->annotations_made = true;
    return 0;
}

Ref make_code(const FunctionDef &def);

// Made on first access: nothing is compiled at import. Making it may run a
// collection, and with it finalizers and other threads, so the first one
// stored wins.
PyObject *function_get_code(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    if (fn->code == nullptr) {
        try {
            Ref code = make_code(*fn->def);
            if (fn->code == nullptr) fn->code = code.release();
        } catch (const PyError &) {
            return nullptr;
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
    }
    return Py_NewRef(fn->code);
}

PyObject *function_get_globals(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->globals);
}

PyObject *function_get_closure(PyObject *, void *) noexcept { return Py_NewRef(Py_None); }

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__module__", function_get_module, function_set_module, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling stores a reference by name: brevan.setting.<qualname>.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Bound like a Python function: through an instance it becomes a method.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    PyObject *args[] = {self, obj};
    return PyObject_Vectorcall(state.method_type.get(), args, 2, nullptr);
}

// ----------------------------------------------------------- lifetime ----

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->params);
    Py_VISIT(fn->call_defaults);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->code);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    FunctionObject *fn = as_function(self);
    Py_CLEAR(fn->params);
    Py_CLEAR(fn->call_defaults);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "brevan.setting.setting_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// --------------------------------------------------------- code objects ----

StaticString s_replace("replace"), s_co_consts("co_consts"), s_co_flags("co_flags"),
    s_co_name("co_name"), s_co_qualname("co_qualname"), s_filename("brevan/setting");

// A code object for introspection only: compiled from a stub whose body
// deletes the locals (so co_varnames comes out in the right order) and then
// keeps no constants, names or flags beyond CO_OPTIMIZED | CO_NEWLOCALS.
// Run by mistake, it raises UnboundLocalError at its first statement.
Ref make_code(const FunctionDef &def) {
    std::string source(static_cast<std::size_t>(def.first_line - 1), '\n');
    source += "def ";
    source += def.name;
    source += "(";
    for (Py_ssize_t i = 0; i < def.nparams; ++i) {
        if (i) source += ", ";
        source += def.varnames[i];
    }
    source += "):\n    del ";
    for (Py_ssize_t i = def.nparams; i < def.nlocals; ++i) {
        if (i > def.nparams) source += ", ";
        source += def.varnames[i];
    }
    source += "\n    return ";
    source += def.varnames[0];
    source += "\n";

    Ref module_code = compile_notional(source, Py_file_input);
    Ref consts = getattr(module_code.get(), s_co_consts);
    PyObject *stub = nullptr;
    const Py_ssize_t n = PyTuple_Size(consts.get());
    for (Py_ssize_t i = 0; i < n && stub == nullptr; ++i) {
        PyObject *item = PyTuple_GetItem(consts.get(), i);
        if (Py_TYPE(item) == Py_TYPE(module_code.get())) stub = item;
    }
    if (stub == nullptr) {
        PyErr_SetString(PyExc_SystemError, "brevan.setting: no code object in the compiled stub");
        throw_error();
    }
    Ref name = check(PyUnicode_InternFromString(def.name));
    Ref empty = check(PyTuple_New(0));
    Ref flags = check(PyLong_FromLong(0x0001 | 0x0002));  // CO_OPTIMIZED | CO_NEWLOCALS
    Ref fields = check(PyDict_New());
    check(PyDict_SetItem(fields.get(), s_co_consts.get(), empty.get()));
    check(PyDict_SetItem(fields.get(), s_co_flags.get(), flags.get()));
    return rename_code(stub, name.get(), fields.get());
}

Ref make_annotations(const FunctionDef &def) {
    Ref annotations = check(PyDict_New());
    for (std::size_t i = 0; def.annotations[i] != nullptr; i += 2) {
        Ref value = check(PyUnicode_FromString(def.annotations[i + 1]));
        check(PyDict_SetItemString(annotations.get(), def.annotations[i], value.get()));
    }
    return annotations;
}

// The values that fill omitted parameters, in parameter order after the
// required ones.
Ref make_call_defaults(std::size_t index) {
    switch (index) {
        case kClear:
            return check(Py_BuildValue("(s)", "*~*"));
        case kSave:
            return check(Py_BuildValue("(sO)", "", Py_False));
        case kRead:
            return check(Py_BuildValue("(O)", state.read_default.get()));
        default:
            return Ref();
    }
}

Ref function_new(std::size_t index, PyObject *globals) {
    const FunctionDef &def = kDefs[index];
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(function_type, Py_tp_alloc));
    Ref self = check(alloc(function_type, 0));
    FunctionObject *fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    Ref params = check(PyTuple_New(def.nparams));
    for (Py_ssize_t i = 0; i < def.nparams; ++i) {
        Ref name = check(PyUnicode_InternFromString(def.varnames[i]));
        fn->param_names[i] = name.get();
        check(PyTuple_SetItem(params.get(), i, name.release()));
    }
    fn->params = params.release();
    fn->name = check(PyUnicode_InternFromString(def.name)).release();
    fn->qualname = Py_NewRef(fn->name);
    fn->module = check(PyUnicode_InternFromString("brevan.setting")).release();
    Ref call_defaults = make_call_defaults(index);
    fn->call_defaults = Py_XNewRef(call_defaults.get());
    for (Py_ssize_t i = def.nrequired; i < def.nparams; ++i) {
        fn->default_values[i] = PyTuple_GetItem(call_defaults.get(), i - def.nrequired);
    }
    fn->defaults_bind = def.nrequired == 0 && def.truth < 0 &&
                        (def.typed < 0 || Py_TYPE(fn->default_values[def.typed]) == def.type);
    fn->defaults = Py_NewRef(call_defaults ? call_defaults.get() : Py_None);
    fn->kwdefaults = Py_NewRef(Py_None);
    fn->globals = Py_NewRef(globals);
    return self;
}

}  // namespace

void functions_prepare(PyObject *module) {
    if (nesting_key == nullptr) {
        Py_tss_t *key = PyThread_tss_alloc();
        if (key == nullptr || PyThread_tss_create(key) != 0) {
            if (key != nullptr) PyThread_tss_free(key);
            PyErr_NoMemory();  // neither sets an exception
            throw_error();
        }
        nesting_key = key;
    }
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject *>(
            check(PyType_FromModuleAndSpec(module, &function_spec, nullptr)).release());
    }
}

Ref compile_notional(const std::string &source, int start) {
    // The parser directly, not builtins.compile: nothing a caller can rebind,
    // no flags inherited from the running frame, and no AST types to set up.
    return check(Py_CompileString(source.c_str(), s_filename.text(), start));
}

Ref rename_code(PyObject *code, PyObject *name, PyObject *fields) {
    Ref kwargs = fields ? check(PyDict_Copy(fields)) : check(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), s_co_name.get(), name));
    check(PyDict_SetItem(kwargs.get(), s_co_qualname.get(), name));
    Ref replace = getattr(code, s_replace);
    Ref no_args = check(PyTuple_New(0));
    return check(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
}

void functions_bind(PyObject *globals, int &line) {
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        line = kDefs[i].first_line;
        Ref function = function_new(i, globals);
        check(PyDict_SetItemString(globals, kDefs[i].name, function.get()));
    }
}

void functions_reset() noexcept {
    // The type and code objects hold nothing of the failed module's state
    // except the type's module reference, so only the type is dropped.
    PyObject *type = reinterpret_cast<PyObject *>(function_type);
    function_type = nullptr;
    Py_XDECREF(type);
}

}  // namespace brevan
