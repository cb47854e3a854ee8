// The general writer: what json.dumps(obj, indent=4, ensure_ascii=True,
// allow_nan=False) writes or raises, for any object, with dict keys required
// to be str.
//
// Containers are read the way json's writer of this interpreter reads them,
// each once: a dict subclass through items() (every pair kept, repeated keys
// too), a list or tuple subclass through iteration. Objects of other types
// go one at a time to json.dumps, so its default() says what they become.
//
// The order of errors: a key that is not str, or a container that cannot be
// read, raises at once. A value json refuses (a float out of range, an int too
// long to print, another type, a cycle, nesting deeper than the recursion
// limit) is kept while the rest is still read for keys, so a bad key anywhere
// wins, and raised at the end. From 3.14, json adds a note to an error for
// each container it was writing ("when serializing dict item 'a'",
// innermost first); these notes are added the same way here.
//
// Nesting is followed on a heap stack, never the C stack.

#include "writer.hpp"

#include <unordered_set>
#include <vector>

namespace vexil {
namespace {

// Sets TypeError for a dict key that is not str.
[[gnu::cold]] void set_bad_key(PyObject *key) {
    Ref held = Ref::borrow(key);
    Ref name = type_name(held.get());
    Ref shown = describe(held.get());
    PyErr_Format(PyExc_TypeError, "keys must be str, not %U (key %U)", name.get(), shown.get());
}

// Adds to the raised exception the note `format` makes of `container` and
// `item`, as BaseException.add_note does (an override in a subclass is not
// called; json does not call it either). When the note cannot be made or
// added, that new error is raised with the old one as its context.
template <class Item>
[[gnu::cold]] void add_note(const char *format, PyObject *container, Item item) {
    PyObject *exc = PyErr_GetRaisedException();  // no Python code runs with an error set
    Ref note = Ref::steal(PyUnicode_FromFormat(format, container, item));
    if (note) {
        Ref method = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "add_note"));
        Ref done = method ? Ref::steal(PyObject_CallFunctionObjArgs(method.get(), exc, note.get(), nullptr)) : Ref();
        if (done) return PyErr_SetRaisedException(exc);
    }
    PyObject *now = PyErr_GetRaisedException();
    PyException_SetContext(now, exc);  // takes `exc`
    PyErr_SetRaisedException(now);
}

// The text int.__repr__ gives: an int subclass is written as an int.
Ref int_text(PyObject *obj) {
    static const auto repr = reinterpret_cast<reprfunc>(PyType_GetSlot(&PyLong_Type, Py_tp_repr));
    return Ref::steal(repr(obj));
}

class GeneralWriter {
public:
    explicit GeneralWriter(State &st)
        : st_(st), writer_(st), limit_(static_cast<size_t>(Py_GetRecursionLimit())),
          notes_(Py_Version >= 0x030E0000) {}

    Ref run(PyObject *root) {
        value(root);
        while (!stack_.empty()) {
            Frame &f = stack_.back();
            size_t level = stack_.size();
            if (f.next == f.size) {
                close();
                continue;
            }
            PyObject *item = item_at(f.items.get(), f.next++);
            if (f.is_dict) {
                PyObject *key = nullptr;
                item = pair(item, key);
                if (!PyUnicode_Check(key)) {
                    set_bad_key(key);
                    fail(level - 1);  // the key's own dict adds no note
                }
                f.key = key;
                if (writing_) {
                    writer_.separator(f.next == 1, level);
                    writer_.string(key);
                    writer_.out.put(": ", 2);
                }
            } else if (writing_) {
                writer_.separator(f.next == 1, level);
            }
            value(item);
        }
        if (pending_) {
            PyErr_SetRaisedException(pending_.release());
            throw_error();
        }
        writer_.out.put("\n", 1);
        return writer_.out.text();
    }

private:
    struct Frame {
        Ref container;  // as given: its type names notes, its address marks cycles
        Ref items;      // list or tuple of the values, or of (key, value) pairs
        Py_ssize_t size = 0;
        Py_ssize_t next = 0;      // the item being written is next - 1
        PyObject *key = nullptr;  // the key being written (held by `items`)
        bool is_dict = false;
    };

    static PyObject *item_at(PyObject *items, Py_ssize_t i) {
        PyObject *item = PyList_Check(items) ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i);
        if (item == nullptr) throw_error();
        return item;
    }

    // The value of a dict's pair; its key goes to `key`. json's C writer
    // wants 2-tuples; its Python writer unpacks any pair (made a tuple when
    // the dict was opened).
    PyObject *pair(PyObject *item, PyObject *&key) {
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
            fail(stack_.size() - 1);
        }
        key = item_at(item, 0);
        return item_at(item, 1);
    }

    void put(const char *s, size_t n) {
        if (writing_) writer_.out.put(s, n);
    }

    void value(PyObject *obj) {
        if (obj == Py_None) return put("null", 4);
        if (obj == Py_True) return put("true", 4);
        if (obj == Py_False) return put("false", 5);
        if (PyUnicode_Check(obj)) {
            if (writing_) writer_.string(obj);
            return;
        }
        if (PyLong_Check(obj)) return integer(obj);
        if (PyFloat_Check(obj)) return real(obj);
        if (PyList_Check(obj) || PyTuple_Check(obj)) return open_sequence(obj);
        if (PyDict_Check(obj)) return open_dict(obj);
        other(obj);
    }

    void integer(PyObject *obj) {
        if (!writing_) return;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (!writer_.integer(obj)) throw_error();
            return;
        }
        Ref text = int_text(obj);  // fails over sys.get_int_max_str_digits()
        if (!text) return refuse();
        Py_ssize_t size = 0;
        const char *digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (digits == nullptr) throw_error();
        writer_.out.put(digits, static_cast<size_t>(size));
    }

    void real(PyObject *obj) {
        if (!writing_) return;
        if (writer_.real(obj)) return;
        PyErr_Format(PyExc_ValueError, "Out of range float values are not JSON compliant: %R", obj);
        refuse();
    }

    // Another type: json.dumps of the object alone, indented to this level,
    // or its error.
    [[gnu::cold]] void other(PyObject *obj) {
        if (!writing_) return;
        PyObject *args[] = {obj, st_.indent, Py_True, Py_False};
        Ref text = Ref::steal(PyObject_Vectorcall(st_.json_dumps, args, 1, st_.dumps_kwnames));
        if (!text) return refuse();
        Py_ssize_t size = 0;
        const char *p = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (p == nullptr) throw_error();
        size_t level = stack_.size();
        for (const char *end = p + size; p < end;) {
            const char *line = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (line == nullptr) line = end;
            writer_.out.put(p, static_cast<size_t>(line - p));
            if (line == end) break;
            writer_.separator(true, level);
            p = line + 1;
        }
    }

    // A container at the next level would nest deeper than the recursion
    // limit: the error is kept and the container is not read.
    bool too_deep() {
        if (stack_.size() < limit_) return false;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a JSON object");
        refuse();
        return true;
    }

    // A container met again inside itself: the error is kept.
    bool cycle(PyObject *obj) {
        if (!active_.contains(obj)) return false;
        PyErr_SetString(PyExc_ValueError, "Circular reference detected");
        refuse();
        return true;
    }

    // Calls an API function that reads a container; its failure raises at once.
    Ref read(PyObject *result) {
        if (result == nullptr) fail(stack_.size());
        return Ref::steal(result);
    }
    bool truth(PyObject *obj) {
        int true_ = PyObject_IsTrue(obj);
        if (true_ < 0) fail(stack_.size());
        return true_ != 0;
    }

    // `obj` is held while it is read: iteration or items() may run code that
    // drops it from its parent.
    void open_sequence(PyObject *obj) {
        if (too_deep()) return;
        Ref held = Ref::borrow(obj);
        Ref items;
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            items = Ref::borrow(obj);
        } else if (st_.json_c_writer) {
            items = read(PySequence_Fast(obj, "_iterencode_list needs a sequence"));
        } else {
            if (!truth(obj)) return put("[]", 2);
            items = read(PySequence_List(obj));
        }
        Py_ssize_t size = PyList_Check(items.get()) ? PyList_Size(items.get()) : PyTuple_Size(items.get());
        if (size == 0) return put("[]", 2);
        if (cycle(obj)) return;
        push(obj, std::move(items), size, false);
        put("[", 1);
    }

    void open_dict(PyObject *obj) {
        if (too_deep()) return;
        Ref held = Ref::borrow(obj);
        bool exact = PyDict_CheckExact(obj);
        bool empty = exact || st_.json_c_writer ? PyDict_Size(obj) == 0 : !truth(obj);
        if (empty) return put("{}", 2);
        if (cycle(obj)) return;
        Ref items = exact ? read(PyDict_Items(obj)) : st_.json_c_writer ? read(PyMapping_Items(obj)) : python_items(obj);
        Py_ssize_t size = PyList_Size(items.get());
        if (size == 0) return put("{}", 2);
        push(obj, std::move(items), size, true);
        put("{", 1);
    }

    // The pairs json's Python writer reads: items() iterated, each unpacked.
    Ref python_items(PyObject *obj) {
        Ref got = read(PyObject_CallMethod(obj, "items", nullptr));
        Ref list = read(PySequence_List(got.get()));
        Py_ssize_t n = PyList_Size(list.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref pair = read(PySequence_Tuple(item_at(list.get(), i)));
            Py_ssize_t count = PyTuple_Size(pair.get());
            if (count > 2) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            if (count < 2) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", count);
            if (count != 2) fail(stack_.size());
            if (PyList_SetItem(list.get(), i, pair.release()) < 0) throw_error();
        }
        return list;
    }

    void push(PyObject *obj, Ref items, Py_ssize_t size, bool is_dict) {
        stack_.push_back(Frame{.container = Ref::borrow(obj), .items = std::move(items), .size = size, .next = 0,
                               .key = nullptr, .is_dict = is_dict});
        active_.insert(obj);
    }

    void close() {
        Frame &f = stack_.back();
        if (writing_) {
            writer_.separator(true, stack_.size() - 1);
            writer_.out.put(f.is_dict ? "}" : "]", 1);
        }
        active_.erase(f.container.get());
        stack_.pop_back();
    }

    // The raised exception gets a note for each of the innermost `frames`
    // containers, innermost first, as json's writer adds them on its way out.
    [[gnu::cold]] void annotate(size_t frames) {
        if (!notes_) return;
        for (size_t k = frames; k-- > 0;) {
            const Frame &f = stack_[k];
            PyObject *container = f.container.get();
            if (f.is_dict)
                add_note("when serializing %T item %R", container, f.key);
            else
                add_note("when serializing %T item %zd", container, f.next - 1);
        }
    }

    // An error that stops everything.
    [[noreturn, gnu::cold]] void fail(size_t frames) {
        annotate(frames);
        throw_error();
    }

    // A value json refuses: the first is kept and raised once every key has
    // been checked; nothing more is written.
    [[gnu::cold]] void refuse() {
        if (pending_) return PyErr_Clear();
        annotate(stack_.size());
        pending_ = Ref::steal(PyErr_GetRaisedException());
        writing_ = false;
    }

    State &st_;
    Writer writer_;
    size_t limit_;
    bool notes_;
    bool writing_ = true;
    Ref pending_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject *> active_;
};

}  // namespace

Ref write_general(State &st, PyObject *obj) { return GeneralWriter(st).run(obj); }

}  // namespace vexil
