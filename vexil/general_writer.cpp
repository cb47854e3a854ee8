// The general writer: what json.dumps(obj, indent=4, ensure_ascii=True,
// allow_nan=False) writes or raises, for any object, with dict keys required
// to be str.
//
// Containers are read as json's writer of this interpreter reads them, live,
// so Python code that this call runs (a subclass's items() or __iter__, a
// float's comparison) and that changes a container being written is seen as
// json sees it:
//   - From 3.13, json's C writer: an exact list by index, while the index is
//     below its length at that moment (a list shrunk ends early, a list grown
//     is written to its new end); an exact dict by PyDict_Next, so keys added
//     are written; a dict subclass's items() and a list or tuple subclass's
//     iteration are read whole when the container is opened (every pair
//     kept, repeated keys too).
//   - 3.12, json's Python writer, one item at a time: each item is written
//     before the next is read. An exact dict is read as its items iterator
//     reads it (RuntimeError once it changes size), a subclass through its
//     iterator or that of items(), each pair unpacked as a for loop unpacks
//     it, and a container's truth says whether it is empty. A float subclass
//     is tested as json tests floats: o != o, then o == inf and o == -inf.
// Objects of other types go one at a time to json.dumps, so its default()
// says what they become.
//
// The order of errors: a key that is not str, or a container that cannot be
// read, raises at once. A value json refuses (a float out of range, an int too
// long to print, another type, a cycle, nesting deeper than the recursion
// limit) is kept while the rest is still read for keys, so a bad key anywhere
// wins, and raised at the end; a container that cannot be read after it
// raises the kept error, as json stopped before reading it. From 3.14, json
// adds a note to an error for each container it was writing ("when
// serializing dict item 'a'", innermost first); these notes are added the
// same way here.
//
// Nesting is followed on a heap stack, never the C stack: a call needs the
// same small stack at any depth, and each call that gets here counts against
// the recursion limit, since the Python code it runs may call dumps again.

#include "writer.hpp"

#include <cmath>
#include <memory>
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

// The text float.__repr__ gives ("nan", "inf" or "-inf" for the floats
// json's Python writer lets through: see python_real).
Ref float_text(PyObject *obj) {
    static const auto repr = reinterpret_cast<reprfunc>(PyType_GetSlot(&PyFloat_Type, Py_tp_repr));
    return Ref::steal(repr(obj));
}

class GeneralWriter {
public:
    explicit GeneralWriter(State &st)
        : st_(st), writer_(st), limit_(static_cast<size_t>(Py_GetRecursionLimit())),
          notes_(Py_Version >= 0x030E0000), indent_with_brace_(!st.json_c_writer || Py_Version < 0x030D0500),
          one_by_one_(!st.json_c_writer) {}

    Ref run(PyObject *root) {
        value(root);
        while (!stack_.empty()) {
            Frame &f = stack_.back();
            Ref held;  // what the container may drop while it is written
            PyObject *item = next_item(f, held);
            if (item == nullptr) {
                close();
                continue;
            }
            size_t level = stack_.size();
            bool first = f.next == 1;
            if (f.is_dict) {
                PyObject *key = f.key.get();
                if (!PyUnicode_Check(key)) {
                    set_bad_key(key);
                    fail(level - 1);  // the key's own dict adds no note
                }
                if (writing_) {
                    if (!first || !indent_with_brace_) writer_.separator(first, level);
                    writer_.string(key);
                    writer_.out.put(": ", 2);
                }
            } else if (writing_) {
                if (first) writer_.out.put("[", 1);  // json's Python writer: with the first item
                writer_.separator(first, level);
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
    // How a container's items are read.
    enum class Kind : unsigned char {
        fixed,          // `items` is a tuple, or a list of our own: `size` items
        list,           // `items` is an exact list, read to its length at each step
        iterator,       // `items` is an iterator of values
        dict,           // `container` is an exact dict, read by PyDict_Next
        pairs,          // `items` is the list of `size` pairs items() gave
        pair_iterator,  // `items` is an iterator of pairs
    };

    struct Frame {
        Ref container;  // as given: its type names notes, its address marks cycles
        Ref items;
        Kind kind = Kind::fixed;
        bool is_dict = false;
        Py_ssize_t next = 0;  // items read; the one being written is next - 1
        Py_ssize_t size = 0;  // see Kind; for an exact dict read one item at
        Py_ssize_t left = 0;  // a time, its size when opened and the items
                              // its iterator may still give, as dict iterators count
        Py_ssize_t pos = 0;   // PyDict_Next's position
        Ref key;              // the key being written
    };

    // The next item of `f` (a dict's key into f.key), or NULL at its end. An
    // item its container does not keep for good is held by `held`.
    PyObject *next_item(Frame &f, Ref &held) {
        PyObject *item = nullptr;
        switch (f.kind) {
        case Kind::fixed:
            if (f.next == f.size) return nullptr;
            item = PyList_Check(f.items.get()) ? PyList_GetItem(f.items.get(), f.next)
                                               : PyTuple_GetItem(f.items.get(), f.next);
            break;
        case Kind::list:
            if (f.next >= PyList_Size(f.items.get())) return nullptr;
            held = Ref::borrow(PyList_GetItem(f.items.get(), f.next));
            item = held.get();
            break;
        case Kind::iterator:
            held = Ref::steal(PyIter_Next(f.items.get()));
            if (!held) return iteration_ended();
            item = held.get();
            break;
        case Kind::dict:
            item = dict_next(f, held);
            if (item == nullptr) return nullptr;
            break;
        case Kind::pairs: {
            if (f.next == f.size) return nullptr;
            PyObject *pair = PyList_GetItem(f.items.get(), f.next);
            if (pair == nullptr) throw_error();
            if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
                PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                read_failed(stack_.size() - 1);
            }
            f.key = Ref::borrow(PyTuple_GetItem(pair, 0));
            item = PyTuple_GetItem(pair, 1);
            break;
        }
        case Kind::pair_iterator: {
            Ref pair = Ref::steal(PyIter_Next(f.items.get()));
            if (!pair) return iteration_ended();
            unpack(pair.get(), f.key, held);
            item = held.get();
            break;
        }
        }
        if (item == nullptr) throw_error();
        ++f.next;
        return item;
    }

    // An iterator gave nothing: its end, or an error.
    PyObject *iteration_ended() {
        if (PyErr_Occurred()) read_failed(stack_.size() - 1);
        return nullptr;
    }

    // An exact dict's next pair. PyDict_Next moves through the dict as it is
    // now, as json's C writer does; on 3.12 the checks of the dict's items
    // iterator come first.
    PyObject *dict_next(Frame &f, Ref &held) {
        PyObject *dict = f.container.get();
        if (one_by_one_ && PyDict_Size(dict) != f.size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            read_failed(stack_.size() - 1);
        }
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        if (!PyDict_Next(dict, &f.pos, &key, &item)) return nullptr;
        if (one_by_one_ && f.left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            read_failed(stack_.size() - 1);
        }
        f.key = Ref::borrow(key);
        held = Ref::borrow(item);
        return item;
    }

    // `for key, value in items`: a pair unpacked as Python unpacks it.
    void unpack(PyObject *pair, Ref &key, Ref &item) {
        if (PyTuple_CheckExact(pair) && PyTuple_Size(pair) == 2) {  // nothing to see in iterating it
            key = Ref::borrow(PyTuple_GetItem(pair, 0));
            item = Ref::borrow(PyTuple_GetItem(pair, 1));
            return;
        }
        Ref it = Ref::steal(PyObject_GetIter(pair));
        if (!it) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyType_GetSlot(Py_TYPE(pair), Py_tp_iter) &&
                !PySequence_Check(pair)) {
                PyErr_Clear();
                Ref name = interpreter_type_name(Py_TYPE(pair));
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", name.get());
            }
            read_failed(stack_.size() - 1);
        }
        Ref *parts[] = {&key, &item};
        for (int i = 0; i < 2; ++i) {
            *parts[i] = Ref::steal(PyIter_Next(it.get()));
            if (*parts[i]) continue;
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            read_failed(stack_.size() - 1);
        }
        Ref extra = Ref::steal(PyIter_Next(it.get()));
        if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (extra || PyErr_Occurred()) read_failed(stack_.size() - 1);
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
        if (one_by_one_ && !PyFloat_CheckExact(obj)) return python_real(obj);
        if (writer_.real(obj)) return;
        refuse_float(obj);
    }

    [[gnu::cold]] void refuse_float(PyObject *obj) {
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
        if (special < 0) return refuse();
        if (special > 0) return refuse_float(obj);
        if (writer_.real(obj)) return;
        Ref text = float_text(obj);
        if (!text) return refuse();
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

    // Calls an API function that reads a container being opened; its
    // failure raises at once.
    Ref read(PyObject *result) {
        if (result == nullptr) read_failed(stack_.size());
        return Ref::steal(result);
    }
    bool truth(PyObject *obj) {
        int true_ = PyObject_IsTrue(obj);
        if (true_ < 0) read_failed(stack_.size());
        return true_ != 0;
    }

    static Py_ssize_t length(PyObject *seq) { return PyList_Check(seq) ? PyList_Size(seq) : PyTuple_Size(seq); }

    // `obj` is held while it is read: iteration or items() may run code that
    // drops it from its parent.
    void open_sequence(PyObject *obj) {
        if (too_deep()) return;
        Ref held = Ref::borrow(obj);
        bool list = PyList_CheckExact(obj);
        bool exact = list || PyTuple_CheckExact(obj);
        Ref items = held;
        Kind kind = list ? Kind::list : Kind::fixed;
        Py_ssize_t size = exact ? length(obj) : 0;
        if (one_by_one_) {  // `if not lst`, the cycle check, `for value in lst`
            if (exact ? size == 0 : !truth(obj)) return put("[]", 2);
            if (cycle(obj)) return;
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
            if (cycle(obj)) return;
        }
        push(obj, std::move(items), kind, false).size = size;
    }

    void open_dict(PyObject *obj) {
        if (too_deep()) return;
        Ref held = Ref::borrow(obj);
        bool exact = PyDict_CheckExact(obj);
        Py_ssize_t size = PyDict_Size(obj);
        bool empty = exact || !one_by_one_ ? size == 0 : !truth(obj);
        if (empty) return put("{}", 2);
        if (cycle(obj)) return;
        // Until 3.13.5 json writes the brace and the first indent before it
        // reads items(), so an items() that gives nothing leaves both.
        if (writing_) {
            writer_.out.put("{", 1);
            if (indent_with_brace_) writer_.separator(true, stack_.size() + 1);
        }
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

    Frame &push(PyObject *obj, Ref items, Kind kind, bool is_dict) {
        Frame &f = stack_.emplace_back();
        f.container = Ref::borrow(obj);
        f.items = std::move(items);
        f.kind = kind;
        f.is_dict = is_dict;
        active_.insert(obj);
        return f;
    }

    // The closing bracket, after the indent of its level. A list's opening
    // bracket comes with its first item, so json's Python writer writes only
    // this for a list subclass whose iteration gives nothing; from 3.13.5 an
    // items() that gives nothing leaves "{}".
    void close() {
        Frame &f = stack_.back();
        if (writing_) {
            if (f.next > 0 || !f.is_dict || indent_with_brace_) writer_.separator(true, stack_.size() - 1);
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
                add_note("when serializing %T item %R", container, f.key.get());
            else
                add_note("when serializing %T item %zd", container, f.next - 1);
        }
    }

    // An error that stops everything.
    [[noreturn, gnu::cold]] void fail(size_t frames) {
        annotate(frames);
        throw_error();
    }

    // Reading a container failed. After a refused value the rest is read
    // only to look for keys, where json had already stopped: its error is
    // raised (an interruption, not an Exception, still goes through).
    [[noreturn, gnu::cold]] void read_failed(size_t frames) {
        if (pending_ && PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            PyErr_SetRaisedException(pending_.release());
            throw_error();
        }
        fail(frames);
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
    TextWriter writer_;
    size_t limit_;
    bool notes_;
    bool indent_with_brace_;  // a dict's first indent is written with its brace
    bool one_by_one_;  // json's Python writer (3.12): item by item
    bool writing_ = true;
    Ref pending_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject *> active_;
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
