// `with manager as value: block`, by the standard protocol: what read() and
// save() open their files with. A header of its own because both use it and
// it is a template over the block.
#pragma once

#include "setting.hpp"

#include <utility>

namespace brevan {

inline StaticString s_enter("__enter__"), s_exit("__exit__");

// `with manager as value: block(value)`: __exit__ is fetched before
// __enter__; a true result of __exit__ suppresses the exception of the
// block. Errors of the protocol itself report `with_line`, an exception of
// the block keeps the line the block had reached.
template <class Block>
void with_block(Frame &frame, int with_line, PyObject *manager, Block &&block) {
    frame.line = with_line;
    Ref exit = getattr(manager, s_exit);
    Ref enter = getattr(manager, s_enter);
    Ref value = call(enter.get());
    bool raised = false;
    try {
        block(value.get());
    } catch (const PyError &) {
        raised = true;
    } catch (...) {
        set_python_error("brevan.setting");
        raised = true;
    }
    if (!raised) {
        frame.line = with_line;
        call(exit.get(), Py_None, Py_None, Py_None);
        return;
    }

    Ref exc = take_exception();
    const int block_line = frame.line;
    frame.line = with_line;
    {
        Handling handling(exc.get());
        Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref suppress = call(exit.get(), reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc,
                            traceback ? traceback.get() : Py_None);
        if (truth(suppress.get())) return;
    }
    frame.line = block_line;
    restore_exception(std::move(exc));
    throw_error();
}

}  // namespace brevan
