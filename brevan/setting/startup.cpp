// Start-up: the one call a host tool makes when it starts. A file of its
// own, as each function has: it calls the others through the module
// namespace, as the Python code would.
//
// clear(), read(), fall back to the defaults when a built-in section is
// missing, save(), and return the settings with the settings-file path. Any
// Exception on the way becomes one yellow warning line and a None result.
// Before the defaults overwrite an incomplete settings file, the old file is
// copied to "<file>.bak" (beside the file a link leads to), so a user's
// settings are never thrown away; the copy replaces whatever is at that name
// in one step and never writes through it. The replacement is announced
// once save() has made it; when save() fails, the backup is undone (an
// older one back at its name), and a file save() would refuse (read-only to
// us) is not even copied.
#include "replace_file.hpp"
#include "notional_lines.hpp"
#include "posix_io.hpp"
#include "setting.hpp"

#include <optional>
#include <string>

namespace brevan {
namespace {

StaticString s_clear("clear"), s_save("save"), s_settings("settings");
// The module's own tools, not module globals: rebinding names in brevan.setting
// must not change how a backup is made.
StdAttr os_path_exists("os.path", "exists"), os_fsdecode("os", "fsdecode");
KeywordNames kw_override("override");

struct Unpacked {
    Ref path;
    Ref config;
};

[[gnu::cold]] void unpack_error(Py_ssize_t count) {
    if (count > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                     count == 1 ? "" : "s");
    }
    throw_error();
}

// `path, config = result`, with the interpreter's unpacking rules: a tuple
// or list must hold exactly two items; anything else is iterated for two
// items and must then be exhausted.
Unpacked unpack_pair(PyObject *result) {
    if (PyTuple_CheckExact(result) || PyList_CheckExact(result)) {
        const Py_ssize_t size = PySequence_Size(result);
        if (size != 2) unpack_error(size);
        return {check(PySequence_GetItem(result, 0)), check(PySequence_GetItem(result, 1))};
    }
    Ref iterator = check(PyObject_GetIter(result));
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = next_item(iterator.get());
        if (!items[i]) unpack_error(i);
    }
    if (next_item(iterator.get())) unpack_error(3);
    return {items[0], items[1]};
}

// The backup made before the defaults replace a settings file:
// "<file>.bak" beside the file whose content it keeps (for a settings file
// that is a link, beside the file the link leads to, not in the link's
// directory). Kept when save() replaced the file; undone when it did not,
// so that the directory is as it was, an older backup included: that one
// is set aside under a temporary name meanwhile.
class Backup {
public:
    // Copies the settings file at `path`, when there is one that this
    // process may write (a file save() refuses to replace is not copied).
    // False when nothing was copied.
    bool make(PyObject *path) {
        if (!truth(call(os_path_exists.get(), path).get())) return false;
        const std::string real = real_path(path);
        if (posix_io::faccessat(AT_FDCWD, real.c_str(), W_OK, AT_EACCESS) != 0 &&
            (errno == EACCES || errno == EPERM || errno == EROFS)) {
            return false;
        }
        if (posix_io::stat(real.c_str(), original_) != 0) raise_os_error(real);
        real_ = real;
        path_ = real + ".bak";
        older_.emplace(path_);
        copy_replacing(real, path_);
        made_ = true;
        older_->announce_drop();
        return true;
    }
    // The file was replaced: the older backup goes.
    void keep() noexcept {
        if (older_) older_->drop();
    }
    // save() failed: when the file is as it was (not replaced, not written),
    // the older backup takes its name back, or, where there was none, the
    // new one goes. A file changed meanwhile keeps the new backup: it holds
    // what was there. Best effort.
    void undo() noexcept {
        if (!made_ || changed()) return;
        if (older_->restore()) return;
        if (!older_->kept()) posix_io::unlinkat(AT_FDCWD, path_.c_str(), 0);
    }
    // The backup's path, as a str.
    Ref text() const {
        return check(PyUnicode_DecodeFSDefaultAndSize(path_.data(), static_cast<Py_ssize_t>(path_.size())));
    }

private:
    bool changed() const noexcept {
        struct stat now{};
#ifdef __APPLE__
        const auto &then_changed = original_.st_ctimespec;
        const auto &now_changed = now.st_ctimespec;
#else
        const auto &then_changed = original_.st_ctim;
        const auto &now_changed = now.st_ctim;
#endif
        return posix_io::stat(real_.c_str(), now) != 0 || now.st_dev != original_.st_dev ||
               now.st_ino != original_.st_ino || now.st_size != original_.st_size ||
               now_changed.tv_sec != then_changed.tv_sec || now_changed.tv_nsec != then_changed.tv_nsec;
    }

    std::string real_, path_;
    struct stat original_{};
    std::optional<SetAside> older_;
    bool made_ = false;
};

// Says, in one yellow line, that the settings at `path` were replaced and
// where the old ones are kept: only once save() has replaced them.
void announce_backup(PyObject *path, const Backup &backup) {
    Ref name = call(os_fsdecode.get(), path);  // a str, also for a bytes path
    Ref kept = backup.text();
    const IPrint iprint;
    Ref message = check(PyUnicode_FromFormat(
        "Settings in %S lack a built-in section and are replaced with the defaults; "
        "the old file is kept as %S",
        name.get(), kept.get()));
    iprint(message.get(), colour_yellow.get());
}

// The guarded steps; `subject` follows what a failure is about.
Ref start(Frame &frame, Ref &subject) {
    frame.line = kLineClear;
    call(lookup_global(s_clear).get());

    frame.line = kLineRead;
    Ref result = call(lookup_global(s_read).get());
    Unpacked settings = unpack_pair(result.get());
    subject = settings.path;

    frame.line = kLineCompare;
    Ref sections = check(PySet_New(lookup_global(s_defaults).get()));
    Ref present = check(PySet_New(settings.config.get()));
    const bool complete = truth(check(PyObject_RichCompare(sections.get(), present.get(), Py_LE)).get());

    Ref config = settings.config;
    Backup backup;
    bool backed_up = false;
    try {
        if (!complete) {
            frame.line = kLineFallback;
            config = lookup_global(s_defaults);
            frame.line = kLineBackup;
            backed_up = backup.make(settings.path.get());
        }
        frame.line = kLineSave;
        call_kw(lookup_global(s_save).get(), kw_override.get(), config, settings.path,
                complete ? Py_False : Py_True);
    } catch (...) {
        backup.undo();
        throw;
    }
    backup.keep();
    if (backed_up) {
        frame.line = kLineBackup;
        announce_backup(settings.path.get(), backup);
    }

    frame.line = kLineResult;
    Ref entry = check(PyDict_New());
    check(PyDict_SetItem(entry.get(), s_tjs.get(), settings.path.get()));
    return check(PyNumber_Or(config.get(), entry.get()));
}

}  // namespace

Ref startup_body(Frame &frame, PyObject *const *) {
    Ref subject = Ref::borrow(s_settings.get());
    try {
        return start(frame, subject);
    } catch (const PyError &) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    Ref error = take_exception();
    Handling handling(error.get());
    frame.line = kLineWarn;
    // A missing iprint wins over an error without text, as in Python.
    const IPrint iprint;
    Ref message = check(PyUnicode_FromFormat("Failed to open %S: %S", subject.get(), error.get()));
    iprint(message.get(), colour_yellow.get());
    return Ref::borrow(Py_None);
}

}  // namespace brevan
