// How the general writer (general_writer.cpp) walks nested containers: the
// heap stack of those open, each read live as json's writer of this
// interpreter reads it, a cycle or nesting json refuses, and the error json
// would raise on the way. Apart from the writer because this is what is read
// and raised, and when; the writer decides only what is written.
//
// Containers are read live, so Python code that the call runs (a subclass's
// items() or __iter__, a float's comparison) and that changes a container
// being written is seen as json sees it:
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
//     it, and a container's truth says whether it is empty.
//
// Errors: the first error ends the walk, raised where json's writer raises
// it: a value json refuses (a float out of range, an int too long to print,
// another type, a cycle, nesting deeper than the recursion limit), a
// container that cannot be read, or a key that is not str (checked where
// json checks the keys it refuses). Nothing after it is read, so no Python
// code runs that json would not run: not a later container's __iter__ or
// items(), nor an iterator that never ends. From 3.14, json adds a note to
// an error for each container it was writing ("when serializing dict item
// 'a'", innermost first); these notes are added the same way here.
#pragma once

#include "vexil.hpp"

#include <unordered_set>
#include <vector>

namespace vexil {
// general_writer.cpp's own (this header is its alone): with internal linkage
// the compiler treats the walk as that file's code, inlining it into the
// writer's loop as it would there.
namespace {

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

class ContainerWalk {
protected:
    explicit ContainerWalk(bool one_by_one)
        : one_by_one_(one_by_one), limit_(static_cast<size_t>(Py_GetRecursionLimit())),
          notes_(Py_Version >= 0x030E0000) {}

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
                fail(stack_.size() - 1);
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

    // Raises when a container at the next level would nest deeper than the
    // recursion limit; it is not read.
    void check_depth() {
        if (stack_.size() >= limit_)
            refuse(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a JSON object");
    }

    // Raises when `obj` is met again inside itself.
    void check_cycle(PyObject *obj) {
        if (active_.contains(obj)) refuse(PyExc_ValueError, "Circular reference detected");
    }

    // Calls of API functions that read a container being opened.
    Ref read(PyObject *result) {
        if (result == nullptr) fail(stack_.size());
        return Ref::steal(result);
    }
    bool truth(PyObject *obj) {
        int true_ = PyObject_IsTrue(obj);
        if (true_ < 0) fail(stack_.size());
        return true_ != 0;
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

    void pop() {
        active_.erase(stack_.back().container.get());
        stack_.pop_back();
    }

    // The raised error ends the walk; the innermost `frames` containers get
    // their notes.
    [[noreturn, gnu::cold]] void fail(size_t frames) {
        annotate(frames);
        throw_error();
    }

    // A value json refuses, whose error is raised: every open container
    // notes it.
    [[noreturn, gnu::cold]] void refuse() { fail(stack_.size()); }

    // The open containers: how many, and the innermost.
    size_t depth() const { return stack_.size(); }
    Frame &innermost() { return stack_.back(); }

    const bool one_by_one_;  // json's Python writer (3.12): item by item

private:
    // An iterator gave nothing: its end, or an error.
    PyObject *iteration_ended() {
        if (PyErr_Occurred()) fail(stack_.size() - 1);
        return nullptr;
    }

    // An exact dict's next pair. PyDict_Next moves through the dict as it is
    // now, as json's C writer does; on 3.12 the checks of the dict's items
    // iterator come first.
    PyObject *dict_next(Frame &f, Ref &held) {
        PyObject *dict = f.container.get();
        if (one_by_one_ && PyDict_Size(dict) != f.size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            fail(stack_.size() - 1);
        }
        PyObject *key = nullptr;
        PyObject *item = nullptr;
        if (!PyDict_Next(dict, &f.pos, &key, &item)) return nullptr;
        if (one_by_one_ && f.left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            fail(stack_.size() - 1);
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
            fail(stack_.size() - 1);
        }
        Ref *parts[] = {&key, &item};
        for (int i = 0; i < 2; ++i) {
            *parts[i] = Ref::steal(PyIter_Next(it.get()));
            if (*parts[i]) continue;
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            fail(stack_.size() - 1);
        }
        Ref extra = Ref::steal(PyIter_Next(it.get()));
        if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (extra || PyErr_Occurred()) fail(stack_.size() - 1);
    }

    // A refused value of `type` with `message`.
    [[noreturn, gnu::cold]] void refuse(PyObject *type, const char *message) {
        PyErr_SetString(type, message);
        refuse();
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

    size_t limit_;
    bool notes_;
    std::vector<Frame> stack_;
    std::unordered_set<PyObject *> active_;
};

}  // namespace
}  // namespace vexil
