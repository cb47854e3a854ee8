// Code objects of the notional source file "brevan/setting": each
// function's stand-in __code__, and the renamed one-expression stubs whose
// frames traceback.cpp adds to tracebacks. Both are made by compiling text
// with the notional line numbers and renaming the result, so the compiling
// and renaming are shared here rather than owned by either user.
#include "function.hpp"

#include <string>

namespace brevan {
namespace {

StaticString s_replace("replace"), s_co_consts("co_consts"), s_co_flags("co_flags"),
    s_co_name("co_name"), s_co_qualname("co_qualname"), s_filename("brevan/setting");

}  // namespace

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

// A code object for introspection only: compiled from a stub whose body
// deletes the locals (so co_varnames comes out in the right order) and then
// keeps no constants, names or flags beyond CO_OPTIMIZED | CO_NEWLOCALS.
// Run by mistake, it raises UnboundLocalError at its first statement.
Ref stand_in_code(const FunctionDef &def) {
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

}  // namespace brevan
