// Fast paths: the common calls of read(), save() and clear() done with
// direct system calls instead of pathlib and io objects.
//
// Each is taken only behind guards proving that the result is the one the
// general path gives. A doubt found before anything observable happened
// refuses the fast path, and the general path then does the step itself,
// so every error it raises is its own. Once a fast path has raised an audit
// event it is committed: it does the rest as the general path would, with
// the same errors, and never hands the step back (the event would come
// twice).
//
// What the general path touches, and how each is checked here:
//
//   every call
//     module global Path        is pathlib.Path itself; the Path made (or
//                               the item given) is an exact PosixPath
//     builtin open              read()'s, and builtins.open now, are io.open
//     file-system encoding      UTF-8 with surrogateescape (read once)
//     Path methods and steps    the objects recorded from pathlib, compared
//                               by identity at each call (stdlib_watch.cpp)
//   read(), per candidate
//     Path(item)                of an exact str: made here as pathlib makes
//                               it, object.__new__(PosixPath) given
//                               _raw_paths = [item]; of anything else, made
//                               by the body. Its text is the item's own
//                               when it is an exact str in pathlib's form,
//                               or str() of an exact PosixPath item, with
//                               the steps that make a Path and its text
//                               watched (as for save() below); the text is
//                               cached on the Path as str() does
//     os.fspath(path)           __fspath__ and __str__ watched
//     open(path, "r") decoding  UTF-8 mode or a UTF-8 locale (asked at each
//                               call), no warn_default_encoding
//     audit "open"              raised first, through the interpreter's own
//                               sys.audit as io raises it, same arguments
//     open(), fstat(), read()   after the event, as io makes them: EINTR
//                               retried, the lock released where they may
//                               wait (the open, and every read of a FIFO or
//                               a device), a directory refused with
//                               IsADirectoryError; a file of any other kind
//                               read to the end as io reads it
//     f"...{_path}"             __format__ watched (object's own)
//     iprint, loads             looked up as module globals, when the
//                               general path looks them up
//     f.read() decoding         strict UTF-8 (an error comes from the codec
//                               io uses), universal newlines
//     close()                   its error is the candidate's failure
//   save(), the exists() test
//     Path(target)              not made here: __new__, __init__ (also the
//                               one super() reaches), _parse_path,
//                               _load_parts, _raw_path, _format_parsed_parts,
//                               drive, root, _tail, parser/_flavour watched
//     exists() and its callees  Path.exists, Path.stat (to 3.13),
//                               os.path.exists (3.14 on) and os.stat watched
//     the answer                only "exists" is taken; anything else, or a
//                               text with a NUL, goes to the general path
//   clear(), per site directory
//     Path(sp)                  its text as for read()
//     glob(pattern=...)         Path.glob watched; the pattern is exactly
//                               "*~*"
//     glob's first import       from 3.15 pathlib imports glob lazily at its
//                               first glob(): refused until that happened
//     audit "pathlib.Path.glob" first, through sys.audit as bound now (pathlib
//                               calls it by that name)
//     is_dir() (3.12)           Path.is_dir, Path.stat, os.stat watched; its
//                               stat() comes after the event, its errors kept
//     audit "os.scandir"        before the directory is opened; the text of
//                               the path, with a trailing "/" from 3.14
//     listing errors            no matches, as glob() swallows them
//     the matches               path.with_segments(text), text cached, in the
//                               listing's order; with_segments,
//                               _make_child_relpath, _from_parsed_string,
//                               _scandir, os.scandir watched
//   not watched: module-level names inside pathlib, glob, genericpath and os,
//   changes made in place to the recorded function objects, and a name put
//   in front of a watched one while another of that class is deleted.
#include "doubt.hpp"
#include "notional_lines.hpp"
#include "setting.hpp"
#include "stdlib_watch.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <sys/syscall.h>
#else
#include <dirent.h>
#endif

namespace brevan {
namespace {

StdAttr pathlib_path("pathlib", "Path"), pathlib_posix_path("pathlib", "PosixPath"),
    io_open("_io", "open"), sys_flags("sys", "flags"),
    sys_fs_encoding("sys", "getfilesystemencoding"),
    sys_fs_errors("sys", "getfilesystemencodeerrors"),
    incremental_decoder("codecs", "getincrementaldecoder");
StaticString s_utf8_mode("utf8_mode"), s_warn_default_encoding("warn_default_encoding"),
    s_strict("strict"), s_utf_8("utf-8"), s_event_open("open"), s_event_glob("pathlib.Path.glob"),
    s_event_scandir("os.scandir"), s_default_pattern("*~*"), s_crlf("\r\n"), s_cr("\r"),
    s_lf("\n"), s_slash("/"), s_probe("a//b"), s_text_slot("_str"), s_raw_paths("_raw_paths"),
    s_with_segments("with_segments"), s_announce("Load settings from ");

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

bool names_utf8(PyObject *name) {
    const char *text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    if (text == nullptr && PyErr_Occurred()) drop_doubt();
    return names_utf8(text);
}

// Settings of the interpreter fixed at its start-up, read once.
struct Process {
    bool utf8_mode = false;         // open() without encoding decodes UTF-8
    bool warns_on_encoding = true;  // -X warn_default_encoding: open() would warn
    bool fs_utf8 = false;           // file names are UTF-8 with surrogateescape
    bool before_313 = true;         // pathlib's glob checks is_dir() first
    bool before_314 = true;         // pathlib lists "<dir>", not "<dir>/"
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
    process.before_314 = Py_Version < 0x030E0000;
    return process;
}

// The process settings, or null when what tells them is not the standard
// library's (no fast paths this time; asked again next time).
const Process *process() {
    static bool known = false;
    static Process value;
    if (!known) {
        try {
            value = read_process();
            known = true;
        } catch (const PyError &) {
            drop_doubt();
        }
    }
    return known ? &value : nullptr;
}

// A standard-library object, or null when it cannot be had (the caller
// refuses its fast path; an error of the call's own is thrown).
PyObject *std_object(StdAttr &attr) {
    try {
        return attr.get();
    } catch (const PyError &) {
        drop_doubt();
        return nullptr;
    }
}

// Whether `path_type` is pathlib's Path and `path` what it made on POSIX.
bool pathlib_untouched(PyObject *path_type, PyObject *path) {
    PyObject *original = std_object(pathlib_path);
    if (original == nullptr || path_type != original) return false;
    return path == nullptr || reinterpret_cast<PyObject *>(Py_TYPE(path)) == std_object(pathlib_posix_path);
}

// Whether the builtin open, the one read() uses and the one in builtins
// now, is io's own. Code that replaced builtins.open watches file access (a
// test harness, a sandbox): every fast path then leaves the work to the
// standard library, where such code can see it.
bool open_untouched() {
    PyObject *open = std_object(io_open);
    if (open == nullptr || state.open.get() != open) return false;
    Ref current = Ref::steal(PyObject_GetAttr(state.builtins.get(), s_open.get()));
    if (!current) drop_doubt();
    return current.get() == open;
}

// Whether `function` is the builtin `name` of the module `module`: a C
// function bound to that very module object, as only its own functions are.
bool is_builtin_of(const char *module, const char *name, PyObject *function) {
    if (!PyCFunction_Check(function)) return false;
    Ref owner = Ref::steal(PyImport_ImportModule(module));
    if (!owner) {
        drop_doubt();
        return false;
    }
    Ref own_name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
    if (!own_name) {
        drop_doubt();
        return false;
    }
    return PyCFunction_GetSelf(function) == owner.get() && PyUnicode_Check(own_name.get()) &&
           PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0;
}

// The interpreter's own sys.audit. io and os raise their events through the
// audit machinery, not through the name sys.audit, so a replacement bound
// there must not see them. Taken at the first use where sys.audit is still
// the builtin; null (no fast path that raises such events) until then.
PyObject *real_audit() {
    static PyObject *audit = nullptr;
    if (audit == nullptr) {
        PyObject *bound = PySys_GetObject("audit");  // borrowed
        if (bound != nullptr && is_builtin_of("sys", "audit", bound)) audit = Py_NewRef(bound);
    }
    return audit;
}

// The guards every fast path shares: the process settings, when usable.
const Process *usable() {
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
bool encode_name(PathText &out) {
    out.bytes = PyUnicode_AsUTF8AndSize(out.text.get(), &out.size);
    if (out.bytes == nullptr) {  // surrogates: the file-system codec's job
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
        out.encoded = Ref::steal(PyUnicode_EncodeFSDefault(out.text.get()));
        if (!out.encoded) {  // the general path raises it, from open()
            drop_doubt();
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
// That Path(item) has this text is pathlib's doing: the steps that make a
// Path and its text are watched (stdlib_watch.cpp).
bool path_text(PyObject *item, PathText &out) {
    if (PyUnicode_CheckExact(item)) {
        out.text = Ref::borrow(item);
        if (!encode_name(out)) return false;
        return pathlib_form(out.bytes, out.size);
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(item)) != std_object(pathlib_posix_path)) return false;
    out.text = Ref::steal(PyObject_Str(item));
    if (!out.text) {
        drop_doubt();
        return false;
    }
    if (!PyUnicode_CheckExact(out.text.get())) return false;
    return encode_name(out);
}

// Whether a PosixPath keeps its text in the slot `_str`, which str() fills
// on first use and answers from afterwards. Checked once on two probes.
bool text_cache_known() {
    static enum { unknown, yes, no } status = unknown;
    if (status == unknown) {
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
            } else {
                status = no;
            }
        } catch (const PyError &) {
            drop_doubt();  // thrown on for an error of the call's own, asked again next time
            status = no;
        }
    }
    return status == yes;
}

// Leaves on `path` the text that str() would cache there, as the general
// path leaves it (open() and the message both take str(path)).
void keep_text(PyObject *path, PyObject *text) {
    if (text_cache_known() && PyObject_SetAttr(path, s_text_slot.get(), text) < 0) drop_doubt();
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
[[gnu::cold]] Ref undecodable(const char *data, Py_ssize_t size) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error();
    PyErr_Clear();
    Ref bytes = check(PyBytes_FromStringAndSize(data, size));
    Ref decoder_type = call(incremental_decoder.get(), s_utf_8.get());
    Ref decoder = call(decoder_type.get(), s_strict.get());
    return call_method(decoder.get(), s_decode, bytes, Py_True);
}

// What io's FileIO.readall() reads a whole file into: a bytes object, first
// of the size it takes from the file's size, then grown as it grows it. So
// a size it cannot hold fails here as there, with the same error: "byte
// string is too large" (OverflowError) for one near 2**63, MemoryError for
// one the system will not give.
class ReadBuffer {
public:
    static constexpr std::size_t kSmallChunk = 8192;  // io's SMALLCHUNK
    explicit ReadBuffer(off_t file_size) { resize(first_size(file_size)); }

    char *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // Room for more after `have` bytes: io's next size (an eighth more past
    // 64 KiB, else twice as much and 256 bytes, never less than SMALLCHUNK
    // more).
    void grow(std::size_t have) {
        const std::size_t addend = have > 65536 ? have >> 3 : have + 256;
        resize(have + (addend < kSmallChunk ? kSmallChunk : addend));
    }

private:
    // Up to 3.13 a size up to PY_SSIZE_T_MAX - 1 is taken with one more byte
    // (for the read that finds the end), anything else starts small; from
    // 3.14, any size is taken, capped at PY_SSIZE_T_MAX. The file was just
    // opened, so the position is 0.
    static std::size_t first_size(off_t file_size) noexcept {
        if (file_size <= 0) return kSmallChunk;
        if (file_size < PY_SSIZE_T_MAX) return static_cast<std::size_t>(file_size) + 1;
        return Py_Version < 0x030E0000 ? kSmallChunk : static_cast<std::size_t>(PY_SSIZE_T_MAX);
    }
    void resize(std::size_t size) {
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "unbounded read returned more bytes than a Python bytes object can hold");
            throw_error();
        }
        Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        char *data = PyBytes_AsString(bytes.get());
        if (data_ != nullptr) std::memcpy(data, data_, size_);
        bytes_ = std::move(bytes);
        data_ = data;
        size_ = size;
    }

    Ref bytes_;
    char *data_ = nullptr;
    std::size_t size_ = 0;
};

// A FIFO or a device may keep a read waiting: the lock is let go then, as
// io does. A regular file's read does not wait on anyone, and keeps it.
Ref read_text(int fd, const struct stat &st) {
    const bool may_wait = !S_ISREG(st.st_mode);
    // Room for the whole file and the read that finds its end; a file whose
    // size stat() does not tell (/proc, /sys) starts small.
    ReadBuffer buffer(st.st_size);
    std::size_t have = 0;
    // Up to the read that returns 0, as io does: /proc, /sys and FUSE files
    // read short long before their end.
    for (;;) {
        if (have == buffer.size()) buffer.grow(have);
        ssize_t n;
        if (may_wait) {
            int error;
            Py_BEGIN_ALLOW_THREADS
            n = read(fd, buffer.data() + have, buffer.size() - have);
            error = errno;
            Py_END_ALLOW_THREADS
            errno = error;
        } else {
            n = read(fd, buffer.data() + have, buffer.size() - have);
        }
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
    const auto size = static_cast<Py_ssize_t>(have);
    PyObject *decoded = PyUnicode_DecodeUTF8(buffer.data(), size, "strict");
    Ref text = decoded != nullptr ? Ref::steal(decoded) : undecodable(buffer.data(), size);
    if (std::memchr(buffer.data(), '\r', have) == nullptr) return text;
    // Universal newlines: "\r\n", then every "\r" left, become "\n".
    text = check(PyUnicode_Replace(text.get(), s_crlf.get(), s_lf.get(), -1));
    return check(PyUnicode_Replace(text.get(), s_cr.get(), s_lf.get(), -1));
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

// open(path, "r") as io does it, after its audit event: the system call
// (without the interpreter lock, retried on EINTR), then the refusal of a
// directory. Sets the error and returns -1 when it fails; else `st` holds
// the descriptor's fstat(), which the read then goes by.
int open_like_io(const PathText &name, struct stat &st) {
    int fd, error;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        fd = open(name.bytes, kOpenFlags);
        error = errno;
        Py_END_ALLOW_THREADS
        errno = error;
        if (fd >= 0 || errno != EINTR) break;
        if (PyErr_CheckSignals() < 0) return -1;
    }
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.text.get());
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_IsADirectoryError, name.text.get());
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// ---------------------------------------------------------- directories ----

// The kernel's record of one directory entry, as getdents64 writes it. The
// call goes through syscall(): the C library's wrapper is younger than the
// oldest one the module supports.
struct LinuxDirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];  // NUL-terminated, d_reclen covers it
};

// The names in the directory `fd` that glob("*~*") matches: those holding
// "~" (dot names too), in the order the system lists them. False when the
// listing fails, as os.scandir() then raises.
bool tilde_names(int fd, std::vector<std::string> &names) {
#ifdef __linux__
    alignas(8) char buffer[16384];
    for (;;) {
        const long size = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (size < 0 && errno == EINTR) continue;
        if (size <= 0) return size == 0;
        for (long at = 0; at < size;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + at);
            const char *name = buffer + at + offsetof(LinuxDirent64, d_name);
            if (std::strchr(name, '~') != nullptr) names.emplace_back(name);
            at += entry->d_reclen;
        }
    }
#else
    DIR *dir = fdopendir(dup(fd));
    if (dir == nullptr) return false;
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strchr(entry->d_name, '~') != nullptr) names.emplace_back(entry->d_name);
    }
    const bool listed = errno == 0;
    closedir(dir);
    return listed;
#endif
}

// Whether pathlib's glob machinery is already loaded: from 3.15 pathlib
// imports glob lazily, at its first glob(), and that import is observable
// (its audit events, sys.audit called by name). Names pathlib does not
// have, or has as the very objects of glob, are fine.
bool glob_machinery_loaded() {
    PyObject *modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || !PyDict_Check(modules)) return false;
    PyObject *pathlib = guard_item(modules, "pathlib");  // borrowed
    if (pathlib == nullptr || !PyModule_Check(pathlib)) return false;
    PyObject *space = PyModule_GetDict(pathlib);     // borrowed
    PyObject *glob = guard_item(modules, "glob");    // borrowed
    for (const char *name : {"_StringGlobber", "_no_recurse_symlinks"}) {
        PyObject *held = guard_item(space, name);  // borrowed
        if (held == nullptr) continue;
        if (glob == nullptr) return false;
        Ref own = Ref::steal(PyObject_GetAttrString(glob, name));
        if (!own) {
            drop_doubt();
            return false;
        }
        if (own.get() != held) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- read ----

namespace {

// The guards of read()'s fast path that hold for the whole call.
bool read_guards(PyObject *path_type, PyObject *path) {
    const Process *p = usable();
    return p != nullptr && open_reads_utf8(*p) && real_audit() != nullptr && pathlib_untouched(path_type, path) &&
           stdlib_untouched(kWatchRead);
}

}  // namespace

Ref fast_read_path(PyObject *path_type, PyObject *item) {
    if (!PyUnicode_CheckExact(item) || !read_guards(path_type, nullptr)) return Ref();
    // Path(item) of a str: Path.__new__ gives object.__new__(PosixPath),
    // whose __init__ keeps [os.fspath(item)] as _raw_paths, nothing else.
    static const auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    static PyObject *no_args = nullptr;
    if (object_new == nullptr) return Ref();
    if (no_args == nullptr) no_args = check(PyTuple_New(0)).release();
    PyObject *posix_path = std_object(pathlib_posix_path);
    if (posix_path == nullptr) return Ref();
    Ref path = check(object_new(reinterpret_cast<PyTypeObject *>(posix_path), no_args, nullptr));
    Ref raw_paths = check(PyList_New(1));
    PyList_SetItem(raw_paths.get(), 0, Py_NewRef(item));  // steals
    check(PyObject_SetAttr(path.get(), s_raw_paths.get(), raw_paths.get()));
    return path;
}

FastRead fast_read_candidate(Frame &frame, PyObject *path_type, PyObject *item, PyObject *path,
                             Ref &config, bool guarded) {
    PathText name{};
    PyObject *flags;
    try {
        if (!guarded && !read_guards(path_type, path)) return FastRead::refused;
        if (!path_text(item, name)) return FastRead::refused;
        keep_text(path, name.text.get());
        flags = open_flags();
    } catch (const PyError &) {
        // An error of the call's own, met while the general path would be
        // in open(): the candidate's failure, or the call's.
        frame.line = kLineReadOpen;
        return failed_or_raise();
    }

    // `with open(_path, "r") as f:` — the audit event comes first, so that a
    // hook can refuse the open before any system call, and sees the
    // descriptors the general path would show it.
    frame.line = kLineReadOpen;
    try {
        audit(s_event_open, name.text, s_mode_r.get(), flags);
    } catch (const PyError &) {
        return failed_or_raise();
    }
    struct stat st{};
    Descriptor fd(open_like_io(name, st));
    if (fd.get() < 0) return failed_or_raise();
    if (!S_ISREG(st.st_mode)) st.st_size = 0;

    try {
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

bool fast_save_target_exists(PyObject *path_type, PyObject *target) {
    if (usable() == nullptr || !pathlib_untouched(path_type, nullptr) || !stdlib_untouched(kWatchSave)) {
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

Ref fast_glob(PyObject *path_type, PyObject *sp, PyObject *path, PyObject *pattern) {
    const Process *p = usable();
    if (p == nullptr || real_audit() == nullptr || !pathlib_untouched(path_type, path) ||
        !stdlib_untouched(kWatchClear) || !glob_machinery_loaded()) {
        return Ref();
    }
    if (!PyUnicode_CheckExact(pattern) || PyUnicode_Compare(pattern, s_default_pattern.get()) != 0) {
        PyErr_Clear();
        return Ref();
    }
    PathText name{};
    if (!PyUnicode_CheckExact(sp) || !path_text(sp, name)) return Ref();
    keep_text(path, name.text.get());

    // pathlib raises its event in Python, through sys.audit as bound now.
    Ref bound_audit = Ref::borrow(PySys_GetObject("audit"));
    if (!bound_audit) return Ref();
    // From here on every step is the general path's own, in its order.
    call(bound_audit.get(), s_event_glob.get(), path, pattern);
    Ref matches = check(PyList_New(0));
    if (p->before_313) {
        // is_dir() first: a missing directory (and ENOTDIR, EBADF, ELOOP) is
        // no directory, other errors are raised.
        struct stat st{};
        if (stat(name.bytes, &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP) return matches;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.text.get());
            throw_error();
        }
        if (!S_ISDIR(st.st_mode)) return matches;
    }
    // From 3.14 the directory is listed as "<path>/", and the matches are
    // named by joining to that; before, "<path>" and a separator.
    Ref listed = name.text;
    if (!p->before_314) listed = check(PyUnicode_Concat(name.text.get(), s_slash.get()));
    audit(s_event_scandir, listed);
    const int fd = open(name.bytes, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return matches;  // os.scandir() raised, glob() yields nothing
    std::vector<std::string> names;
    const bool listed_all = tilde_names(fd, names);
    close(fd);
    if (!listed_all) return matches;
    for (const std::string &found : names) {
        // Made as glob() makes them: path.with_segments(text), text cached.
        Ref entry = check(PyUnicode_DecodeFSDefaultAndSize(found.data(), static_cast<Py_ssize_t>(found.size())));
        Ref text = check(PyUnicode_FromFormat("%U/%U", name.text.get(), entry.get()));
        Ref match = call_method(path, s_with_segments, text);
        check(PyObject_SetAttr(match.get(), s_text_slot.get(), text.get()));
        check(PyList_Append(matches.get(), match.get()));
    }
    return matches;
}

}  // namespace brevan
