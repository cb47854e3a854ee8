// dumps: settings text, byte for byte what
// json.dumps(obj, indent=4, ensure_ascii=True, allow_nan=False) writes, plus
// one newline, with dict keys required to be str.
//
// Objects made only of the exact types dict, list, tuple, str, int, float,
// bool and None, nested a few levels, are written by the fast writer here.
// Anything else (a subclass, another type, a float json refuses, an int too
// long to print, deep nesting, a cycle) goes to the general writer, which
// reads each container as json reads it and raises json's errors.

#include "writer.hpp"

namespace vexil {

PyObject *dumps(PyObject *module, PyObject *obj) {
    return boundary([&] {
        State &st = state_of(module);
        {
            Writer writer(st);
            if (writer.value(obj, 0)) {
                writer.out.put("\n", 1);
                return writer.out.text();
            }
        }
        return write_general(st, obj);
    });
}

}  // namespace vexil
