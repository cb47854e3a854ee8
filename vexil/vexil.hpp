// Internal pieces shared by vexil's source files: the module state, the
// function-call boundary and the helpers that name objects in messages.
//
// References and errors follow the rules of common/ref.hpp, shared with
// brevan.setting: `Ref` owns, a raw `PyObject *` borrows, and a failed API
// call throws `PyError`, which the function boundary turns into NULL.
#pragma once

#include "cpp_errors.hpp"
#include "names.hpp"
#include "ref.hpp"

#include <new>

namespace vexil {

using brevan::check;
using brevan::interpreter_type_name;
using brevan::optional_attr;
using brevan::PyError;
using brevan::Ref;
using brevan::throw_error;
using brevan::drop_no_utf8;
using brevan::utf8_or_null;

// Every object the module state holds, in one list: State's fields are
// declared from it and the module's traverse and clear (module.cpp) walk
// it, so no field can be added without both. ONE(name) is one object,
// MANY(name, n) an array of n.
#define VEXIL_STATE_OBJECTS(ONE, MANY)                                           \
    ONE(json_dumps)                                                              \
    ONE(decode_error)       /* json.JSONDecodeError */                           \
    ONE(dumps_kwnames)      /* ("indent", "ensure_ascii", "allow_nan") */        \
    ONE(indent)             /* 4 */                                              \
    ONE(json_decoder)       /* json.JSONDecoder */                               \
    /* scan_once of a decoder refusing NaN/Infinity, and of one also         */  \
    /* refusing floats that overflow: made by the first loads that needs     */  \
    /* json's scanner (loads.cpp); NULL until then.                          */  \
    ONE(scan_plain)                                                              \
    ONE(scan_checked)                                                            \
    ONE(isascii_name)       /* "isascii" */                                      \
    /* iprint's stream method names, interned (no str made and hashed per    */  \
    /* line), and the "\n" that ends a plain line.                           */  \
    ONE(write_name)                                                              \
    ONE(flush_name)                                                              \
    ONE(isatty_name)                                                             \
    ONE(newline)                                                                 \
    ONE(os)                                                                      \
    /* The interpreter's sys namespace, for reading sys.stdout without       */  \
    /* making and hashing a name per line; NULL: ask PySys_GetObject.        */  \
    ONE(sys_dict)                                                                \
    ONE(stdout_name)        /* "stdout" */                                       \
    /* os.environ as it was at import, for reading the colour variables      */  \
    /* without running Python code (environ_flags.cpp). NULL: no shortcut.   */  \
    ONE(environ_type)                                                            \
    ONE(environ_name)       /* "environ" */                                      \
    MANY(environ_names, 4)  /* names looked up, and what they gave at */         \
    MANY(environ_values, 4) /* import (laid out in environ_flags.cpp) */         \
    ONE(environ_data_name)  /* "_data" */                                        \
    /* NO_COLOR and FORCE_COLOR, encoded as os.environ stores them */            \
    MANY(colour_keys, 2)

// Objects looked up or made once when the module is executed, and memory
// kept between calls. Everything cached between calls lives here, so each
// interpreter has its own.
struct State {
#define VEXIL_ONE(name) PyObject *name;
#define VEXIL_MANY(name, n) PyObject *name[n];
    VEXIL_STATE_OBJECTS(VEXIL_ONE, VEXIL_MANY)
#undef VEXIL_ONE
#undef VEXIL_MANY
    bool json_c_writer;  // json's indented writer is its C encoder
    // dumps' output buffer, kept between calls (output_buffer.hpp); NULL
    // while a call has it.
    char *scratch;
    size_t scratch_capacity;
    // Room for dumps' fast writer and its table of strs, kept between calls
    // (dumps.cpp); NULL until the first call and while a call has it.
    void *writer_room;
    // Key strings loads made recently (parser.cpp); NULL until the first.
    struct KeyCache *key_cache;
};

// The colour variables iprint reads, in the order it reads them.
enum ColourVariable { kNoColor = 0, kForceColor = 1 };
enum class ColourChoice { off, on, terminal };
// What NO_COLOR and FORCE_COLOR say, as os.environ.get gives them: off when
// NO_COLOR is non-empty, else on when FORCE_COLOR is, else up to the terminal.
ColourChoice colour_choice(State &st);
// Records os.environ as it is now (module set-up). Fails only with an error
// of the import's own (doubt.hpp); anything else leaves no shortcut.
void environ_prepare(State &st);

inline State &state_of(PyObject *module) { return *static_cast<State *>(PyModule_GetState(module)); }

// Runs `body` and converts C++ failures into a NULL return with the Python
// exception set. Every exported function goes through here.
template <class F>
PyObject *boundary(F &&body) noexcept {
    try {
        return body().release();
    } catch (const PyError &) {
        return nullptr;
    } catch (...) {
        brevan::set_python_error("vexil");
        return nullptr;
    }
}

// The type name of `obj` as a new str.
Ref type_name(PyObject *obj);

// repr(obj) for an error message. An object whose repr fails is shown by its
// type name instead, so the error that names it keeps its own type and text.
Ref describe(PyObject *obj);

// Raises TypeError "<what> must be str, not <type name of obj>".
[[noreturn, gnu::cold]] void raise_not_str(const char *what, PyObject *obj);

// Exported functions and the objects module set-up needs.
PyObject *dumps(PyObject *module, PyObject *obj);
PyObject *loads(PyObject *module, PyObject *text);
PyObject *iprint(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
// Drops the key strings loads cached (module clear).
void key_cache_free(State &st) noexcept;
// Frees the room of dumps' fast writer (module clear).
void writer_room_free(State &st) noexcept;
// dumps for objects the fast writer refuses: subclasses, other types (through
// json's own writer), deep nesting, cycles and values json refuses, with
// json's errors and notes. Returns the text, newline included.
Ref write_general(State &st, PyObject *obj);

}  // namespace vexil
