// Internals shared by the source files of brevan.setting: the process-wide
// state, module-global lookup, call helpers, and the entry points of each
// concern (function bodies, the vexil calls, traceback entries). What only
// two files share lives in a header of its own (function.hpp, guards.hpp,
// path_text.hpp, posix_io.hpp, with_statement.hpp).
#pragma once

#include "cpp_errors.hpp"
#include "global_names.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace brevan {

// ---------------------------------------------------------------- state ----

// Everything the module keeps lives for the whole process: the module is
// created once, in one interpreter, and never torn down. The state object is
// never destroyed either: C++ destructors run after the interpreter is gone.
struct State {
    Ref module;            // the one module object
    PyObject *globals;     // its namespace (borrowed from `module`)
    Ref builtins;          // the builtins module
    Ref open;              // builtins.open and builtins.print, fetched at import
    Ref print;
    Ref read_default;      // the `tjs` list bound at import: read()'s default
    Ref method_type;       // types.MethodType, for binding as a method
    bool executed = false;
};
extern State &state;

// An attribute of a standard module (os.path.realpath, shutil.copyfile, ...),
// imported on first use and kept for the life of the process. These are the
// module's own tools, not module globals: rebinding names in brevan.setting
// does not change them.
class StdAttr {
public:
    constexpr StdAttr(const char *module, const char *name) noexcept : module_(module), name_(name) {}
    PyObject *get() {
        if (obj_ == nullptr) {
            Ref module = check(PyImport_ImportModule(module_));
            obj_ = check(PyObject_GetAttrString(module.get(), name_)).release();
        }
        return obj_;
    }

private:
    const char *module_;
    const char *name_;
    PyObject *obj_ = nullptr;
};

// Looks a module global up at the moment of use: the module's attribute,
// else the builtin of that name, else NameError "name '...' is not defined".
Ref lookup_global(StaticString &name);

// ---------------------------------------------------------------- calls ----

inline PyObject *raw(PyObject *p) noexcept { return p; }
inline PyObject *raw(const Ref &r) noexcept { return r.get(); }

// f(args...): positional arguments only.
template <class... Args>
Ref call(PyObject *f, const Args &...args) {
    PyObject *stack[] = {nullptr, raw(args)...};
    return check(PyObject_Vectorcall(f, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

// f(args..., **kw): the last PyTuple_Size(kwnames) values are keyword values.
template <class... Args>
Ref call_kw(PyObject *f, PyObject *kwnames, const Args &...args) {
    PyObject *stack[] = {nullptr, raw(args)...};
    const auto nkw = static_cast<size_t>(PyTuple_Size(kwnames));
    return check(PyObject_Vectorcall(
        f, stack + 1, (sizeof...(Args) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(args...)
template <class... Args>
Ref call_method(PyObject *obj, StaticString &name, const Args &...args) {
    PyObject *stack[] = {obj, raw(args)...};
    return check(PyObject_VectorcallMethod(name.get(), stack, 1 + sizeof...(Args), nullptr));
}

// obj.name(args..., **kw)
template <class... Args>
Ref call_method_kw(PyObject *obj, StaticString &name, PyObject *kwnames, const Args &...args) {
    PyObject *stack[] = {obj, raw(args)...};
    const auto nkw = static_cast<size_t>(PyTuple_Size(kwnames));
    return check(
        PyObject_VectorcallMethod(name.get(), stack, 1 + sizeof...(Args) - nkw, kwnames));
}

inline Ref getattr(PyObject *obj, StaticString &name) {
    return check(PyObject_GetAttr(obj, name.get()));
}
inline Ref getattr(PyObject *obj, StaticText &name) {
    return check(PyObject_GetAttr(obj, name.get()));
}

// A tuple of interned keyword names, made once: kwnames for call_kw().
class KeywordNames {
public:
    template <class... Names>
    explicit constexpr KeywordNames(Names... names) noexcept : names_{names...}, count_(sizeof...(Names)) {}
    PyObject *get();

private:
    const char *names_[4];
    std::size_t count_;
    PyObject *tuple_ = nullptr;
};

inline bool truth(PyObject *obj) { return check(PyObject_IsTrue(obj)) != 0; }

// The next item of `iterator`, or an empty Ref at its end.
inline Ref next_item(PyObject *iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

// While alive, makes `exc` the exception being handled, as inside an
// `except` block: exceptions raised meanwhile get it as their __context__.
// The previously handled exception is restored on every path out.
class Handling {
public:
    explicit Handling(PyObject *exc) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    Ref previous_;
};

// ---------------------------------------------------------- the bodies ----

// Where a body is in the module's notional source, for its traceback entry.
struct Frame {
    int line;
};

// A body gets the bound arguments (borrowed, in parameter order) and returns
// its result, or throws PyError with the exception set.
using Body = Ref (*)(Frame &frame, PyObject *const *args);

Ref clear_body(Frame &frame, PyObject *const *args);
Ref save_body(Frame &frame, PyObject *const *args);
Ref read_body(Frame &frame, PyObject *const *args);
Ref find_body(Frame &frame, PyObject *const *args);
Ref startup_body(Frame &frame, PyObject *const *args);

// ------------------------------------------------------ function objects ----

// Creates the function type (import time; code objects are made on demand).
void functions_prepare(PyObject *module);
// Binds the five functions in the module namespace, in their order. Returns
// the line of the failing definition through `line` while it works.
void functions_bind(PyObject *globals, int &line);
// Drops what functions_prepare() made (after a failed import).
void functions_reset() noexcept;

// Code of the notional source file "brevan/setting"; `start` is
// Py_file_input or Py_eval_input.
Ref compile_notional(const std::string &source, int start);
// code.replace(co_name=name, co_qualname=name, **fields); `fields` may be null.
Ref rename_code(PyObject *code, PyObject *name, PyObject *fields = nullptr);

// ------------------------------------------------------------ tracebacks ----

// Adds an entry "File "brevan/setting", line <line>, in <qualified_name>" to
// the traceback of the pending exception. If the entry cannot be made, the
// exception is left as it was, except that an interrupt raised meanwhile (a
// KeyboardInterrupt from a signal handler) takes over, with it as context.
void add_traceback(const char *qualified_name, int line) noexcept;

// ------------------------------------------------------------ vexil calls ----

// dumps(obj), through the module global dumps.
Ref vexil_dumps(PyObject *obj);

// The module global iprint, looked up when this is made. Make it before the
// message: Python looks `iprint` up before it evaluates `iprint(f"...")`.
class IPrint {
public:
    IPrint();
    Ref operator()(PyObject *message, PyObject *foreground, PyObject *background = nullptr) const;

private:
    Ref function_;
};

// Colour names passed to iprint.
extern StaticString colour_cyan, colour_red, colour_yellow;

// ------------------------------------------------------ import-time paths ----

// `tjs` and str(Path.home() / "Desktop/home") for `defaults`. Made together
// with fewer Path constructions when that provably gives what the general
// path gives (nothing observable happens when it cannot); else each is made
// by the general path when asked for, in the module body's order.
class ImportPaths {
public:
    explicit ImportPaths(PyObject *path_type);
    // [Path.cwd() / "tolvek.json", Path.home() / "tolvek.json"]
    Ref tjs();
    // str(Path.home() / "Desktop/home")
    Ref home_text();

private:
    PyObject *path_type_;
    Ref tjs_, home_text_;  // both made by the shortcut, or both empty
};

}  // namespace brevan
