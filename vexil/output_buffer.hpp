// dumps' output: a growable byte buffer written through raw pointers, whose
// memory the module keeps between calls. Apart from the writers that fill it
// (text_writer.hpp) because its rules are about memory, not text: where the
// bytes live, when they are kept, and how the buffer grows.
#pragma once

#include "vexil.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vexil {

// A growable byte buffer written through raw pointers: reserve() room, write,
// commit() the end. Its memory is the module's scratch buffer when that is
// free (a nested call makes its own), and goes back there afterwards unless
// it grew large: a settings text then costs no page faults of a fresh
// allocation on every call.
class Buffer {
public:
    explicit Buffer(State &st) : st_(st) {
        data_ = std::exchange(st.scratch, nullptr);
        size_t cap = data_ == nullptr ? 0 : std::exchange(st.scratch_capacity, 0);
        end_ = data_ + cap;
        next_ = data_;
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (st_.scratch == nullptr && capacity() <= kKeep) {
            st_.scratch = data_;
            st_.scratch_capacity = capacity();
        } else {
            std::free(data_);
        }
    }

    char *reserve(size_t n) {
        if (static_cast<size_t>(end_ - next_) < n) grow(n);
        return next_;
    }
    void commit(char *end) { next_ = end; }
    void put(const char *s, size_t n) { commit(copy(reserve(n), s, n)); }
    const char *data() const { return data_; }
    size_t size() const { return static_cast<size_t>(next_ - data_); }

    // The text as a str. A large buffer first gives back its unused room,
    // so the copy does not come on top of it.
    Ref text() {
        size_t size = this->size();
        if (capacity() > kKeep && capacity() - size > kKeep) {
            if (void *data = std::realloc(data_, size)) set(static_cast<char *>(data), size, size);
        }
        return check(PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(size)));
    }

    static char *copy(char *w, const char *s, size_t n) {
        std::memcpy(w, s, n);
        return w + n;
    }

private:
    size_t capacity() const { return static_cast<size_t>(end_ - data_); }
    void set(char *data, size_t size, size_t cap) {
        data_ = data;
        next_ = data + size;
        end_ = data + cap;
    }

    // Large buffers grow by a quarter: realloc moves their pages without
    // copying, and the room left over is address space held for nothing.
    [[gnu::cold]] void grow(size_t n) {
        size_t size = this->size();
        size_t cap = capacity();
        size_t step = cap < kKeep ? cap : cap / 4;
        size_t grown = std::max({cap + step, size + n, size_t{4096}});
        void *data = std::realloc(data_, grown);
        if (data == nullptr) throw std::bad_alloc();
        set(static_cast<char *>(data), size, grown);
    }

    static constexpr size_t kKeep = size_t{1} << 20;  // bytes kept between calls at most
    State &st_;
    char *data_ = nullptr;
    char *next_ = nullptr;  // where the next byte goes
    char *end_ = nullptr;
};

}  // namespace vexil
