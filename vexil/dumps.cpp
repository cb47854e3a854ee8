// dumps: settings text, byte for byte what
// json.dumps(obj, indent=4, ensure_ascii=True, allow_nan=False) writes, plus
// one newline, with dict keys required to be str.
//
// This file holds the entry and decides which writer runs: the fast writer
// (fast_writer.hpp) first, in heap room the module keeps for it, and for
// what it refuses (a subclass, another type, a float json refuses, an int
// too long to print, deeper nesting, a cycle) the general writer
// (general_writer.cpp), which reads each container as json reads it and
// raises json's errors.

#include "fast_writer.hpp"

#include <new>
#include <utility>

namespace vexil {

void writer_room_free(State &st) noexcept { ::operator delete(std::exchange(st.writer_room, nullptr)); }

namespace {

// A fast writer made for one call in the room the module keeps for it, or
// in new room when a call already has that; the room goes back afterwards.
class WriterLease {
public:
    explicit WriterLease(State &st) : st_(st), room_(std::exchange(st.writer_room, nullptr)) {
        if (room_ == nullptr) room_ = ::operator new(sizeof(FastWriter));
        writer_ = new (room_) FastWriter(st);
    }
    WriterLease(const WriterLease &) = delete;
    WriterLease &operator=(const WriterLease &) = delete;
    ~WriterLease() {
        writer_->~FastWriter();
        if (st_.writer_room == nullptr)
            st_.writer_room = room_;
        else
            ::operator delete(room_);
    }
    FastWriter &operator*() { return *writer_; }

private:
    State &st_;
    void *room_;
    FastWriter *writer_;
};

// The text, or NULL when the general writer must write `obj`. The writer's
// room goes back to the module before the general writer runs, so a call it
// makes into dumps finds it free.
Ref write_fast(State &st, PyObject *obj) {
    WriterLease lease(st);
    FastWriter &writer = *lease;
    if (!writer.value(obj, 0)) return Ref();
    writer.out.put("\n", 1);
    return writer.out.text();
}

// The general writer's way in, apart from dumps, which leaves by a tail
// call: the fast writer's frame is off the stack while Python code runs.
[[gnu::noinline]] PyObject *dumps_general(State &st, PyObject *obj) {
    return boundary([&] { return write_general(st, obj); });
}

}  // namespace

PyObject *dumps(PyObject *module, PyObject *obj) {
    State &st = state_of(module);
    PyObject *text = boundary([&] { return write_fast(st, obj); });
    if (text != nullptr || PyErr_Occurred()) return text;
    return dumps_general(st, obj);
}

}  // namespace vexil
