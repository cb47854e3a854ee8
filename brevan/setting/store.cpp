// Settings store: read() and save().
//
// read() walks its candidate list and loads the first file that opens and
// decodes; save() writes the dumps() text of a settings dict. save() leaves
// no half-written file: the text is made first, written to a new file next
// to the real target, flushed to disk and given the target's name in one
// step (see "Replacing a file" below).
#include "notional_lines.hpp"
#include "replace_file.hpp"
#include "setting.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace brevan {
namespace {

StaticString s_enter("__enter__"), s_exit("__exit__"), s_write("write"), s_flush("flush"),
    s_close("close"), s_exists("exists"), s_mkdir("mkdir"), s_mode_w("w"),
    s_hint("To override the global settings, place tolvek.json in the current directory!");
KeywordNames kw_mkdir("parents", "exist_ok"), kw_closefd("closefd");

// ------------------------------------------------------------ helpers ----

// `with manager as value: block(value)` by the standard protocol: __exit__
// is fetched before __enter__; a true result of __exit__ suppresses the
// exception of the block. Errors of the protocol itself report `with_line`,
// an exception of the block keeps the line the block had reached.
template <class Block>
void with_block(Frame &frame, int with_line, PyObject *manager, Block &&block) {
    frame.line = with_line;
    Ref exit = getattr(manager, s_exit);
    Ref enter = getattr(manager, s_enter);
    Ref value = call(enter.get());
    bool raised = false;
    try {
        block(value.get());
    } catch (const PyError &) {
        raised = true;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        raised = true;
    }
    if (!raised) {
        frame.line = with_line;
        call(exit.get(), Py_None, Py_None, Py_None);
        return;
    }

    Ref exc = take_exception();
    const int block_line = frame.line;
    frame.line = with_line;
    {
        Handling handling(exc.get());
        Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref suppress = call(exit.get(), reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc,
                            traceback ? traceback.get() : Py_None);
        if (truth(suppress.get())) return;
    }
    frame.line = block_line;
    restore_exception(std::move(exc));
    throw_error();
}

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

}  // namespace

// -------------------------------------------------------------- read() ----

namespace {

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

}  // namespace

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

// ----------------------------------------------------- Replacing a file ----
//
// The text goes to a replacement file in the directory of the real target
// (symbolic links resolved, so a linked target stays a link and the file it
// points to is replaced), which then takes the target's name in one step
// (replace_file.hpp). It gets the permission bits (and, where allowed, the
// owner) of the file it replaces, or, for a new file, those a plain open()
// would give. It is written in text mode through the builtin open(), in one
// write() call, flushed, synced to disk and closed.
//
// Without override, the new file takes the name only where nothing has it,
// so of several processes creating the same file at once exactly one does,
// and the others leave its content alone.
//
// Where the directory takes no new file from us (it is not ours to write,
// or it is sticky and the file someone else's) but the file itself is
// writable, the file is written in place, as a plain open() does. That case
// alone is not safe against a crash in the middle of the write.

namespace {

StdAttr os_realpath("os.path", "realpath");

// The real location of `path` (links resolved), as bytes for the system calls.
std::string real_path(PyObject *path) { return system_path(call(os_realpath.get(), path).get()); }

// A plain `with open(path, "w") as w: w.write(text)`. For targets that
// cannot be replaced it fails (a directory, a read-only file) exactly as
// writing them does, before anything is touched.
void write_plainly(Frame &frame, PyObject *path, PyObject *text) {
    frame.line = kLineSaveReplace;
    Ref file = call(state.open.get(), path, s_mode_w.get());
    with_block(frame, kLineSaveReplace, file.get(), [&](PyObject *w) {
        frame.line = kLineSaveWrite;
        call_method(w, s_write, text);
    });
}

// The text-mode file object over a replacement's descriptor; closed on every
// path, the pending exception going on unchanged. It never closes the
// descriptor itself (closefd=False): the replacement does, exactly once,
// even when making the file object fails half-way.
class TextFile {
public:
    TextFile() = default;
    TextFile(const TextFile &) = delete;
    TextFile &operator=(const TextFile &) = delete;
    ~TextFile() {
        if (!file_) return;
        Ref pending = take_exception();
        try {
            call_method(file_.get(), s_close);
        } catch (const PyError &) {
            PyErr_Clear();
        }
        restore_exception(std::move(pending));
    }

    // Writes `text` in one write() call and flushes it to the system.
    void write(Frame &frame, ReplacementFile &replacement, PyObject *text) {
        frame.line = kLineSaveReplace;
        Ref fd = check(PyLong_FromLong(replacement.fd()));
        file_ = call_kw(state.open.get(), kw_closefd.get(), fd, s_mode_w.get(), Py_False);
        frame.line = kLineSaveWrite;
        call_method(file_.get(), s_write, text);
        frame.line = kLineSaveReplace;
        call_method(file_.get(), s_flush);
    }

    void close() {
        Ref file = std::move(file_);
        call_method(file.get(), s_close);
    }

private:
    Ref file_;
};

// Writes `text` to `path`. With `replace` false the file is only created:
// when something has the name by then, it is left alone, as if it had been
// there when save() looked.
void write_file(Frame &frame, PyObject *path, PyObject *text, bool replace) {
    frame.line = kLineSaveReplace;
    ReplacementFile replacement(real_path(path));
    // An unreachable directory (as behind a dangling link): open() names it.
    if (!replacement.open_directory()) return write_plainly(frame, path, text);
    struct stat st{};
    const bool exists = replacement.stat_target(st);
    if (exists && !replace) return;
    // Whatever a plain open() must report: not a regular file, a file we may
    // not write, a path that cannot be looked at.
    if (exists ? !S_ISREG(st.st_mode) || !replacement.target_writable() : errno != ENOENT) {
        return write_plainly(frame, path, text);
    }
    if (!replacement.create(exists ? &st : nullptr)) {
        if (!replace && replacement.stat_target(st)) return;
        return write_plainly(frame, path, text);
    }

    TextFile file;
    file.write(frame, replacement, text);
    replacement.sync();
    switch (replacement.commit(replace)) {
    case ReplacementFile::Outcome::placed:
        file.close();
        replacement.finish();
        return;
    case ReplacementFile::Outcome::kept:
        return;
    case ReplacementFile::Outcome::refused:
        file.close();
        return write_plainly(frame, path, text);
    }
}

}  // namespace

// -------------------------------------------------------------- save() ----

Ref save_body(Frame &frame, PyObject *const *args) {
    PyObject *obj = args[0], *path_arg = args[1];
    const bool override = args[2] == Py_True;  // made a truth value at binding

    frame.line = kLineSaveTarget;
    Ref path;
    if (truth(path_arg)) {
        Ref path_type = lookup_global(s_path);
        if (!override && fast_save_target_exists(path_type.get(), path_arg)) return Ref::borrow(Py_None);
        path = call(path_type.get(), path_arg);
    } else {
        Ref path_type = lookup_global(s_path);
        Ref tjs = lookup_global(s_tjs);
        Ref index = check(PyLong_FromLong(1));
        Ref item = check(PyObject_GetItem(tjs.get(), index.get()));
        if (!override && fast_save_target_exists(path_type.get(), item.get())) return Ref::borrow(Py_None);
        path = call(path_type.get(), item);
    }

    frame.line = kLineSaveExists;
    if (!override && truth(call_method(path.get(), s_exists).get())) return Ref::borrow(Py_None);

    // The text is made before anything touches the disk.
    frame.line = kLineSaveDumps;
    Ref text = vexil_dumps(obj);

    frame.line = kLineSaveMkdir;
    Ref parent = getattr(path.get(), s_parent);
    call_method_kw(parent.get(), s_mkdir, kw_mkdir.get(), Py_True, Py_True);

    write_file(frame, path.get(), text.get(), override);
    return Ref::borrow(Py_None);
}

}  // namespace brevan
