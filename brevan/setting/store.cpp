// Settings store: read() and save().
//
// read() walks its candidate list and loads the first file that opens and
// decodes; save() writes the dumps() text of a settings dict. save() never
// leaves a half-written file: the text is made first, written to a temporary
// file next to the real target, flushed to disk and renamed over the target
// in one step (see "Replacing a file" below).
#include "setting.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace brevan {
namespace {

// Lines of the notional source.
constexpr int kLineSaveTarget = 33, kLineSaveExists = 34, kLineSaveDumps = 36, kLineSaveMkdir = 37,
              kLineSaveReplace = 38, kLineSaveWrite = 39;
constexpr int kLineReadConfig = 51, kLineReadFor = 52, kLineReadPath = 53, kLineReadOpen = 55,
              kLineReadAnnounce = 56, kLineReadLoad = 57, kLineReadFailed = 61, kLineReadHint = 62,
              kLineReadReturn = 64;

StaticString s_path("Path"), s_tjs("tjs"), s_defaults("defaults"), s_enter("__enter__"),
    s_exit("__exit__"), s_read("read"), s_write("write"), s_flush("flush"), s_close("close"),
    s_exists("exists"), s_parent("parent"), s_mkdir("mkdir"), s_mode_r("r"), s_mode_w("w"),
    s_empty(""), s_loads("loads"),
    s_hint("To override the global settings, place tolvek.json in the current directory!");
KeywordNames kw_mkdir("parents", "exist_ok");

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
        path = call(path_type.get(), item);
        const FastRead fast = fast_read_candidate(frame, path_type.get(), item.get(), path.get(), config);
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
// The new text goes to a temporary file in the directory of the real target
// (symbolic links resolved, so a linked target stays a link and the file it
// points to is replaced). Where the system has them (Linux), that file is
// anonymous (O_TMPFILE) and only gets a name just before the rename, so a
// process killed while writing leaves nothing behind; elsewhere it is a
// hidden named file, removed on every failure. It gets the permission bits
// (and, where allowed, the owner) of the file it replaces, or, for a new
// file, those a plain open() would give: 0o666 less the umask, applied by
// the system at creation. It is written in text mode through the builtin
// open(), flushed, synced to disk, closed and renamed over the target.

namespace {

// The OSError for errno, naming `filename` (bytes, as the system saw it).
[[noreturn, gnu::cold]] void raise_errno(const std::string &filename) {
    const int saved = errno;
    Ref name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
        filename.data(), static_cast<Py_ssize_t>(filename.size())));
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    throw_error();
}

StdAttr os_realpath("os.path", "realpath");

// The real location of `path` (links resolved), as bytes for the system calls.
Ref real_path(PyObject *path) {
    Ref real = call(os_realpath.get(), path);
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(real.get(), &bytes)) throw_error();
    return Ref::steal(bytes);
}

// What the target is now: absent, a regular file we may write, or something
// (a directory, a file we may not write, a device, an unreachable path) that
// plain writing must handle, and whose error it must report.
enum class Target { absent, replaceable, plain };

// A new file needs a directory we can create it in; where there is none
// (a missing directory, as behind a dangling link), plain writing raises the
// error that names the target.
Target inspect_target(const std::string &real, const std::string &dir, struct stat &st) {
    if (stat(real.c_str(), &st) != 0) {
        if (errno != ENOENT || access(dir.c_str(), W_OK | X_OK) != 0) return Target::plain;
        return Target::absent;
    }
    if (!S_ISREG(st.st_mode) || access(real.c_str(), W_OK) != 0) return Target::plain;
    return Target::replaceable;
}

// Calls fsync(fd) without holding the interpreter lock.
int sync_fd(int fd) noexcept {
    int result;
    Py_BEGIN_ALLOW_THREADS
    result = fsync(fd);
    Py_END_ALLOW_THREADS
    return result;
}

// Best effort: makes the rename durable.
void sync_directory(const std::string &dir) noexcept {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    sync_fd(fd);
    close(fd);
}

// "<dir>/.<name>.<unique>.tmp", hidden and unlikely to collide.
std::string temporary_name(const std::string &dir, const std::string &name) {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char unique[48];
    std::snprintf(unique, sizeof unique, ".%lx%lx%x.tmp", static_cast<unsigned long>(getpid()),
                  static_cast<unsigned long>(now.tv_nsec), ++counter);
    return dir + "/." + name.substr(0, 200) + unique;
}

// /proc/self/fd is how an anonymous file gets its name (linkat with
// AT_EMPTY_PATH needs a privilege that ordinary users lack).
bool can_link_anonymous() {
    static const bool available = access("/proc/self/fd", X_OK) == 0;
    return available;
}

class TemporaryFile {
public:
    TemporaryFile(std::string dir, std::string name) : dir_(std::move(dir)), name_(std::move(name)) {}
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    // Whatever is left on a failure is closed and removed; the pending
    // exception goes on unchanged.
    ~TemporaryFile() {
        if (!file_ && fd_ < 0 && linked_.empty()) return;
        Ref pending = take_exception();
        if (file_) {
            try {
                call_method(file_.get(), s_close);
            } catch (const PyError &) {
                PyErr_Clear();
            }
        } else if (fd_ >= 0) {
            close(fd_);
        }
        if (!linked_.empty()) unlink(linked_.c_str());
        restore_exception(std::move(pending));
    }

    // Creates the file, empty, with the permissions it will keep.
    void create(const struct stat *old) {
#ifdef O_TMPFILE
        if (can_link_anonymous()) {
            fd_ = open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) raise_errno(dir_);
        }
#endif
        for (int attempt = 0; fd_ < 0; ++attempt) {
            std::string candidate = temporary_name(dir_, name_);
            fd_ = open(candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                linked_ = std::move(candidate);
            } else if (errno != EEXIST || attempt >= 100) {
                raise_errno(candidate);
            }
        }
        if (old != nullptr) keep_permissions(*old);
    }

    // Writes `text` in one write() call of a text-mode file object.
    void write(Frame &frame, PyObject *text) {
        frame.line = kLineSaveReplace;
        Ref fd = check(PyLong_FromLong(fd_));
        file_ = call(state.open.get(), fd, s_mode_w.get());
        fd_owned_by_file_ = fd_;
        fd_ = -1;
        frame.line = kLineSaveWrite;
        call_method(file_.get(), s_write, text);
    }

    // Flushes to disk, names the file if it is anonymous, closes it and
    // renames it over `target`.
    void commit(Frame &frame, const std::string &target) {
        frame.line = kLineSaveReplace;
        call_method(file_.get(), s_flush);
        if (sync_fd(fd_owned_by_file_) != 0) raise_errno(target);
        if (linked_.empty()) link_anonymous();
        Ref file = std::move(file_);
        call_method(file.get(), s_close);
        if (rename(linked_.c_str(), target.c_str()) != 0) raise_errno(target);
        linked_.clear();
        sync_directory(dir_);
    }

private:
    void keep_permissions(const struct stat &old) {
        if (old.st_uid != geteuid() || old.st_gid != getegid()) {
            if (fchown(fd_, old.st_uid, old.st_gid) != 0) {
                // Not allowed: the new file stays ours, like a copy would.
            }
        }
        if (fchmod(fd_, old.st_mode & 07777) != 0) raise_errno(dir_);
    }

    void link_anonymous() {
        const std::string source = "/proc/self/fd/" + std::to_string(fd_owned_by_file_);
        for (int attempt = 0;; ++attempt) {
            std::string candidate = temporary_name(dir_, name_);
            if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                linked_ = std::move(candidate);
                return;
            }
            if (errno != EEXIST || attempt >= 100) raise_errno(candidate);
        }
    }

    std::string dir_, name_;
    int fd_ = -1;                 // ours until the file object takes it
    int fd_owned_by_file_ = -1;   // the same descriptor, for fsync and linking
    Ref file_;                    // the text-mode file object
    std::string linked_;          // the temporary name, while it exists
};

// A plain `with open(path, "w") as w: w.write(text)`, for targets that
// cannot be replaced: it fails (a directory, a read-only file) exactly as
// writing them does, before anything is touched.
void write_plainly(Frame &frame, PyObject *path, PyObject *text) {
    frame.line = kLineSaveReplace;
    Ref file = call(state.open.get(), path, s_mode_w.get());
    with_block(frame, kLineSaveReplace, file.get(), [&](PyObject *w) {
        frame.line = kLineSaveWrite;
        call_method(w, s_write, text);
    });
}

void write_replacing(Frame &frame, PyObject *path, PyObject *text) {
    frame.line = kLineSaveReplace;
    Ref real_bytes = real_path(path);
    const std::string real(PyBytes_AsString(real_bytes.get()),
                           static_cast<std::size_t>(PyBytes_Size(real_bytes.get())));
    const std::size_t slash = real.rfind('/');  // realpath() is absolute
    std::string dir = slash == 0 ? "/" : real.substr(0, slash);
    struct stat st{};
    const Target target = inspect_target(real, dir, st);
    if (target == Target::plain) return write_plainly(frame, path, text);

    TemporaryFile temporary(std::move(dir), real.substr(slash + 1));
    temporary.create(target == Target::replaceable ? &st : nullptr);
    temporary.write(frame, text);
    temporary.commit(frame, real);
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

    write_replacing(frame, path.get(), text.get());
    return Ref::borrow(Py_None);
}

}  // namespace brevan
