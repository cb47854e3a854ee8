// The general writer: what json.dumps(obj, indent=4, ensure_ascii=True,
// allow_nan=False) writes or raises, for any object, with dict keys required
// to be str. How containers are read and which errors win is the walk's
// (container_walk.hpp); this file writes what the walk meets: leaves as
// json's writer of this interpreter writes them, brackets and indents.
//
// On 3.12, json's Python writer tests a float subclass as it tests floats:
// o != o, then o == inf and o == -inf. Objects of other types go one at a
// time to json.dumps, so its default() says what they become.
//
// Nesting is followed on a heap stack, never the C stack: a call needs the
// same small stack at any depth, and each call that gets here counts against
// the recursion limit, since the Python code it runs may call dumps again.

#include "container_walk.hpp"
#include "text_writer.hpp"

#include <cmath>
#include <cstring>
#include <memory>

namespace vexil {
namespace {

// Sets TypeError for a dict key that is not str.
[[gnu::cold]] void set_bad_key(PyObject *key) {
    Ref held = Ref::borrow(key);
    Ref name = type_name(held.get());
    Ref shown = describe(held.get());
    PyErr_Format(PyExc_TypeError, "keys must be str, not %U (key %U)", name.get(), shown.get());
}

// The text int.__repr__ gives: an int subclass is written as an int.
Ref int_text(PyObject *obj) {
    static const auto repr = reinterpret_cast<reprfunc>(PyType_GetSlot(&PyLong_Type, Py_tp_repr));
    return Ref::steal(repr(obj));
}

// The text float.__repr__ gives ("nan", "inf" or "-inf" for the floats
// json's Python writer lets through: see python_real).
Ref float_text(PyObject *obj) {
    static const auto repr = reinterpret_cast<reprfunc>(PyType_GetSlot(&PyFloat_Type, Py_tp_repr));
    return Ref::steal(repr(obj));
}

class GeneralWriter : ContainerWalk {
public:
    explicit GeneralWriter(State &st)
        : ContainerWalk(!st.json_c_writer), st_(st), writer_(st),
          indent_with_brace_(!st.json_c_writer || Py_Version < 0x030D0500) {}

    Ref run(PyObject *root) {
        value(root);
        while (depth() != 0) {
            Frame &f = innermost();
            Ref held;  // what the container may drop while it is written
            PyObject *item = next_item(f, held);
            if (item == nullptr) {
                close();
                continue;
            }
            size_t level = depth();
            bool first = f.next == 1;
            if (f.is_dict) {
                PyObject *key = f.key.get();
                if (!PyUnicode_Check(key)) {
                    set_bad_key(key);
                    fail(level - 1);  // the key's own dict adds no note
                }
                if (!first || !indent_with_brace_) writer_.separator(first, level);
                writer_.string(key);
                writer_.out.put(": ", 2);
            } else {
                if (first) writer_.out.put("[", 1);  // json's Python writer: with the first item
                writer_.separator(first, level);
            }
            value(item);
        }
        writer_.out.put("\n", 1);
        return writer_.out.text();
    }

private:
    void put(const char *s, size_t n) { writer_.out.put(s, n); }

    void value(PyObject *obj) {
        if (obj == Py_None) return put("null", 4);
        if (obj == Py_True) return put("true", 4);
        if (obj == Py_False) return put("false", 5);
        if (PyUnicode_Check(obj)) return writer_.string(obj);
        if (PyLong_Check(obj)) return integer(obj);
        if (PyFloat_Check(obj)) return real(obj);
        if (PyList_Check(obj) || PyTuple_Check(obj)) return open_sequence(obj);
        if (PyDict_Check(obj)) return open_dict(obj);
        other(obj);
    }

    void integer(PyObject *obj) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (!writer_.integer(obj)) throw_error();
            return;
        }
        Ref text = int_text(obj);  // fails over sys.get_int_max_str_digits()
        if (!text) refuse();
        Py_ssize_t size = 0;
        const char *digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (digits == nullptr) throw_error();
        writer_.out.put(digits, static_cast<size_t>(size));
    }

    void real(PyObject *obj) {
        if (one_by_one_ && !PyFloat_CheckExact(obj)) return python_real(obj);
        if (writer_.real(obj)) return;
        refuse_float(obj);
    }

    [[noreturn, gnu::cold]] void refuse_float(PyObject *obj) {
        PyErr_Format(PyExc_ValueError, "Out of range float values are not JSON compliant: %R", obj);
        refuse();
    }

    // A float subclass, as json's Python writer writes it: `o != o` is NaN,
    // then `o == inf` and `o == -inf`, each through the subclass's own
    // comparison; anything else is float.__repr__ of the value (so a NaN
    // whose comparisons deny it is written "nan", as json writes it).
    [[gnu::cold]] void python_real(PyObject *obj) {
        int special = compare(obj, obj, Py_NE);
        for (double limit : {HUGE_VAL, -HUGE_VAL}) {
            if (special != 0) break;
            Ref bound = check(PyFloat_FromDouble(limit));
            special = compare(obj, bound.get(), Py_EQ);
        }
        if (special < 0) refuse();
        if (special > 0) refuse_float(obj);
        if (writer_.real(obj)) return;
        Ref text = float_text(obj);
        if (!text) refuse();
        Py_ssize_t size = 0;
        const char *p = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (p == nullptr) throw_error();
        writer_.out.put(p, static_cast<size_t>(size));
    }

    // The truth of `a op b`, or -1 with the error set.
    static int compare(PyObject *a, PyObject *b, int op) {
        Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
        return result ? PyObject_IsTrue(result.get()) : -1;
    }

    // Another type: json.dumps of the object alone, indented to this level,
    // or its error.
    [[gnu::cold]] void other(PyObject *obj) {
        PyObject *args[] = {obj, st_.indent, Py_True, Py_False};
        Ref text = Ref::steal(PyObject_Vectorcall(st_.json_dumps, args, 1, st_.dumps_kwnames));
        if (!text) refuse();
        Py_ssize_t size = 0;
        const char *p = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (p == nullptr) throw_error();
        size_t level = depth();
        for (const char *end = p + size; p < end;) {
            const char *line = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (line == nullptr) line = end;
            writer_.out.put(p, static_cast<size_t>(line - p));
            if (line == end) break;
            writer_.separator(true, level);
            p = line + 1;
        }
    }

    static Py_ssize_t length(PyObject *seq) { return PyList_Check(seq) ? PyList_Size(seq) : PyTuple_Size(seq); }

    // `obj` is held while it is read: iteration or items() may run code that
    // drops it from its parent.
    void open_sequence(PyObject *obj) {
        check_depth();
        Ref held = Ref::borrow(obj);
        bool list = PyList_CheckExact(obj);
        bool exact = list || PyTuple_CheckExact(obj);
        Ref items = held;
        Kind kind = list ? Kind::list : Kind::fixed;
        Py_ssize_t size = exact ? length(obj) : 0;
        if (one_by_one_) {  // `if not lst`, the cycle check, `for value in lst`
            if (exact ? size == 0 : !truth(obj)) return put("[]", 2);
            check_cycle(obj);
            if (!exact) {
                items = read(PyObject_GetIter(obj));
                kind = Kind::iterator;
            }
        } else {
            if (!exact) {  // a list of our own
                items = read(PySequence_Fast(obj, "_iterencode_list needs a sequence"));
                size = length(items.get());
            }
            if (size == 0) return put("[]", 2);
            check_cycle(obj);
        }
        push(obj, std::move(items), kind, false).size = size;
    }

    void open_dict(PyObject *obj) {
        check_depth();
        Ref held = Ref::borrow(obj);
        bool exact = PyDict_CheckExact(obj);
        Py_ssize_t size = PyDict_Size(obj);
        bool empty = exact || !one_by_one_ ? size == 0 : !truth(obj);
        if (empty) return put("{}", 2);
        check_cycle(obj);
        // Until 3.13.5 json writes the brace and the first indent before it
        // reads items(), so an items() that gives nothing leaves both.
        writer_.out.put("{", 1);
        if (indent_with_brace_) writer_.separator(true, depth() + 1);
        if (exact) {
            Frame &f = push(obj, Ref(), Kind::dict, true);
            f.size = f.left = size;
        } else if (one_by_one_) {
            Ref view = read(PyObject_CallMethod(obj, "items", nullptr));
            push(obj, read(PyObject_GetIter(view.get())), Kind::pair_iterator, true);
        } else {
            Ref pairs = read(PyMapping_Items(obj));  // a list of our own
            size = PyList_Size(pairs.get());
            push(obj, std::move(pairs), Kind::pairs, true).size = size;
        }
    }

    // The closing bracket, after the indent of its level. A list's opening
    // bracket comes with its first item, so json's Python writer writes only
    // this for a list subclass whose iteration gives nothing; from 3.13.5 an
    // items() that gives nothing leaves "{}".
    void close() {
        Frame &f = innermost();
        if (f.next > 0 || !f.is_dict || indent_with_brace_) writer_.separator(true, depth() - 1);
        writer_.out.put(f.is_dict ? "}" : "]", 1);
        pop();
    }

    State &st_;
    TextWriter writer_;
    bool indent_with_brace_;  // a dict's first indent is written with its brace
};

// Leaves the recursion level write_general entered.
struct RecursionLevel {
    RecursionLevel() = default;
    RecursionLevel(const RecursionLevel &) = delete;
    RecursionLevel &operator=(const RecursionLevel &) = delete;
    ~RecursionLevel() { Py_LeaveRecursiveCall(); }
};

}  // namespace

// The Python code the general writer runs may call dumps again: each call
// that gets here counts as a level against the recursion limit, as json's
// own writer counts its calls.
Ref write_general(State &st, PyObject *obj) {
    if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw_error();
    RecursionLevel level;
    auto writer = std::make_unique<GeneralWriter>(st);  // off the stack each entry takes
    return writer->run(obj);
}

}  // namespace vexil
