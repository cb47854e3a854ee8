// Traceback entries for errors that leave the module's functions.
//
// The limited API can add a frame to a traceback (PyTraceBack_Here) but
// cannot make one. So a frame is made the way Python makes every frame: by
// running code. For each (function, line) pair a one-expression code object
// is compiled once, with as many leading newlines as the line number, and
// renamed to the function's qualified name; evaluating it returns its own
// frame through sys._getframe(). That finished frame reports the right file,
// name and line, and is added to the pending exception's traceback.
//
// An error path therefore costs one small evaluation; the compile happens
// once per distinct line.
#include "setting.hpp"

#include <map>
#include <string>
#include <utility>

namespace brevan {
namespace {

StaticString s_getframe("_getframe");
StdAttr sys_getframe("sys", "_getframe");

// Kept for the life of the process (never destroyed: see State).
auto &code_cache = *new std::map<std::pair<const char *, int>, Ref>();
auto &frame_locals = *new Ref();  // {"_getframe": sys._getframe}

PyObject *locals_for_eval() {
    if (!frame_locals) {
        Ref locals = check(PyDict_New());
        check(PyDict_SetItem(locals.get(), s_getframe.get(), sys_getframe.get()));
        frame_locals = locals;
    }
    return frame_locals.get();
}

PyObject *code_for(const char *qualified_name, int line) {
    const auto key = std::make_pair(qualified_name, line);
    auto found = code_cache.find(key);
    if (found != code_cache.end()) return found->second.get();

    std::string source(static_cast<std::size_t>(line > 1 ? line - 1 : 0), '\n');
    source += "_getframe()\n";
    Ref code = compile_notional(source, "eval");
    Ref name = check(PyUnicode_FromString(qualified_name));
    Ref renamed = rename_code(code.get(), name.get());
    return code_cache.emplace(key, renamed).first->second.get();
}

// A finished frame of `qualified_name` at `line`.
Ref make_frame(const char *qualified_name, int line) {
    PyObject *code = code_for(qualified_name, line);
    PyObject *locals = locals_for_eval();
    // The frame's globals are the module's namespace, as for a Python
    // function; before the import has made it, the private locals serve.
    PyObject *globals = state.globals ? state.globals : locals;
    return check(PyEval_EvalCode(code, globals, locals));
}

}  // namespace

void add_traceback(const char *qualified_name, int line) noexcept {
    Ref exc = take_exception();
    if (!exc) return;
    Ref frame;
    try {
        frame = make_frame(qualified_name, line);
    } catch (...) {
        frame.reset();
    }
    if (!frame) {
        // Making the frame runs code, and so pending signal handlers: a
        // KeyboardInterrupt (or any other non-Exception) raised there has
        // consumed its signal and would be lost if discarded. It takes over,
        // with the real error as its context, as it would in Python.
        Ref interrupt = take_exception();
        if (interrupt && !PyErr_GivenExceptionMatches(interrupt.get(), PyExc_Exception)) {
            PyException_SetContext(interrupt.get(), exc.release());
            restore_exception(std::move(interrupt));
            return;
        }
    }
    // Any other failure to make the entry must not replace the real error.
    PyErr_Clear();
    restore_exception(std::move(exc));
    // On failure PyTraceBack_Here leaves the exception as it was.
    if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace brevan
