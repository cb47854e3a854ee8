// The writers of dumps' leaves (strs, ints, floats), separators and
// indents, shared by the fast writer (fast_writer.hpp) and the general one
// (general_writer.cpp), so both give the same bytes. Apart from both because
// it is the one place that decides what the text looks like; nothing here
// runs Python code or decides which objects are written.
#pragma once

#include "output_buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vexil {

class TextWriter {
public:
    explicit TextWriter(State &st) : out(st) {}
    Buffer out;

    // ",\n" and the indent of a level, as one copy: `first` leaves out the comma.
    void separator(bool first, size_t level) {
        size_t skip = first ? 1 : 0;
        size_t n = 2 + 4 * level - skip;
        if (n <= 32) {  // settings nest a few levels: one fixed-size copy
            char *w = out.reserve(32);
            std::memcpy(w, kIndents.data() + skip, 32);
            return out.commit(w + n);
        }
        if (level > kTableLevels) return deep_separator(skip, level);
        out.put(kIndents.data() + skip, n);
    }

    bool integer(PyObject *obj) {
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (small == -1 && PyErr_Occurred()) throw_error();
            char *w = out.reserve(24);
            out.commit(std::to_chars(w, w + 24, small).ptr);
            return true;
        }
        Ref text = Ref::steal(PyObject_Str(obj));
        if (!text) {
            // Over sys.get_int_max_str_digits(): json raises that itself.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
            PyErr_Clear();
            return false;
        }
        Py_ssize_t size = 0;
        const char *digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (digits == nullptr) throw_error();
        out.put(digits, static_cast<size_t>(size));
        return true;
    }

    // float.__repr__, as json writes finite floats; json refuses the others.
    bool real(PyObject *obj) {
        double v = PyFloat_AsDouble(obj);
        if (!std::isfinite(v)) return false;
        if (!short_real(v)) any_real(v);
        return true;
    }

    // The shortest digits that read back as the same double come from
    // std::to_chars, as d[.ddd]e+XX; the layout is repr's: positional from
    // 1e-4 up to below 1e16 (with ".0" when there is no fraction), else
    // the same scientific form, whose exponent has at least two digits in
    // both. Digits are moved by fixed-size copies from a buffer with room
    // to spare; only the bytes counted are kept.
    [[gnu::noinline]] void any_real(double v) {
        char sci[64];
        char *end = std::to_chars(sci, sci + 32, std::fabs(v), std::chars_format::scientific).ptr;
        auto length = static_cast<size_t>(end - sci);
        size_t e = sci[length - 4] == 'e' ? length - 4 : length - 5;  // two or three exponent digits
        int exponent = 0;
        for (size_t k = e + 2; k < length; ++k) exponent = exponent * 10 + (sci[k] - '0');
        if (sci[e + 1] == '-') exponent = -exponent;
        // The digits side by side: the first moves onto the point (or the 'e').
        sci[1] = sci[0];
        const char *digits = sci + 1;
        size_t count = e == 1 ? 1 : e - 1;
        char *w = out.reserve(64);  // at most 24 characters, and copies of 17 past them
        if (std::signbit(v)) *w++ = '-';
        int point = exponent + 1;  // digits before the decimal point
        if (point <= -4 || point > 16) {
            *w++ = digits[0];
            if (count > 1) {
                *w++ = '.';
                std::memcpy(w, digits + 1, 16);
                w += count - 1;
            }
            *w++ = 'e';  // the digits may cover the one in `sci`
            std::memcpy(w, sci + e + 1, 8);
            w += length - e - 1;
        } else if (point <= 0) {
            std::memcpy(w, "0.000000", 8);
            w += 2 - point;
            std::memcpy(w, digits, 17);
            w += count;
        } else {
            auto before = static_cast<size_t>(point);
            std::memcpy(w, digits, 17);
            if (before < count) {
                std::memmove(w + before + 1, w + before, 16);
                w[before] = '.';
                w += count + 1;
            } else {
                w += count;
                std::memcpy(w, "0000000000000000", 16);
                w += before - count;
                std::memcpy(w, ".0", 2);
                w += 2;
            }
        }
        out.commit(w);
    }

    // A float below 1e9 with at most three decimals, as repr writes it,
    // without the general search for the shortest digits. Below 1e9 a
    // double is finer than 1e-3 by far, so at most one m / 1000 reads back
    // as v, and when one does, m is v * 1000 rounded (off by far less than
    // a half). It reads back when the division m / 1000, correctly rounded
    // like reading the text, gives v; the digits without m's trailing zeros
    // are then the fewest that do: repr's.
    bool short_real(double v) {
        double magnitude = std::fabs(v);
        if (!(magnitude < 1e9)) return false;
        auto m = static_cast<unsigned long long>(magnitude * 1000 + 0.5);
        if (static_cast<double>(m) / 1000 != magnitude) return false;
        char *w = out.reserve(32);
        if (std::signbit(v)) *w++ = '-';
        w = std::to_chars(w, w + 12, m / 1000).ptr;
        *w++ = '.';
        unsigned fraction = static_cast<unsigned>(m % 1000);
        if (fraction == 0) {
            *w++ = '0';
        } else {
            *w++ = static_cast<char>('0' + fraction / 100);
            if (fraction % 100 != 0) {
                *w++ = static_cast<char>('0' + fraction / 10 % 10);
                if (fraction % 10 != 0) *w++ = static_cast<char>('0' + fraction % 10);
            }
        }
        out.commit(w);
        return true;
    }

    // \uXXXX: the four digits side by side in the bytes of a word, each
    // made '0'-'9' or 'a'-'f' at once.
    static char *hex4(char *w, unsigned unit) {
        std::uint32_t n = (unit >> 12 & 15) | (unit >> 8 & 15) << 8 | (unit >> 4 & 15) << 16 | (unit & 15) << 24;
        std::uint32_t letters = (n + 0x06060606) >> 4 & 0x01010101;  // 1 in each byte over 9
        n += 0x30303030 + letters * ('a' - 10 - '0');
        w[0] = '\\';
        w[1] = 'u';
        for (int k = 0; k < 4; ++k) w[2 + k] = static_cast<char>(n >> 8 * k);
        return w + 6;
    }

    // One code point that is not printable ASCII, or is a quote or backslash.
    static char *escape(char *w, Py_UCS4 c) {
        if (c < 0x80 && kShortForm[c]) {
            w[0] = '\\';
            w[1] = kShortForm[c];
            return w + 2;
        }
        if (c < 0x10000) return hex4(w, c);
        c -= 0x10000;  // a surrogate pair
        w = hex4(w, 0xD800 | (c >> 10));
        return hex4(w, 0xDC00 | (c & 0x3FF));
    }
    static constexpr auto kShortForm = [] {
        std::array<char, 128> t{};
        t['"'] = '"';
        t['\\'] = '\\';
        t['\n'] = 'n';
        t['\r'] = 'r';
        t['\t'] = 't';
        t['\b'] = 'b';
        t['\f'] = 'f';
        return t;
    }();

    static bool plain(unsigned char c) { return kPlain[c]; }
    static constexpr auto kPlain = [] {
        std::array<bool, 256> t{};
        for (int c = 0x20; c < 0x7F; ++c) t[static_cast<size_t>(c)] = c != '"' && c != '\\';
        return t;
    }();

    // The bytes of `word` (in memory order) that need escaping, as bits.
    static unsigned special8(std::uint64_t word) {
#if defined(__SSE2__)
        __m128i v = _mm_cvtsi64_si128(static_cast<long long>(word));
        return mask(v) & 0xFF;
#else
        char bytes[8];
        std::memcpy(bytes, &word, 8);
        return special_bytes(bytes, 8);
#endif
    }

#if defined(__SSE2__)
    static unsigned mask(__m128i v) {
        // Signed: bytes from 0x80 count as negative, so below 0x20 too.
        __m128i bad = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
        return static_cast<unsigned>(_mm_movemask_epi8(bad));
    }
#else
    // The bits of the `n` bytes at `p` that need escaping, a byte at a time.
    static unsigned special_bytes(const char *p, int n) {
        unsigned bits = 0;
        for (int k = 0; k < n; ++k)
            if (!plain(static_cast<unsigned char>(p[k]))) bits |= 1u << k;
        return bits;
    }
#endif

    // Bytes p[0..16) that need escaping, as bits.
    static unsigned special16(const char *p) {
#if defined(__SSE2__)
        return mask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
#else
        return special_bytes(p, 16);
#endif
    }

    // Copies the 0 < `n` < 16 bytes at `p` to `w` and returns the bits of those
    // that need escaping. Two overlapping loads of 8 (or 4) bytes each, so
    // nothing outside the string is read and no load waits for a store.
    static unsigned tail(char *w, const char *p, size_t n) {
        if (n >= 8) return overlapping<std::uint64_t>(w, p, n);
        if (n >= 4) return overlapping<std::uint32_t>(w, p, n);
        // 1 to 3 bytes: the first, middle and last cover them all.
        auto first = static_cast<unsigned char>(p[0]);
        auto middle = static_cast<unsigned char>(p[n / 2]);
        auto last = static_cast<unsigned char>(p[n - 1]);
        w[0] = static_cast<char>(first);
        w[n / 2] = static_cast<char>(middle);
        w[n - 1] = static_cast<char>(last);
        return unsigned{!plain(first)} | unsigned{!plain(middle)} << (n / 2) | unsigned{!plain(last)} << (n - 1);
    }

    // tail() of sizeof(Word) <= `n` < 2 * sizeof(Word) bytes: the first and
    // the last Word.
    template <class Word>
    [[gnu::always_inline]] static unsigned overlapping(char *w, const char *p, size_t n) {
        constexpr size_t size = sizeof(Word);
        constexpr unsigned bytes = (1u << size) - 1;  // special8's bits of this word's bytes
        Word head = 0, end = 0;
        std::memcpy(&head, p, size);
        std::memcpy(&end, p + n - size, size);
        std::memcpy(w, &head, size);
        std::memcpy(w + n - size, &end, size);
        return (special8(head) & bytes) | (special8(end) & bytes) << (n - size);
    }

    [[gnu::always_inline]] void string(PyObject *obj) {
        Py_ssize_t size = 0;
        const char *p = PyUnicode_AsUTF8AndSize(obj, &size);
        if (p == nullptr) return string_with_surrogates(obj);
        size_t n = static_cast<size_t>(size);
        if (n - 1 < 15) {  // most keys and values: one copy, one check
            char *w = out.reserve(32);
            *w = '"';
            if (tail(w + 1, p, n) == 0) {
                w[n + 1] = '"';
                return out.commit(w + n + 2);
            }
        }
        long_string(p, n);
    }

    // Room is reserved a block of input at a time, for its worst case (6
    // characters a byte), so a long string costs what it writes.
    [[gnu::noinline]] void long_string(const char *p, size_t n) {
        size_t i = 0;
        char *w = out.reserve(6 * std::min(n, kBlock) + kSlack);
        *w++ = '"';
        for (;;) {
            size_t end = std::min(n, i + kBlock);
            while (i < end) {
                // 16 bytes at a time, then the tail.
                size_t take = std::min(n - i, size_t{16});
                unsigned bits;
                if (take == 16) {
                    bits = special16(p + i);
                    std::memcpy(w, p + i, 16);
                } else {
                    bits = tail(w, p + i, take);
                }
                size_t run = bits ? static_cast<size_t>(std::countr_zero(bits)) : take;
                w += run;
                i += run;
                if (run == take) continue;
                // Decode one UTF-8 sequence; the str made it, so it is well formed.
                auto byte = [&](size_t k) { return static_cast<Py_UCS4>(static_cast<unsigned char>(p[k])); };
                Py_UCS4 c = byte(i);
                size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
                if (extra) c &= 0x3Fu >> extra;
                for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
                w = escape(w, c);
                i += 1 + extra;
            }
            if (i >= n) break;
            out.commit(w);
            w = out.reserve(6 * std::min(n - i, kBlock) + kSlack);
        }
        *w++ = '"';
        out.commit(w);
    }

    // Lone surrogates have no UTF-8 form: read the code points instead.
    [[gnu::cold]] void string_with_surrogates(PyObject *obj) {
        drop_no_utf8();
        std::unique_ptr<Py_UCS4, void (*)(void *)> chars(PyUnicode_AsUCS4Copy(obj), PyMem_Free);
        if (!chars) throw_error();
        size_t size = static_cast<size_t>(PyUnicode_GetLength(obj));
        out.put("\"", 1);
        for (size_t i = 0; i < size;) {
            size_t end = std::min(size, i + kBlock);
            char *w = out.reserve(12 * (end - i));
            for (; i < end; ++i) {
                Py_UCS4 c = chars.get()[i];
                if (c < 0x80 && plain(static_cast<unsigned char>(c)))
                    *w++ = static_cast<char>(c);
                else
                    w = escape(w, c);
            }
            out.commit(w);
        }
        out.put("\"", 1);
    }

    [[gnu::cold]] void deep_separator(size_t skip, size_t level) {
        out.put(kIndents.data() + skip, 2 - skip);
        for (; level > kTableLevels; level -= kTableLevels) out.put(kIndents.data() + 2, 4 * kTableLevels);
        out.put(kIndents.data() + 2, 4 * level);
    }

    // Input bytes per reservation, and what a block may write past its
    // share: the quotes, and 16 bytes read from before its end (each up to
    // 6 characters, and the 16-byte copy or scan).
    static constexpr size_t kBlock = 4096;
    static constexpr size_t kSlack = 6 * 16 + 16 + 2;
    static constexpr size_t kTableLevels = 200;
    static constexpr auto kIndents = [] {
        std::array<char, 2 + 4 * kTableLevels> t{};
        t.fill(' ');
        t[0] = ',';
        t[1] = '\n';
        return t;
    }();
};

}  // namespace vexil
