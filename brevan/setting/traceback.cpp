// Traceback entries for errors that leave the module's functions, and for
// a failed import. Apart from the call boundary that adds them because
// making a frame is a trick of its own (below), and the exec step uses it.
//
// The limited API can add a frame to a traceback (PyTraceBack_Here) but
// cannot make one. So a frame is made the way Python makes every frame: by
// running code. For each (function, line) pair a one-expression code object
// is compiled once, with as many leading newlines as the line number, and
// renamed to the function's qualified name; evaluating it calls a private C
// function that returns the running frame (PyEval_GetFrame), which is the
// code's own. That finished frame reports the right file, name and line, and
// is added to the pending exception's traceback.
//
// Everything such a frame exposes to Python is disposable: each evaluation
// gets a new locals dict, and the C function is found there, never through
// a name anyone else can rebind (sys._getframe, builtins). What comes back
// is still checked to be a frame running exactly that code before it goes
// to PyTraceBack_Here, which trusts its argument blindly; anything else
// (a signal handler meddling with the frame, say) costs the entry, not the
// process.
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

// Kept for the life of the process (never destroyed: see State).
auto &code_cache = *new std::map<std::pair<const char *, int>, Ref>();
PyTypeObject *frame_type = nullptr;  // the type of every genuine frame
PyObject *getframe_function = nullptr;

// _getframe(): the caller's frame, or None outside any Python frame.
PyObject *current_frame(PyObject *, PyObject *) noexcept {
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());  // borrowed
    if (frame == nullptr) return Py_NewRef(Py_None);
    frame_type = Py_TYPE(frame);
    return Py_NewRef(frame);
}

PyMethodDef current_frame_def = {"_getframe", current_frame, METH_NOARGS, nullptr};

PyObject *code_for(const char *qualified_name, int line) {
    const auto key = std::make_pair(qualified_name, line);
    auto found = code_cache.find(key);
    if (found != code_cache.end()) return found->second.get();

    std::string source(static_cast<std::size_t>(line > 1 ? line - 1 : 0), '\n');
    source += "_getframe()\n";
    Ref code = compile_notional(source, Py_eval_input);
    Ref name = check(PyUnicode_FromString(qualified_name));
    Ref renamed = rename_code(code.get(), name.get());
    return code_cache.emplace(key, renamed).first->second.get();
}

// A finished frame of `qualified_name` at `line`, or an empty Ref (with or
// without an exception set) when none could be made.
Ref make_frame(const char *qualified_name, int line) {
    if (getframe_function == nullptr) {
        getframe_function = check(PyCFunction_New(&current_frame_def, nullptr)).release();
    }
    PyObject *code = code_for(qualified_name, line);
    Ref locals = check(PyDict_New());
    check(PyDict_SetItem(locals.get(), s_getframe.get(), getframe_function));
    // The frame's globals are the module's namespace, as for a Python
    // function; before the import has made it, the private locals serve.
    PyObject *globals = state.globals ? state.globals : locals.get();
    Ref frame = check(PyEval_EvalCode(code, globals, locals.get()));
    if (Py_TYPE(frame.get()) != frame_type) return Ref();
    PyFrameObject *as_frame = reinterpret_cast<PyFrameObject *>(frame.get());
    Ref frame_code = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(as_frame)));
    if (frame_code.get() != code) return Ref();
    return frame;
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
