// read(): walk the candidate list and load the first settings file that
// opens and decodes, else fall back to `defaults`. The general path (the
// builtin open, pathlib's Path) and the fast path for a candidate (the file
// opened and read as io does, Path(item) made without pathlib's code) are
// side by side here, so that a change to one is made to the other. Whether
// the fast path may be taken is guards.hpp's question.
#include "guards.hpp"
#include "notional_lines.hpp"
#include "path_text.hpp"
#include "posix_io.hpp"
#include "setting.hpp"
#include "with_statement.hpp"

#include <cstring>
#include <new>
#include <sys/stat.h>
#include <utility>

namespace brevan {
namespace {

StaticString s_hint("To override the global settings, place tolvek.json in the current directory!"),
    s_announce("Load settings from "), s_event_open("open"), s_raw_paths("_raw_paths"), s_strict("strict"),
    s_utf_8("utf-8"), s_crlf("\r\n"), s_cr("\r"), s_lf("\n");
StdAttr incremental_decoder("codecs", "getincrementaldecoder"), io_bytes_io("_io", "BytesIO"),
    io_text_wrapper("_io", "TextIOWrapper");

// format(value, ""), as an f-string renders a value.
Ref format_text(PyObject *value) { return check(PyObject_Format(value, s_empty.get())); }

// iprint(prefix + f"{value}" [+ ": " + f"{error}"], foreground=colour), in
// the order Python evaluates the call.
void print_about(const char *prefix, PyObject *value, PyObject *error, PyObject *colour) {
    const IPrint iprint;
    Ref value_text = format_text(value);
    Ref message = error == nullptr
                      ? check(PyUnicode_FromFormat("%s%U", prefix, value_text.get()))
                      : check(PyUnicode_FromFormat("%s%U: %U", prefix, value_text.get(),
                                                   format_text(error).get()));
    iprint(message.get(), colour);
}

// ---------------------------------------------------------- general path ----

// One candidate under the guard: open, announce, read and decode it.
// Returns normally when the walk should stop (the file was loaded, or its
// __exit__ swallowed an error).
void load_candidate(Frame &frame, PyObject *path, Ref &config) {
    frame.line = kLineReadOpen;
    Ref file = call(state.open.get(), path, s_mode_r.get());
    with_block(frame, kLineReadOpen, file.get(), [&](PyObject *f) {
        frame.line = kLineReadAnnounce;
        print_about("Load settings from ", path, nullptr, colour_cyan.get());
        frame.line = kLineReadLoad;
        Ref loads = lookup_global(s_loads);  // before f.read(), as loads(f.read()) runs
        Ref text = call_method(f, s_read);
        config = call(loads.get(), text);
    });
}

// The except block for a candidate that failed with `exc` (an Exception):
// a broken file is named in yellow, then the hint follows for every failure.
[[gnu::cold]] void report_failure(Frame &frame, PyObject *path, PyObject *exc) {
    Handling handling(exc);
    if (!PyErr_GivenExceptionMatches(exc, PyExc_FileNotFoundError)) {
        frame.line = kLineReadFailed;
        print_about("Failed to load ", path, exc, colour_yellow.get());
    }
    frame.line = kLineReadHint;
    IPrint()(s_hint.get(), colour_cyan.get(), colour_red.get());
}

// ------------------------------------------------------------- fast path ----

// Path(item), made without running pathlib's code when `path_type` is
// pathlib's Path, `item` an exact str and the fast path may be taken; else
// an empty Ref, having done nothing observable.
Ref fast_read_path(PyObject *path_type, PyObject *item) {
    if (!PyUnicode_CheckExact(item) || !fast_path_allowed(kFastRead, path_type, nullptr)) return Ref();
    // Path(item) of a str: Path.__new__ gives object.__new__(PosixPath),
    // whose __init__ keeps [os.fspath(item)] as _raw_paths, nothing else.
    static const auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    static PyObject *no_args = nullptr;
    if (object_new == nullptr) return Ref();
    if (no_args == nullptr) no_args = check(PyTuple_New(0)).release();
    PyObject *posix_path = posix_path_type();
    if (posix_path == nullptr) return Ref();
    Ref path = check(object_new(reinterpret_cast<PyTypeObject *>(posix_path), no_args, nullptr));
    Ref raw_paths = check(PyList_New(1));
    PyList_SetItem(raw_paths.get(), 0, Py_NewRef(item));  // steals
    check(PyObject_SetAttr(path.get(), s_raw_paths.get(), raw_paths.get()));
    return path;
}

// The candidate was loaded (into `config`), failed (the Exception is
// pending, as the general path would catch it), or refused (nothing
// observable happened: the general path takes it).
enum class FastRead { refused, loaded, failed };

// Where a caught error goes: an Exception is the candidate's failure; any
// other (an interrupt) leaves read().
FastRead failed_or_raise() {
    // A failure whose error was lost on the way (seen only with the memory
    // exhausted) is reported as what it was.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    return FastRead::failed;
}

// The flags of the open, as the "open" audit event shows them.
PyObject *open_flags() {
    static PyObject *flags = nullptr;
    if (flags == nullptr) flags = check(PyLong_FromLong(posix_io::kReadFlags)).release();
    return flags;
}

// A decoding error raised by the very decoder text mode uses, so that it
// carries the same traceback.
[[gnu::cold]] Ref undecodable(const char *data, Py_ssize_t size) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error();
    PyErr_Clear();
    Ref bytes = check(PyBytes_FromStringAndSize(data, size));
    Ref decoder_type = call(incremental_decoder.get(), s_utf_8.get());
    Ref decoder = call(decoder_type.get(), s_strict.get());
    return call_method(decoder.get(), s_decode, bytes, Py_True);
}

// The text of `data` as io's text layer decodes it, its decoder looked up
// and called now: io.TextIOWrapper(io.BytesIO(data)).read(). For a decoder
// a hook changed at the open event, when the general path's text layer did
// not exist yet.
[[gnu::cold]] Ref decoded_by_io(const char *data, Py_ssize_t size) {
    Ref bytes = check(PyBytes_FromStringAndSize(data, size));
    Ref buffer = call(io_bytes_io.get(), bytes);
    Ref text_file = call(io_text_wrapper.get(), buffer);
    return call_method(text_file.get(), s_read);
}

// The whole file, as f.read() of a text-mode file gives it. Errors are the
// ones of the file object: OSError from reading, and a decoding error from
// its decoder.
Ref read_text(int fd, const struct stat &st, bool decoder_as_recorded) {
    posix_io::ReadBuffer buffer(st.st_size);
    buffer.read_to_end(fd);
    const auto size = static_cast<Py_ssize_t>(buffer.filled());
    if (!decoder_as_recorded) return decoded_by_io(buffer.data(), size);
    PyObject *decoded = PyUnicode_DecodeUTF8(buffer.data(), size, "strict");
    Ref text = decoded != nullptr ? Ref::steal(decoded) : undecodable(buffer.data(), size);
    if (std::memchr(buffer.data(), '\r', buffer.filled()) == nullptr) return text;
    // Universal newlines: "\r\n", then every "\r" left, become "\n".
    text = check(PyUnicode_Replace(text.get(), s_crlf.get(), s_lf.get(), -1));
    return check(PyUnicode_Replace(text.get(), s_cr.get(), s_lf.get(), -1));
}

// One candidate of read(), `item` already made into `path` by `path_type`.
// An error that is no Exception is thrown. `guarded`: fast_read_path() made
// `path`, and nothing ran since.
FastRead fast_read_candidate(Frame &frame, PyObject *path_type, PyObject *item, PyObject *path,
                             Ref &config, bool guarded) {
    PathText name{};
    PyObject *flags;
    try {
        if (!guarded && !fast_path_allowed(kFastRead, path_type, path)) return FastRead::refused;
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
    posix_io::Fd fd = posix_io::open_like_io(name.bytes, name.text.get(), st);
    if (!fd.valid()) return failed_or_raise();
    if (!S_ISREG(st.st_mode)) st.st_size = 0;

    try {
        frame.line = kLineReadAnnounce;
        const IPrint iprint;
        // f"...{_path}": the text kept on the Path, unless a hook at the
        // event patched what the f-string calls.
        Ref shown = attributes_untouched(kReadMessage) ? name.text : format_text(path);
        Ref message = check(PyUnicode_Concat(s_announce.get(), shown.get()));
        iprint(message.get(), colour_cyan.get());
        frame.line = kLineReadLoad;
        Ref loads = lookup_global(s_loads);  // before the file is read, as loads(f.read()) runs
        Ref text = read_text(fd.get(), st, attributes_untouched(kReadDecoding));
        config = call(loads.get(), text);
    } catch (const PyError &) {
        return failed_or_raise();
    } catch (...) {
        set_python_error("brevan.setting");
        return failed_or_raise();
    }
    frame.line = kLineReadOpen;
    if (!fd.close_now()) {
        PyErr_SetFromErrno(PyExc_OSError);
        return FastRead::failed;
    }
    return FastRead::loaded;
}

}  // namespace

// ------------------------------------------------------------------ read ----

Ref read_body(Frame &frame, PyObject *const *args) {
    PyObject *candidates = args[0];  // exactly a list (checked at binding)
    frame.line = kLineReadConfig;
    Ref config = check(PyDict_New());
    Ref path;
    // By index, re-reading the length each step, so that the walk follows
    // changes made to the list meanwhile, as iterating over it does.
    for (Py_ssize_t i = 0;; ++i) {
        frame.line = kLineReadFor;
        if (i >= PyList_Size(candidates)) break;
        Ref item = Ref::borrow(PyList_GetItem(candidates, i));
        frame.line = kLineReadPath;
        Ref path_type = lookup_global(s_path);
        Ref made = fast_read_path(path_type.get(), item.get());
        const bool guarded = static_cast<bool>(made);
        path = guarded ? std::move(made) : call(path_type.get(), item);
        const FastRead fast = fast_read_candidate(frame, path_type.get(), item.get(), path.get(), config, guarded);
        if (fast == FastRead::loaded) break;
        if (fast == FastRead::refused) {
            try {
                load_candidate(frame, path.get(), config);
                break;
            } catch (const PyError &) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            }
        }
        Ref exc = take_exception();
        report_failure(frame, path.get(), exc.get());
    }

    frame.line = kLineReadReturn;
    if (!path) {
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                     "_path");
        throw_error();
    }
    Ref settings = truth(config.get()) ? config : lookup_global(s_defaults);
    return check(PyTuple_Pack(2, path.get(), settings.get()));
}

}  // namespace brevan
