// The native JSON reader: one pass over the UTF-8 bytes of the text with an
// explicit stack of open containers, building the same objects json.loads
// builds (see parser.hpp for what it leaves to json).
//
// What json does and this file copies:
//   - numbers: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? ; with a
//     fraction or an exponent float(text), else int(text);
//   - strings: no control characters below U+0020 (strict mode), the escapes
//     \" \\ \/ \b \f \n \r \t \uXXXX, and a \u high surrogate joined with a
//     \u low surrogate right after it, any other surrogate kept alone;
//   - objects: keys in first-seen order, the last value of a repeated key;
//   - white space: space, tab, line feed and carriage return only;
//   - each container passes through the interpreter's recursion check, as
//     json's scanner does when it recurses.

#include "parser.hpp"

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
#include <string>
#include <system_error>
#include <cstdlib>
#include <new>

namespace vexil {

// Recently made short strings, by their bytes: settings repeat a few keys
// and values many times (and are often read more than once), and reusing the
// str, with its hash already computed, is several times cheaper than making
// it again. Two ways per set, so that two frequent strings that share a set
// do not keep evicting each other.
struct KeyCache {
    static constexpr unsigned kSets = 256;
    static constexpr size_t kWords = 6;
    static constexpr Py_ssize_t kLongest = kWords * 8;
    struct Entry {
        Py_ssize_t size;
        PyObject *key;  // owned; NULL when empty
        uint64_t word[kWords];  // the bytes, zero-padded
    };
    struct alignas(64) Set {  // two cache lines
        Entry way[2];
    };
    Set sets[kSets];
    unsigned char victim[kSets];  // the way a miss replaces in each set: the one not used last
};

void key_cache_free(State &st) noexcept {
    KeyCache *cache = std::exchange(st.key_cache, nullptr);
    if (cache == nullptr) return;
    for (auto &set : cache->sets)
        for (auto &entry : set.way) Py_XDECREF(entry.key);
    delete cache;
}

namespace {

// The text is not one json takes as it is: json decides.
struct Refused {};
[[noreturn, gnu::cold]] void refuse() { throw Refused{}; }

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighs = 0x8080808080808080;

inline uint64_t load8(const char *p) noexcept {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// A 64-bit hash step: both halves of the full product, so that every input
// bit reaches the low bits, which choose the cache set.
inline uint64_t mix(uint64_t x) noexcept {
    __extension__ using Wide = unsigned __int128;
    Wide product = static_cast<Wide>(x) * 0x9E3779B97F4A7C15u;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

// High bit set in each byte of `word` that is zero. Exact for the lowest such
// byte, which is all the callers use.
inline uint64_t zero_bytes(uint64_t word) noexcept { return (word - kOnes) & ~word & kHighs; }

// High bit set in each byte below 0x20 (same exactness).
inline uint64_t control_bytes(uint64_t word) noexcept { return (word - kOnes * 0x20) & ~word & kHighs; }

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The bytes that end a run of plain string content.
inline bool string_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

// The value of each hex digit, -1 for every other byte.
constexpr auto kHexValue = [] {
    std::array<int8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<size_t>(c)] = c >= '0' && c <= '9' ? static_cast<int8_t>(c - '0')
                                        : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                        : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                                               : int8_t{-1};
    return table;
}();

// A str of the code points, lone surrogates included.
PyObject *str_of(const char32_t *text, size_t size) {
    PyObject *s;
    if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
        s = PyUnicode_FromWideChar(reinterpret_cast<const wchar_t *>(text), static_cast<Py_ssize_t>(size));
    } else {
        int order = kLittleEndian ? -1 : 1;
        s = PyUnicode_DecodeUTF32(reinterpret_cast<const char *>(text), static_cast<Py_ssize_t>(size * sizeof(char32_t)),
                                  "surrogatepass", &order);
    }
    if (s == nullptr) throw_error();
    return s;
}

// A stack of trivially copyable items that lives inline up to N of them and
// on the heap, doubling, beyond: small texts allocate nothing.
template <class T, size_t N>
class Stack {
public:
    Stack() = default;
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;
    ~Stack() {
        if (data_ != inline_) std::free(data_);
    }
    void push_back(const T &item) {
        if (size_ == capacity_) grow();
        data_[size_++] = item;
    }
    T &back() noexcept { return data_[size_ - 1]; }
    void pop_back() noexcept { --size_; }
    bool empty() const noexcept { return size_ == 0; }
    size_t size() const noexcept { return size_; }
    void shrink(size_t size) noexcept { size_ = size; }
    T &operator[](size_t i) noexcept { return data_[i]; }
    T *begin() noexcept { return data_; }
    T *end() noexcept { return data_ + size_; }

private:
    [[gnu::cold]] void grow() {
        size_t capacity = capacity_ * 2;
        void *heap = data_ == inline_ ? std::malloc(capacity * sizeof(T)) : std::realloc(data_, capacity * sizeof(T));
        if (heap == nullptr) throw std::bad_alloc();
        if (data_ == inline_) std::memcpy(heap, inline_, size_ * sizeof(T));
        data_ = static_cast<T *>(heap);
        capacity_ = capacity;
    }
    T inline_[N];
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

// An open container: a dict with the key waiting for its value, or a list
// whose items are values_[base:].
struct Frame {
    PyObject *dict;  // owned; NULL for a list
    PyObject *key;   // owned; NULL between entries
    size_t base;
};

class Reader {
public:
    Reader(State &st, const char *text, Py_ssize_t size) : st_(st), p_(text), end_(text + size) {}
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader() {
        for (PyObject *v : values_) Py_DECREF(v);
        for (Frame &f : frames_) {
            Py_XDECREF(f.dict);
            Py_XDECREF(f.key);
        }
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }

    Ref run();

private:
    const char *skip_space(const char *p) const noexcept;
    const char *skip_space_run(const char *p) const noexcept;
    PyObject *value();
    void open_key();
    PyObject *string();
    [[gnu::noinline]] PyObject *escaped_string(const char *start, const char *at);
    char32_t *room(size_t size);
    int32_t hex4(const char *p) const noexcept;
    const char *find_special(const char *p) const noexcept;
    PyObject *number();
    PyObject *big_int(const char *start);
    PyObject *slow_float(const char *start);
    [[gnu::noinline]] PyObject *long_string(const char *start);
    PyObject *short_string(const char *start, Py_ssize_t size, uint64_t word0, uint64_t word1);
    PyObject *cached_string(const char *start, Py_ssize_t size);
    [[gnu::noinline]] PyObject *cache_new_string(KeyCache &cache, KeyCache::Set &set, const char *start,
                                                 Py_ssize_t size, const uint64_t *word);
    [[gnu::noinline]] PyObject *new_string(const char *start, Py_ssize_t size);
    PyObject *make_list(size_t base);
    void enter();
    void leave() noexcept;
    void push(PyObject *v);

    State &st_;
    const char *p_;
    const char *const end_;
    Stack<PyObject *, 64> values_;  // owned items of the open lists
    Stack<Frame, 16> frames_;
    std::string scratch_;
    std::u32string text_;
    int entered_ = 0;
};

// Past the white space at p. Most calls find a value or a separator at once,
// or after the one space of ": " and ", "; indentation takes the loop.
inline const char *Reader::skip_space(const char *p) const noexcept {
    if (end_ - p >= 2) {
        if (static_cast<unsigned char>(p[0]) > ' ') return p;
        if (p[0] == ' ' && static_cast<unsigned char>(p[1]) > ' ') return p + 1;
    }
    return skip_space_run(p);
}

const char *Reader::skip_space_run(const char *p) const noexcept {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i tab = _mm_set1_epi8('\t');
    for (; end_ - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i white = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, lf)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, tab)));
        auto other = static_cast<unsigned>(_mm_movemask_epi8(white)) ^ 0xFFFFu;
        if (other) return p + std::countr_zero(other);
    }
#endif
    while (p < end_) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c > ' ') return p;
        if (c == ' ') {
            // Indentation comes in runs of spaces.
            if (kLittleEndian && end_ - p >= 8) {
                uint64_t other = load8(p) ^ (kOnes * ' ');
                p += other ? std::countr_zero(other) >> 3 : 8;
            } else {
                ++p;
            }
        } else if (c == '\n' || c == '\r' || c == '\t') {
            ++p;
        } else {
            return p;
        }
    }
    return p;
}

// Deeper texts are left to json's scanner, whatever the interpreter allows:
// where the interpreter bounds recursion by the C stack (3.14 on), a loop
// like this one would never meet that bound.
constexpr int kDeepest = 1000;

// The json scanner checks the recursion limit once for its own call and once
// per container; the same checks here refuse the same depths.
void Reader::enter() {
    if (entered_ > kDeepest) refuse();
    if (Py_EnterRecursiveCall(" while decoding JSON")) {
        PyErr_Clear();  // json raises its own error
        refuse();
    }
    ++entered_;
}

void Reader::leave() noexcept {
    Py_LeaveRecursiveCall();
    --entered_;
}

void Reader::push(PyObject *v) {
    try {
        values_.push_back(v);
    } catch (...) {
        Py_DECREF(v);
        throw;
    }
}

PyObject *Reader::make_list(size_t base) {
    size_t n = values_.size() - base;
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) throw_error();
    for (size_t i = 0; i < n; ++i) PyList_SetItem(list, static_cast<Py_ssize_t>(i), values_[base + i]);  // steals
    values_.shrink(base);
    return list;
}

// Where the run of plain string bytes from p ends (end_ if it does not).
inline const char *Reader::find_special(const char *p) const noexcept {
    if constexpr (kLittleEndian) {
        for (; end_ - p >= 8; p += 8) {
            uint64_t word = load8(p);
            uint64_t hits = zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\')) | control_bytes(word);
            if (hits) return p + (std::countr_zero(hits) >> 3);
        }
    }
    while (p < end_ && !string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

#if defined(__SSE2__)
// 16 bytes of 0xFF, then 16 of zero: the 16 bytes at kWindow + 16 - n keep
// the first n bytes of a vector.
alignas(16) constexpr unsigned char kWindow[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
#endif

// p_ is just past the opening quote.
inline PyObject *Reader::string() {
    const char *start = p_;
#if defined(__SSE2__)
    // Most strings (keys above all) end within 16 bytes: the one load finds
    // the end and gives the cache its words.
    if (end_ - start >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(start));
        __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
            _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (bits != 0) {
            auto size = static_cast<unsigned>(std::countr_zero(bits));
            if (start[size] == '"') {
                p_ = start + size + 1;
                v = _mm_and_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(kWindow + 16 - size)));
                alignas(16) uint64_t word[2];
                _mm_store_si128(reinterpret_cast<__m128i *>(word), v);
                return short_string(start, size, word[0], word[1]);
            }
        }
    }
#endif
    return long_string(start);
}

// The string at start, p_ being there too, that the vector above did not take.
PyObject *Reader::long_string(const char *start) {
    const char *at = find_special(start);
    if (at == end_) refuse();
    if (*at != '"') {
        if (*at != '\\') refuse();  // a control character
        return escaped_string(start, at);
    }
    p_ = at + 1;
    Py_ssize_t size = at - start;
    if (size <= KeyCache::kLongest) return cached_string(start, size);
    return new_string(start, size);
}

// The set of a string's cache entry: every word counts, and so does the size.
inline KeyCache::Set &set_of(KeyCache &cache, Py_ssize_t size, const uint64_t *word, size_t words) noexcept {
    uint64_t hash = mix(mix(static_cast<uint64_t>(size) ^ word[0]) ^ word[1]);
    for (size_t i = 2; i < words; ++i) hash = mix(hash ^ word[i]);
    return cache.sets[hash % KeyCache::kSets];
}

// A string of at most 15 bytes, also given as two words zero past its end.
inline PyObject *Reader::short_string(const char *start, Py_ssize_t size, uint64_t word0, uint64_t word1) {
    KeyCache *cache = st_.key_cache;
    if (cache == nullptr) [[unlikely]]
        return cached_string(start, size);
    const uint64_t word[KeyCache::kWords] = {word0, word1};
    KeyCache::Set &set = set_of(*cache, size, word, 2);
    for (unsigned way = 0; way < 2; ++way) {
        KeyCache::Entry &entry = set.way[way];
        if (entry.size == size && entry.word[0] == word0 && entry.word[1] == word1 && entry.key != nullptr) {
            cache->victim[&set - cache->sets] = static_cast<unsigned char>(way ^ 1);
            Py_INCREF(entry.key);
            return entry.key;
        }
    }
    return cache_new_string(*cache, set, start, size, word);
}

PyObject *Reader::cached_string(const char *start, Py_ssize_t size) {
    if (st_.key_cache == nullptr) st_.key_cache = new (std::nothrow) KeyCache{};
    KeyCache *cache = st_.key_cache;
    if (cache == nullptr) return new_string(start, size);
    // The bytes as words, zero past the end of the string.
    uint64_t word[KeyCache::kWords] = {};
    std::memcpy(word, start, static_cast<size_t>(size));
    size_t words = static_cast<size_t>(size + 7) / 8;
    KeyCache::Set &set = set_of(*cache, size, word, words);
    for (unsigned way = 0; way < 2; ++way) {
        KeyCache::Entry &entry = set.way[way];
        if (entry.size != size || entry.key == nullptr) continue;
        bool equal = true;
        for (size_t i = 0; i < words; ++i) equal &= entry.word[i] == word[i];
        if (equal) {
            cache->victim[&set - cache->sets] = static_cast<unsigned char>(way ^ 1);
            Py_INCREF(entry.key);
            return entry.key;
        }
    }
    return cache_new_string(*cache, set, start, size, word);
}

// A new str of the bytes, kept in the set in place of its older entry.
PyObject *Reader::cache_new_string(KeyCache &cache, KeyCache::Set &set, const char *start, Py_ssize_t size,
                                   const uint64_t *word) {
    PyObject *s = new_string(start, size);
    unsigned char &victim = cache.victim[&set - cache.sets];
    KeyCache::Entry &entry = set.way[victim];
    victim ^= 1;
    Py_XDECREF(entry.key);
    Py_INCREF(s);
    std::memcpy(entry.word, word, sizeof entry.word);
    entry.size = size;
    entry.key = s;
    return s;
}

PyObject *Reader::new_string(const char *start, Py_ssize_t size) {
    PyObject *s = PyUnicode_DecodeUTF8(start, size, nullptr);
    if (s == nullptr) throw_error();
    return s;
}

// A string holding escapes, decoded into code points; `at` is its first
// backslash.
PyObject *Reader::escaped_string(const char *start, const char *at) {
    size_t n = 0;  // code points in text_
    const char *p = start;
    const char *run = at;  // the end of the plain bytes from p, at a backslash or the closing quote
    for (;;) {
        // Every byte of the run gives at most one code point, and the escape
        // after it one more.
        char32_t *out = room(n + static_cast<size_t>(run - p) + 1);
        while (p < run) {
            auto c = static_cast<unsigned char>(*p);
            if (c < 0x80) {
                out[n++] = c;
                ++p;
                continue;
            }
            // The bytes come from a str, so they are well formed; a sequence
            // cut short is refused all the same rather than read past.
            int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            if (run - p < length) refuse();
            char32_t code = c & (0x7F >> length);
            for (int i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(p[i]) & 0x3F);
            out[n++] = code;
            p += length;
        }
        if (*p == '"') break;
        // p is at a backslash.
        if (end_ - p < 2) refuse();
        char c = p[1];
        p += 2;
        char32_t code;
        switch (c) {
        case '"': code = U'"'; break;
        case '\\': code = U'\\'; break;
        case '/': code = U'/'; break;
        case 'b': code = U'\b'; break;
        case 'f': code = U'\f'; break;
        case 'n': code = U'\n'; break;
        case 'r': code = U'\r'; break;
        case 't': code = U'\t'; break;
        case 'u': {
            int32_t unit = hex4(p);
            if (unit < 0) refuse();
            p += 4;
            code = static_cast<char32_t>(unit);
            if (code >= 0xD800 && code <= 0xDBFF && end_ - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                int32_t low = hex4(p + 2);
                if (low < 0) refuse();  // json rejects the second escape here too
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
                    p += 6;
                }
            }
            break;
        }
        default: refuse();
        }
        out[n++] = code;
        run = find_special(p);
        if (run == end_ || (*run != '"' && *run != '\\')) refuse();  // a control character, or no end
    }
    p_ = p + 1;
    return str_of(text_.data(), n);
}

// Room for `size` code points in text_, whose first ones are kept.
inline char32_t *Reader::room(size_t size) {
    if (text_.size() < size) text_.resize(std::max(size, 2 * text_.size()));
    return text_.data();
}

// The value of the four hex digits at p, or -1 if they are not.
inline int32_t Reader::hex4(const char *p) const noexcept {
    if (end_ - p < 4) return -1;
    int32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 4) | kHexValue[static_cast<unsigned char>(p[i])];
    return v;  // negative if any was not a hex digit
}

// int(text) for integers of 19 digits and more; int()'s digit limit refuses
// through json, which reports it.
PyObject *Reader::big_int(const char *start) {
    scratch_.assign(start, p_);
    PyObject *n = PyLong_FromString(scratch_.c_str(), nullptr, 10);
    if (n == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
        PyErr_Clear();
        refuse();
    }
    return n;
}

// float(text) through the interpreter, for what from_chars leaves: results
// that overflow or underflow.
PyObject *Reader::slow_float(const char *start) {
    Ref text = check(PyUnicode_DecodeUTF8(start, p_ - start, nullptr));
    Ref value = check(PyFloat_FromString(text.get()));
    double d = PyFloat_AsDouble(value.get());
    if (std::isinf(d)) refuse();  // json says "Number out of range"
    return value.release();
}

// p_ is at '-' or a digit.
PyObject *Reader::number() {
    const char *start = p_;
    const char *p = p_;
    bool negative = *p == '-';
    if (negative && ++p == end_) refuse();
    const char *digits = p;
    uint64_t mantissa = 0;
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        for (; p < end_ && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    } else {
        refuse();  // -Infinity and the like
    }
    Py_ssize_t int_digits = p - digits;
    bool is_float = false;
    if (end_ - p >= 2 && *p == '.' && is_digit(p[1])) {
        for (p += 2; p < end_ && is_digit(*p);) ++p;
        is_float = true;
    }
    if (end_ - p >= 2 && (*p | 0x20) == 'e') {
        const char *q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (q < end_ && is_digit(*q)) {
            for (++q; q < end_ && is_digit(*q);) ++q;
            p = q;
            is_float = true;
        }
    }
    p_ = p;
    if (!is_float) {
        if (int_digits > 18) return big_int(start);
        auto magnitude = static_cast<long long>(mantissa);
        PyObject *n = PyLong_FromLongLong(negative ? -magnitude : magnitude);
        if (n == nullptr) throw_error();
        return n;
    }
    double d = 0;
    auto [ptr, ec] = std::from_chars(start, p, d);
    if (ec != std::errc{} || ptr != p) return slow_float(start);
    PyObject *f = PyFloat_FromDouble(d);
    if (f == nullptr) throw_error();
    return f;
}

// A complete value at p_, or NULL after opening a container that has
// content, with p_ at its first value.
PyObject *Reader::value() {
    const char *p = p_;
    if (p == end_) refuse();
    switch (*p) {
    case '"':
        p_ = p + 1;
        return string();
    case '{': {
        enter();
        PyObject *dict = PyDict_New();
        if (dict == nullptr) throw_error();
        try {
            frames_.push_back({dict, nullptr, 0});
        } catch (...) {
            Py_DECREF(dict);
            throw;
        }
        p_ = skip_space(p + 1);
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            frames_.pop_back();
            leave();
            return dict;
        }
        open_key();
        return nullptr;
    }
    case '[': {
        enter();
        frames_.push_back({nullptr, nullptr, values_.size()});
        p_ = skip_space(p + 1);
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            frames_.pop_back();
            leave();
            PyObject *list = PyList_New(0);
            if (list == nullptr) throw_error();
            return list;
        }
        return nullptr;
    }
    case 't':
        if (end_ - p < 4 || std::memcmp(p, "true", 4) != 0) refuse();
        p_ = p + 4;
        Py_INCREF(Py_True);
        return Py_True;
    case 'f':
        if (end_ - p < 5 || std::memcmp(p, "false", 5) != 0) refuse();
        p_ = p + 5;
        Py_INCREF(Py_False);
        return Py_False;
    case 'n':
        if (end_ - p < 4 || std::memcmp(p, "null", 4) != 0) refuse();
        p_ = p + 4;
        Py_INCREF(Py_None);
        return Py_None;
    default:
        if (*p == '-' || is_digit(*p)) return number();
        refuse();  // NaN, Infinity and everything json refuses
    }
}

// Reads `"key" :` into the innermost (dict) frame and the white space after
// it; p_ is at the key's opening quote.
void Reader::open_key() {
    if (p_ == end_ || *p_ != '"') refuse();
    ++p_;
    frames_.back().key = string();
    p_ = skip_space(p_);
    if (p_ == end_ || *p_ != ':') refuse();
    p_ = skip_space(p_ + 1);
}

Ref Reader::run() {
    enter();  // json's scanner call
    p_ = skip_space(p_);
    for (;;) {
        PyObject *v = value();
        if (v == nullptr) continue;  // a container opened: read its first value
        // Close what this value completes, until a separator asks for more.
        for (;;) {
            p_ = skip_space(p_);
            if (frames_.empty()) {
                if (p_ != end_) {
                    Py_DECREF(v);
                    refuse();  // json: "Extra data"
                }
                return Ref::steal(v);
            }
            Frame &f = frames_.back();
            char c = p_ < end_ ? *p_ : '\0';
            if (f.dict == nullptr) {
                push(v);
                if (c == ',') {
                    p_ = skip_space(p_ + 1);
                    break;
                }
                if (c != ']') refuse();
                ++p_;
                v = make_list(f.base);
            } else {
                int status = PyDict_SetItem(f.dict, f.key, v);
                Py_DECREF(v);
                Py_CLEAR(f.key);
                if (status < 0) throw_error();
                if (c == ',') {
                    p_ = skip_space(p_ + 1);
                    open_key();
                    break;
                }
                if (c != '}') refuse();
                ++p_;
                v = std::exchange(f.dict, nullptr);
            }
            frames_.pop_back();
            leave();
        }
    }
}

}  // namespace

Ref parse_json(State &st, const char *text, Py_ssize_t size) {
    try {
        Reader reader(st, text, size);
        return reader.run();
    } catch (const Refused &) {
        return Ref();
    }
}

}  // namespace vexil
