// Fast paths: the common calls of read(), save() and clear() done with
// direct system calls instead of pathlib and io objects.
//
// Each one is taken only when its guards prove that the result is the one
// the general path gives: the module global Path is pathlib's own, the
// argument is an exact str or an exact PosixPath, builtin open is io's own and
// decodes UTF-8 (UTF-8 mode, or a UTF-8 locale, and no warning asked for on a
// missing encoding), the file system encoding is UTF-8 with surrogateescape.
// Anything else, and any doubt found before something observable happened,
// refuses the fast path, and the general path then does the step itself, so
// that every error it raises is its own. Audit events that the general path
// raises (open, pathlib.Path.glob, os.scandir) are raised here too, with the
// same arguments.
#include "setting.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brevan {
namespace {

// Lines of read() in the notional source.
constexpr int kLineReadOpen = 55, kLineReadAnnounce = 56, kLineReadLoad = 57;

StdAttr pathlib_path("pathlib", "Path"), pathlib_posix_path("pathlib", "PosixPath"),
    io_open("_io", "open"), sys_flags("sys", "flags"),
    sys_fs_encoding("sys", "getfilesystemencoding"),
    sys_fs_errors("sys", "getfilesystemencodeerrors"),
    incremental_decoder("codecs", "getincrementaldecoder");
StaticString s_loads("loads"), s_open("open"), s_utf8_mode("utf8_mode"),
    s_warn_default_encoding("warn_default_encoding"), s_decode("decode"), s_strict("strict"),
    s_utf_8("utf-8"), s_event_open("open"), s_mode_r("r"), s_event_glob("pathlib.Path.glob"),
    s_event_scandir("os.scandir"), s_default_pattern("*~*"), s_crlf("\r\n"), s_cr("\r"),
    s_lf("\n"), s_probe("a//b"), s_text_slot("_str"),
    s_announce("Load settings from ");

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC;  // what io's open() uses for "r"

// ------------------------------------------------------------- guards ----

// "utf-8", "UTF8", "utf_8": the names the codec registry maps to UTF-8.
bool names_utf8(const char *text) noexcept {
    if (text == nullptr || std::strlen(text) > 5) return false;
    char folded[6] = {};
    for (std::size_t i = 0, j = 0; text[i] != '\0'; ++i) {
        if (text[i] == '-' || text[i] == '_') continue;
        folded[j++] = static_cast<char>(text[i] | 0x20);
    }
    return std::strcmp(folded, "utf8") == 0;
}

bool names_utf8(PyObject *name) noexcept {
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    if (text == nullptr) PyErr_Clear();
    return names_utf8(text);
}

// Settings of the interpreter fixed at its start-up, read once.
struct Process {
    bool utf8_mode = false;         // open() without encoding decodes UTF-8
    bool warns_on_encoding = true;  // -X warn_default_encoding: open() would warn
    bool fs_utf8 = false;           // file names are UTF-8 with surrogateescape
    bool before_313 = true;         // pathlib's glob checks is_dir() first
};

Process read_process() {
    Process process;
    Ref flags = check(PyObject_GetAttr(sys_flags.get(), s_utf8_mode.get()));
    process.utf8_mode = truth(flags.get());
    flags = check(PyObject_GetAttr(sys_flags.get(), s_warn_default_encoding.get()));
    process.warns_on_encoding = truth(flags.get());
    Ref encoding = call(sys_fs_encoding.get());
    Ref errors = call(sys_fs_errors.get());
    process.fs_utf8 = names_utf8(encoding.get()) && PyUnicode_Check(errors.get()) &&
                      PyUnicode_CompareWithASCIIString(errors.get(), "surrogateescape") == 0;
    process.before_313 = Py_Version < 0x030D0000;
    return process;
}

// The process settings, or null when they cannot be read (no fast paths).
const Process *process() noexcept {
    static enum { unknown, known, unusable } status = unknown;
    static Process value;
    if (status == unknown) {
        try {
            value = read_process();
            status = known;
        } catch (...) {
            PyErr_Clear();
            status = unusable;
        }
    }
    return status == known ? &value : nullptr;
}

// A standard-library object, or null when it cannot be had (the error is
// dropped: the caller refuses its fast path).
PyObject *std_object(StdAttr &attr) noexcept {
    try {
        return attr.get();
    } catch (...) {
        PyErr_Clear();
        return nullptr;
    }
}

// Whether `path_type` is pathlib's Path and `path` what it made on POSIX.
bool pathlib_untouched(PyObject *path_type, PyObject *path) noexcept {
    PyObject *original = std_object(pathlib_path);
    if (original == nullptr || path_type != original) return false;
    return path == nullptr || reinterpret_cast<PyObject *>(Py_TYPE(path)) == std_object(pathlib_posix_path);
}

// Whether the builtin open, the one read() uses and the one in builtins
// now, is io's own. Code that replaced builtins.open watches file access (a
// test harness, a sandbox): every fast path then leaves the work to the
// standard library, where such code can see it.
bool open_untouched() noexcept {
    PyObject *open = std_object(io_open);
    if (open == nullptr || state.open.get() != open) return false;
    try {
        Ref current = Ref::steal(PyObject_GetAttr(state.builtins.get(), s_open.get()));
        if (!current) PyErr_Clear();
        return current.get() == open;
    } catch (...) {
        PyErr_Clear();
        return false;
    }
}

// Whether `function` is the builtin `name` of the module `module`: a C
// function bound to that very module object, as only its own functions are.
bool is_builtin_of(const char *module, const char *name, PyObject *function) noexcept {
    if (!PyCFunction_Check(function)) return false;
    Ref owner = Ref::steal(PyImport_ImportModule(module));
    Ref own_name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
    if (!owner || !own_name) {
        PyErr_Clear();
        return false;
    }
    return PyCFunction_GetSelf(function) == owner.get() && PyUnicode_Check(own_name.get()) &&
           PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0;
}

// The interpreter's own sys.audit. io and os raise their events through the
// audit machinery, not through the name sys.audit, so a replacement bound
// there must not see them. Taken at the first use where sys.audit is still
// the builtin; null (no fast path that raises such events) until then.
PyObject *real_audit() noexcept {
    static PyObject *audit = nullptr;
    if (audit == nullptr) {
        PyObject *bound = PySys_GetObject("audit");  // borrowed
        if (bound != nullptr && is_builtin_of("sys", "audit", bound)) audit = Py_NewRef(bound);
    }
    return audit;
}

// ------------------------------------------------------ patched pathlib ----
//
// A test double patched onto pathlib's classes or onto os
// (unittest.mock.patch.object(Path, "exists"), mock.patch("os.stat")) is
// called by the general path, so each fast path checks that the public
// functions it stands in for are still the originals (for save(), those
// that decide what exists() says: a check costs a tenth of its time). They are recorded at
// first use, and only if they are what the standard library defines there;
// until then the fast path is refused. Private helpers are not watched.

enum FastPath : unsigned { kRead = 1, kSave = 2, kClear = 4 };

struct Watched {
    bool in_os;        // os.<name>; else PosixPath.<name>, looked up through the class
    const char *name;
    unsigned paths;    // the fast paths that skip it
};

constexpr Watched kWatched[] = {
    {.in_os = false, .name = "__fspath__", .paths = kRead | kClear},
    {.in_os = false, .name = "__str__", .paths = kRead | kClear},
    {.in_os = false, .name = "__format__", .paths = kRead},
    {.in_os = false, .name = "exists", .paths = kSave},
    {.in_os = false, .name = "stat", .paths = kSave | kClear},
    {.in_os = false, .name = "glob", .paths = kClear},
    {.in_os = false, .name = "is_dir", .paths = kClear},
    {.in_os = true, .name = "stat", .paths = kSave | kClear},
    {.in_os = true, .name = "scandir", .paths = kClear},
};
constexpr std::size_t kWatchedCount = sizeof kWatched / sizeof kWatched[0];

StdAttr builtin_object_format("builtins", "object");

// Whether `found` is the standard library's own `watched`: a posix builtin
// for os, object.__format__, or a function of pathlib's own code.
bool is_standard(const Watched &watched, PyObject *found) {
    if (watched.in_os) return is_builtin_of("posix", watched.name, found);
    if (std::strcmp(watched.name, "__format__") == 0) {
        Ref original = check(PyObject_GetAttrString(builtin_object_format.get(), "__format__"));
        return found == original.get();
    }
    Ref module = Ref::steal(PyObject_GetAttrString(found, "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(module.get(), &size);
    if (text == nullptr) throw_error();
    return std::strcmp(text, "pathlib") == 0 || std::strncmp(text, "pathlib.", 8) == 0;
}

PyObject *watched_owner(const Watched &watched) {
    static PyObject *os = nullptr;
    if (!watched.in_os) return pathlib_posix_path.get();
    if (os == nullptr) os = check(PyImport_ImportModule("os")).release();
    return os;
}

// Of the fast paths in `paths`, whether all the watched functions they skip
// are the originals now.
bool pathlib_functions_untouched(unsigned paths) noexcept {
    // Kept for the life of the process: the interned names, the originals.
    static PyObject *names[kWatchedCount] = {};
    static PyObject *owners[kWatchedCount] = {};
    static PyObject *originals[kWatchedCount] = {};
    static bool recorded = false;
    try {
        if (!recorded) {
            for (std::size_t i = 0; i < kWatchedCount; ++i) {
                if (names[i] == nullptr) names[i] = check(PyUnicode_InternFromString(kWatched[i].name)).release();
                owners[i] = watched_owner(kWatched[i]);
                Ref found = check(PyObject_GetAttr(owners[i], names[i]));
                if (!is_standard(kWatched[i], found.get())) return false;  // try again next time
                PyObject *previous = originals[i];
                originals[i] = found.release();
                Py_XDECREF(previous);
            }
            recorded = true;
        }
        for (std::size_t i = 0; i < kWatchedCount; ++i) {
            if ((kWatched[i].paths & paths) == 0) continue;
            Ref found = check(PyObject_GetAttr(owners[i], names[i]));
            if (found.get() != originals[i]) return false;
        }
        return true;
    } catch (...) {
        PyErr_Clear();
        return false;
    }
}

// The guards every fast path shares: the process settings, when usable.
const Process *usable() noexcept {
    const Process *p = process();
    return p != nullptr && p->fs_utf8 && open_untouched() ? p : nullptr;
}

// Whether open(path, "r") decodes UTF-8 and raises no warning about it.
bool open_reads_utf8(const Process &p) noexcept {
    if (p.warns_on_encoding) return false;
    if (p.utf8_mode) return true;
    // The locale encoding, as the interpreter asks for it (an empty answer
    // means UTF-8). The locale may change while the process runs.
    const char *codeset = nl_langinfo(CODESET);
    return codeset == nullptr || codeset[0] == '\0' || names_utf8(codeset);
}

// ---------------------------------------------------------- path text ----

// Whether `text` is already in the form pathlib gives it on POSIX: no empty
// or "." component after the root (one or two leading slashes), no trailing
// slash. "." alone is its own form.
bool pathlib_form(const char *text, Py_ssize_t size) noexcept {
    if (size == 0) return false;
    if (size == 1 && text[0] == '.') return true;
    Py_ssize_t i = 0;
    if (text[0] == '/') {
        i = (size >= 2 && text[1] == '/' && (size == 2 || text[2] != '/')) ? 2 : 1;
        if (i == size) return true;  // "/" or "//"
    }
    for (Py_ssize_t start = i; i <= size; ++i) {
        if (i < size && text[i] != '/') continue;
        const Py_ssize_t length = i - start;
        if (length == 0 || (length == 1 && text[start] == '.')) return false;
        start = i + 1;
    }
    return true;
}

// What the system calls get: the text of a path and its file-system bytes.
struct PathText {
    Ref text;           // str(Path(item)), an exact str
    const char *bytes;  // its UTF-8 form, kept alive by `text` or `encoded`
    Py_ssize_t size;
    Ref encoded;        // the bytes object, for text with surrogate escapes
};

// The file-system bytes of `text`; false for text the system cannot take
// (a NUL, a surrogate that does not stand for a byte).
bool encode_name(PathText &out) noexcept {
    out.bytes = PyUnicode_AsUTF8AndSize(out.text.get(), &out.size);
    if (out.bytes == nullptr) {  // surrogates: the file-system codec's job
        PyErr_Clear();
        out.encoded = Ref::steal(PyUnicode_EncodeFSDefault(out.text.get()));
        if (!out.encoded) {
            PyErr_Clear();
            return false;
        }
        out.bytes = PyBytes_AsString(out.encoded.get());
        out.size = PyBytes_Size(out.encoded.get());
    }
    return std::memchr(out.bytes, '\0', static_cast<std::size_t>(out.size)) == nullptr;
}

// str(Path(item)) without parsing a new Path: the item's own text when it
// is an exact str already in pathlib's form, or the (cached) str() of an
// exact PosixPath, which a Path made from it shares. False for anything else.
bool path_text(PyObject *item, PathText &out) noexcept {
    if (PyUnicode_CheckExact(item)) {
        out.text = Ref::borrow(item);
        if (!encode_name(out)) return false;
        return pathlib_form(out.bytes, out.size);
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(item)) != std_object(pathlib_posix_path)) return false;
    out.text = Ref::steal(PyObject_Str(item));
    if (!out.text || !PyUnicode_CheckExact(out.text.get())) {
        PyErr_Clear();
        return false;
    }
    return encode_name(out);
}

// Whether a PosixPath keeps its text in the slot `_str`, which str() fills
// on first use and answers from afterwards. Checked once on two probes.
bool text_cache_known() noexcept {
    static enum { unknown, yes, no } status = unknown;
    if (status == unknown) {
        status = no;
        try {
            PyObject *posix_path = pathlib_posix_path.get();
            Ref probe = call(posix_path, s_probe.get());
            Ref text = check(PyObject_Str(probe.get()));
            Ref cached = check(PyObject_GetAttr(probe.get(), s_text_slot.get()));
            Ref primed = call(posix_path, s_probe.get());
            check(PyObject_SetAttr(primed.get(), s_text_slot.get(), s_probe.get()));
            Ref answer = check(PyObject_Str(primed.get()));
            if (PyUnicode_CompareWithASCIIString(text.get(), "a/b") == 0 && cached.get() == text.get() &&
                answer.get() == s_probe.get()) {
                status = yes;
            }
        } catch (...) {
            PyErr_Clear();
        }
    }
    return status == yes;
}

// Leaves on `path` the text that str() would cache there, as the general
// path leaves it (open() and the message both take str(path)).
void keep_text(PyObject *path, PyObject *text) noexcept {
    if (!text_cache_known()) return;
    try {
        if (PyObject_SetAttr(path, s_text_slot.get(), text) < 0) PyErr_Clear();
    } catch (...) {
        PyErr_Clear();
    }
}

// ------------------------------------------------------------- helpers ----

// sys.audit(event, args...): what io and pathlib raise before they act.
template <class... Args>
void audit(StaticString &event, const Args &...args) {
    call(real_audit(), event.get(), args...);
}

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const noexcept { return fd_; }
    // Closes now; false (errno set) when the system reports an error.
    bool close_now() noexcept { return close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

// The whole file, as f.read() of a text-mode file gives it. Errors are the
// ones of the file object: OSError from reading, and a decoding error raised
// by the very decoder text mode uses (so it carries the same traceback).
[[gnu::cold]] Ref undecodable(const std::string &data) {
    PyErr_Clear();
    Ref bytes = check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    Ref decoder_type = call(incremental_decoder.get(), s_utf_8.get());
    Ref decoder = call(decoder_type.get(), s_strict.get());
    return call_method(decoder.get(), s_decode, bytes, Py_True);
}

Ref read_text(int fd, const struct stat &st) {
    std::string data;
    // Room for the whole file and the read that finds its end; a file whose
    // size stat() does not tell (/proc, /sys) starts with a page or two.
    data.resize(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 8192);
    std::size_t have = 0;
    // Up to the read that returns 0, as io does: /proc, /sys and FUSE files
    // read short long before their end.
    for (;;) {
        if (have == data.size()) data.resize(data.size() * 2);
        const ssize_t n = read(fd, data.data() + have, data.size() - have);
        if (n < 0) {
            if (errno == EINTR) {
                check(PyErr_CheckSignals());
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error();
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    data.resize(have);
    PyObject *decoded = PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(have), "strict");
    Ref text = decoded != nullptr ? Ref::steal(decoded) : undecodable(data);
    if (data.find('\r') == std::string::npos) return text;
    // Universal newlines: "\r\n", then every "\r" left, become "\n".
    text = check(PyUnicode_Replace(text.get(), s_crlf.get(), s_lf.get(), -1));
    return check(PyUnicode_Replace(text.get(), s_cr.get(), s_lf.get(), -1));
}

// The missing candidate, as open() reports it: the audit event, then
// FileNotFoundError naming the path text. This expected failure makes no
// C++ exception unless it is no Exception (an audit hook's interrupt).
FastRead missing(PyObject *text, PyObject *flags) {
    PyObject *stack[] = {nullptr, s_event_open.get(), text, s_mode_r.get(), flags};
    PyObject *done = PyObject_Vectorcall(real_audit(), stack + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (done != nullptr) {
        Py_DECREF(done);
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text);
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    return FastRead::failed;
}

// Where a caught error goes: an Exception is the candidate's failure; any
// other (an interrupt) leaves read().
FastRead failed_or_raise() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    return FastRead::failed;
}

PyObject *open_flags() {
    static PyObject *flags = nullptr;
    if (flags == nullptr) flags = check(PyLong_FromLong(kOpenFlags)).release();
    return flags;
}

// What listing a directory found.
enum class Scan { nothing, match, unopened, failed };

// Lists the directory at `path` for a name holding "~", as glob("*~*")
// matches any such name (dot names too). `unopened` leaves errno set.
Scan scan_for_tilde(const char *path) noexcept {
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Scan::unopened;
    Scan result = Scan::nothing;
#ifdef __linux__
    // getdents64 straight away: opendir() would add an fstat().
    alignas(dirent64) char buffer[16384];
    for (;;) {
        const ssize_t size = getdents64(fd, buffer, sizeof buffer);
        if (size <= 0) {
            if (size < 0) result = Scan::failed;
            break;
        }
        for (ssize_t at = 0; at < size && result == Scan::nothing;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            if (std::strchr(entry->d_name, '~') != nullptr) result = Scan::match;
            at += entry->d_reclen;
        }
        if (result != Scan::nothing) break;
    }
    close(fd);
#else
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return Scan::failed;
    }
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strchr(entry->d_name, '~') != nullptr) {
            result = Scan::match;
            break;
        }
    }
    if (result == Scan::nothing && errno != 0) result = Scan::failed;
    closedir(dir);
#endif
    return result;
}

}  // namespace

// ---------------------------------------------------------------- read ----

FastRead fast_read_candidate(Frame &frame, PyObject *path_type, PyObject *item, PyObject *path,
                             Ref &config) {
    const Process *p = usable();
    if (p == nullptr || !open_reads_utf8(*p) || real_audit() == nullptr || !pathlib_untouched(path_type, path) ||
        !pathlib_functions_untouched(kRead)) {
        return FastRead::refused;
    }
    PathText name{};
    if (!path_text(item, name)) return FastRead::refused;
    keep_text(path, name.text.get());
    PyObject *flags = open_flags();

    frame.line = kLineReadOpen;
    // Only a regular file is opened here: opening a FIFO meets its writer,
    // opening a device may act on it, and the general path would then open
    // it a second time. The fstat() after opening catches a swap meanwhile.
    struct stat st{};
    if (stat(name.bytes, &st) != 0) {
        if (errno != ENOENT) return FastRead::refused;
        return missing(name.text.get(), flags);
    }
    if (!S_ISREG(st.st_mode)) return FastRead::refused;
    Descriptor fd(open(name.bytes, kOpenFlags | O_NONBLOCK));
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return FastRead::refused;

    // The block of `with open(_path, "r") as f:`.
    try {
        audit(s_event_open, name.text, s_mode_r.get(), flags);
        frame.line = kLineReadAnnounce;
        const IPrint iprint;
        Ref message = check(PyUnicode_Concat(s_announce.get(), name.text.get()));
        iprint(message.get(), colour_cyan.get());
        frame.line = kLineReadLoad;
        Ref loads = lookup_global(s_loads);  // before the file is read, as loads(f.read()) runs
        Ref text = read_text(fd.get(), st);
        config = call(loads.get(), text);
    } catch (const PyError &) {
        return failed_or_raise();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return failed_or_raise();
    }
    frame.line = kLineReadOpen;
    if (!fd.close_now()) {
        PyErr_SetFromErrno(PyExc_OSError);
        return FastRead::failed;
    }
    return FastRead::loaded;
}

// ---------------------------------------------------------------- save ----

bool fast_save_target_exists(PyObject *path_type, PyObject *target) noexcept {
    if (usable() == nullptr || !pathlib_untouched(path_type, nullptr) || !pathlib_functions_untouched(kSave)) {
        return false;
    }
    PathText name{};
    if (PyUnicode_CheckExact(target)) {
        // Whatever form the text has, a path that resolves as given names
        // the same file as its pathlib form does: stat() success is enough.
        name.text = Ref::borrow(target);
        if (!encode_name(name)) return false;
    } else if (!path_text(target, name)) {
        return false;
    }
    struct stat st{};
    return stat(name.bytes, &st) == 0;
}

// --------------------------------------------------------------- clear ----

bool fast_glob_finds_nothing(PyObject *path_type, PyObject *sp, PyObject *path, PyObject *pattern) {
    const Process *p = usable();
    if (p == nullptr || real_audit() == nullptr || !pathlib_untouched(path_type, path) ||
        !pathlib_functions_untouched(kClear)) {
        return false;
    }
    if (!PyUnicode_CheckExact(pattern) ||
        PyUnicode_Compare(pattern, s_default_pattern.get()) != 0) {
        PyErr_Clear();
        return false;
    }
    PathText name{};
    if (!PyUnicode_CheckExact(sp) || !path_text(sp, name)) return false;

    // Before 3.13, glob() first asks is_dir(), which takes a missing
    // directory (and ENOTDIR, EBADF, ELOOP) as "no" and raises other errors;
    // a directory that cannot be listed then yields nothing. Opening the
    // directory answers both: it fails with those errors exactly where
    // stat() does or finds no directory.
    const Scan scan = scan_for_tilde(name.bytes);
    if (scan == Scan::match || scan == Scan::failed) return false;  // the general path's work
    bool scans = true;
    if (scan == Scan::unopened && p->before_313) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) return false;
        scans = false;
    }
    // pathlib raises its event in Python, through sys.audit as bound now.
    Ref bound_audit = Ref::borrow(PySys_GetObject("audit"));
    if (!bound_audit) return false;
    call(bound_audit.get(), s_event_glob.get(), path, pattern);
    if (scans) audit(s_event_scandir, name.text);
    return true;
}

}  // namespace brevan
