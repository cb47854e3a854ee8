// What the calling path (function_call.cpp) and the function type
// (function_type.cpp) both see: a function's signature entry and the layout
// of a function object. Binding reads the object's fields directly, so the
// layout is shared rather than hidden behind accessors. notional_code.cpp
// makes each function's __code__ from the same entry.
#pragma once

#include "setting.hpp"

#include <cstddef>

namespace brevan {

constexpr Py_ssize_t kMaxParams = 3;

// One function's signature, as binding, introspection and error messages
// need it. Fields a function does not use keep their defaults.
struct FunctionDef {
    const char *name;
    const char *qualified;              // name in traceback entries
    int first_line;                     // of the definition in the notional source
    Py_ssize_t nparams;                 // all positional-or-keyword
    Py_ssize_t nrequired;               // leading parameters without a default
    bool exactly = false;               // count errors say "exactly" (no optional parameters)
    Py_ssize_t typed = -1;              // parameter with an exact type, or -1
    PyTypeObject *type = nullptr;
    Py_ssize_t truth = -1;              // parameter converted to a truth value, or -1
    const char *varnames[5];            // parameters first, then locals
    Py_ssize_t nlocals;
    const char *annotations[8] = {};    // key, value pairs; nullptr ends
    const char *doc = nullptr;          // nullptr: no docstring
    Body body;
    Ref (*make_defaults)() = nullptr;   // the optional parameters' values, in order
};

// The five functions, in binding order.
constexpr std::size_t kFunctionCount = 5;
extern const FunctionDef function_defs[kFunctionCount];

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

inline FunctionObject *as_function(PyObject *self) noexcept {
    return reinterpret_cast<FunctionObject *>(self);
}

// Every function object's vectorcall: binds the arguments and runs the body.
PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept;

// Makes the per-thread call depth's key (once per process).
void call_depth_prepare();

// The stand-in code object of `def`'s function, for __code__.
Ref stand_in_code(const FunctionDef &def);

}  // namespace brevan
