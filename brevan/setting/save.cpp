// save(): write the dumps() text of a settings dict to a settings file,
// creating missing directories, and leave an existing file alone unless told
// to overwrite it. The general path, the fast answer to "does the target
// exist?" (one stat(), behind guards.hpp's question) and the writing of the
// file in one step are side by side here, so that a change to one is made to
// the others.
//
// save() leaves no half-written file: the text is made first, written to a
// new file next to the real target, flushed to disk and given the target's
// name in one step (replace_file.hpp).
#include "guards.hpp"
#include "notional_lines.hpp"
#include "path_text.hpp"
#include "replace_file.hpp"
#include "setting.hpp"
#include "with_statement.hpp"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace brevan {
namespace {

StaticString s_write("write"), s_flush("flush"), s_close("close"), s_exists("exists"), s_mkdir("mkdir"),
    s_mode_w("w"), s_event_open("open");
KeywordNames kw_mkdir("parents", "exist_ok"), kw_closefd("closefd");

// ---------------------------------------------------- the target exists ----

// Whether Path(target).exists() is surely true, asked without making the
// Path; false means "ask the general path".
bool fast_save_target_exists(PyObject *path_type, PyObject *target) {
    if (!fast_path_allowed(kFastSave, path_type, nullptr)) return false;
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
    return posix_io::stat(name.bytes, st) == 0;
}

// ------------------------------------------------------ writing the file ----
//
// The text goes to a replacement file in the directory of the real target
// (symbolic links resolved, so a linked target stays a link and the file it
// points to is replaced), which then takes the target's name in one step
// (replace_file.hpp). It gets the permission bits (and, where allowed, the
// owner) of the file it replaces, or, for a new file, those a plain open()
// would give, and its extended attributes (the access ACL among them). It is
// written in text mode through the builtin open(), in one write() call,
// flushed, synced to disk and closed. Before anything is made, audit hooks
// see what a plain open(path, "w") shows them; each later change is
// announced by replace_file.cpp.
//
// Without override, the new file takes the name only where nothing has it,
// so of several processes creating the same file at once exactly one does,
// and the others leave its content alone.
//
// Where the directory takes no new file from us (it is not ours to write,
// or it is sticky and the file someone else's), or the file has an extended
// attribute the new one cannot be given, but the file itself is writable,
// the file is written in place, as a plain open() does. That case alone is
// not safe against a crash in the middle of the write.

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

// What a plain open(path, "w") raises before it makes anything: the path
// as io shows it, and io's flags for "w".
void announce_open_for_writing(PyObject *path) {
    static PyObject *flags = nullptr;
    if (flags == nullptr) flags = check(PyLong_FromLong(O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC)).release();
    Ref shown = check(PyOS_FSPath(path));
    announce(s_event_open, shown, s_mode_w.get(), flags);
}

enum class Written { done, in_place };

// Writes `text` to `path` through a replacement file. With `replace` false
// the file is only created: when something has the name by then, it is left
// alone, as if it had been there when save() looked. `in_place` where the
// file is to be written as a plain open() does; the replacement is gone by
// then.
Written replace_file(Frame &frame, PyObject *path, PyObject *text, bool replace) {
    frame.line = kLineSaveReplace;
    ReplacementFile replacement(real_path(path));
    // A root ("/", "//"): no name to replace, and open() says what it is. An
    // unreachable directory (as behind a dangling link): open() names it.
    if (replacement.is_root() || !replacement.open_directory()) return Written::in_place;
    struct stat st{};
    const bool exists = replacement.stat_target(st);
    if (exists && !replace) return Written::done;
    // Whatever a plain open() must report: not a regular file, a file we may
    // not write, a path that cannot be looked at.
    if (exists ? !S_ISREG(st.st_mode) || !replacement.target_writable() : errno != ENOENT) {
        return Written::in_place;
    }
    const struct stat *like = exists ? &st : nullptr;
    announce_open_for_writing(path);
    if (!replacement.create(like)) {
        if (!replace && replacement.stat_target(st)) return Written::done;
        return Written::in_place;
    }

    TextFile file;
    file.write(frame, replacement, text);
    // An attribute of the target's that the new file cannot take (an ACL, a
    // label): replacing would change who may read it.
    if (!replacement.settle(like)) return Written::in_place;
    replacement.sync();
    switch (replacement.commit(replace)) {
    case ReplacementFile::Outcome::placed:
        file.close();
        replacement.finish();
        return Written::done;
    case ReplacementFile::Outcome::kept:
        return Written::done;
    case ReplacementFile::Outcome::refused:
        break;
    }
    return Written::in_place;
}

void write_file(Frame &frame, PyObject *path, PyObject *text, bool replace) {
    if (replace_file(frame, path, text, replace) == Written::in_place) write_plainly(frame, path, text);
}

}  // namespace

// ------------------------------------------------------------------ save ----

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
