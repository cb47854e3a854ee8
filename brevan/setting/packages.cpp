// Package environment: find() and clear().
//
// find() asks pip, run as a child of the running interpreter, where a package
// is installed; clear() removes leftover directories (by default, names with
// a tilde: what an interrupted pip uninstall leaves) from the interpreter's
// site-packages directories. clear()'s fast path, the listing of a
// directory for the default pattern without pathlib's glob (behind
// guards.hpp's question), sits beside the glob() it stands in for.
#include "guards.hpp"
#include "notional_lines.hpp"
#include "path_text.hpp"
#include "posix_io.hpp"
#include "setting.hpp"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace brevan {
namespace {

StaticString s_getusersitepackages("getusersitepackages"), s_getsitepackages("getsitepackages"),
    s_site_packages("site-packages"), s_glob("glob"), s_rmtree("rmtree");
StaticString s_run("run"), s_executable("executable"), s_dash_m("-m"), s_pip("pip"),
    s_show("show"), s_returncode("returncode"), s_stdout("stdout"), s_stderr("stderr"),
    s_splitlines("splitlines"), s_lower("lower"), s_location("location"), s_split("split"),
    s_colon(":"), s_strip("strip");
KeywordNames kw_pattern("pattern"), kw_ignore_errors("ignore_errors"),
    kw_capture_output("capture_output");
StaticString s_event_glob("pathlib.Path.glob"), s_event_scandir("os.scandir"), s_default_pattern("*~*"),
    s_slash("/"), s_with_segments("with_segments");

// --------------------------------------------------------------- clear ----

// os.path.realpath and os.sep: the module's own, not module globals, so
// rebinding anything in brevan.setting cannot widen what clear() deletes.
StdAttr os_realpath("os.path", "realpath"), os_sep("os.path", "sep");

// The real location of a site-packages directory, followed by a separator:
// every path strictly inside it starts with this text.
Ref inside_prefix(PyObject *sp) {
    Ref real = call(os_realpath.get(), sp);
    if (!PyUnicode_Check(real.get())) return Ref();
    // Only the root already ends with a separator.
    if (check(static_cast<int>(PyUnicode_Tailmatch(real.get(), os_sep.get(), 0, PY_SSIZE_T_MAX, 1)))) {
        return real;
    }
    return check(PyUnicode_Concat(real.get(), os_sep.get()));
}

// Whether the match `fp` really (links resolved) lies strictly inside the
// directory whose inside_prefix() is `prefix`. A pattern with "..", one that
// matches the directory itself, or a link that leads elsewhere fails this.
bool strictly_inside(PyObject *fp, PyObject *prefix) {
    if (prefix == nullptr) return false;
    Ref real = call(os_realpath.get(), fp);
    if (!PyUnicode_Check(real.get())) return false;
    if (PyUnicode_GetLength(real.get()) <= PyUnicode_GetLength(prefix)) return false;
    return check(static_cast<int>(
               PyUnicode_Tailmatch(real.get(), prefix, 0, PY_SSIZE_T_MAX, -1))) == 1;
}

// What path.glob(pattern=pattern) yields, `path` made from `sp` by
// `path_type`: the list of its matches, listed with the glob's audit events
// and errors; or an empty Ref, having done nothing observable, for the
// general path to glob.
Ref fast_glob(PyObject *path_type, PyObject *sp, PyObject *path, PyObject *pattern) {
    if (!fast_path_allowed(kFastClear, path_type, path)) return Ref();
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
    if (Py_Version < 0x030D0000) {
        // Up to 3.12 glob() asks is_dir() first: a missing directory (and
        // ENOTDIR, EBADF, ELOOP) is no directory, other errors are raised.
        struct stat st{};
        if (posix_io::stat(name.bytes, st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP) return matches;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.text.get());
            throw_error();
        }
        if (!S_ISDIR(st.st_mode)) return matches;
    }
    // From 3.14 the directory is listed as "<path>/", and the matches are
    // named by joining to that; before, "<path>" and a separator.
    Ref listed = name.text;
    if (Py_Version >= 0x030E0000) listed = check(PyUnicode_Concat(name.text.get(), s_slash.get()));
    audit(s_event_scandir, listed);
    // A directory os.scandir() cannot open or list: glob() yields nothing.
    std::vector<std::string> names;
    if (!posix_io::names_holding(name.bytes, '~', names)) return matches;
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

// Removes the matches of `pattern` inside one qualifying directory.
void clear_directory(Frame &frame, PyObject *sp, PyObject *pattern) {
    frame.line = kLineClearGlob;
    Ref path_type = lookup_global(s_path);
    Ref path = call(path_type.get(), sp);
    Ref matches = fast_glob(path_type.get(), sp, path.get(), pattern);
    if (!matches) matches = call_method_kw(path.get(), s_glob, kw_pattern.get(), pattern);
    Ref iterator = check(PyObject_GetIter(matches.get()));
    Ref prefix;
    bool have_prefix = false;  // worked out at the first match: most calls find none
    for (;;) {
        frame.line = kLineClearGlob;
        Ref fp = next_item(iterator.get());
        if (!fp) return;
        frame.line = kLineClearInside;
        if (!have_prefix) {
            prefix = inside_prefix(sp);
            have_prefix = true;
        }
        if (!strictly_inside(fp.get(), prefix.get())) continue;
        frame.line = kLineClearRemove;
        Ref rmtree = getattr(lookup_global(s_shutil).get(), s_rmtree);
        call_kw(rmtree.get(), kw_ignore_errors.get(), fp, Py_True);
    }
}

// ---------------------------------------------------------------- find ----

// Asks pip where `site` is installed and stores each location it reports in
// `sysdir` (the last "location" line wins). A failure to start pip or a
// non-zero exit status raises; the caller reports it, and `sysdir` keeps what
// it held at that moment.
void pip_location(Frame &frame, PyObject *site, Ref &sysdir) {
    frame.line = kLineFindRun;
    Ref run = getattr(lookup_global(s_subprocess).get(), s_run);
    Ref executable = getattr(lookup_global(s_sys).get(), s_executable);
    if (!PyUnicode_CheckExact(executable.get())) {
        executable = check(PyObject_Format(executable.get(), s_empty.get()));
    }
    // One list item per argument: no splitting at blanks, so an interpreter
    // path or a package name that holds a blank reaches the child whole.
    Ref command = check(PyList_New(5));
    PyObject *items[] = {executable.get(), s_dash_m.get(), s_pip.get(), s_show.get(), site};
    for (Py_ssize_t i = 0; i < 5; ++i) {
        check(PyList_SetItem(command.get(), i, Ref::borrow(items[i]).release()));
    }
    Ref status = call_kw(run.get(), kw_capture_output.get(), command, Py_True);

    frame.line = kLineFindStatus;
    Ref returncode = getattr(status.get(), s_returncode);
    Ref zero = check(PyLong_FromLong(0));
    Ref success = check(PyObject_RichCompare(returncode.get(), zero.get(), Py_EQ));
    if (truth(success.get())) {
        frame.line = kLineFindLines;
        Ref out = getattr(status.get(), s_stdout);
        Ref text = call_method(out.get(), s_decode);
        Ref lines = call_method(text.get(), s_splitlines);
        Ref iterator = check(PyObject_GetIter(lines.get()));
        for (;;) {
            frame.line = kLineFindLines;
            Ref s = next_item(iterator.get());
            if (!s) break;
            frame.line = kLineFindMatch;
            Ref lowered = call_method(s.get(), s_lower);
            if (!check(PySequence_Contains(lowered.get(), s_location.get()))) continue;
            frame.line = kLineFindValue;
            Ref one = check(PyLong_FromLong(1));
            Ref parts = call_method(s.get(), s_split, s_colon.get(), one);
            Ref last_index = check(PyLong_FromLong(-1));
            Ref last = check(PyObject_GetItem(parts.get(), last_index.get()));
            sysdir = call_method(last.get(), s_strip);
        }
        return;
    }

    frame.line = kLineFindFailed;
    Ref err = getattr(status.get(), s_stderr);
    Ref text = call_method(err.get(), s_decode);
    Ref exc = call(PyExc_Exception, text);
    PyErr_SetObject(PyExc_Exception, exc.get());
    throw_error();
}

// Prints a caught exception with the builtin print, as an except block
// would; an exception from print propagates with `exc` as its context.
[[gnu::cold]] void print_caught(Frame &frame, PyObject *exc) {
    frame.line = kLineFindPrint;
    Handling handling(exc);
    call(state.print.get(), exc);
}

[[noreturn, gnu::cold]] void not_installed(Frame &frame, PyObject *site) {
    frame.line = kLineFindMissing;
    const IPrint iprint;
    Ref message = check(PyUnicode_FromFormat("%U not installed", site));
    Ref shown = iprint(message.get(), colour_red.get());
    Ref exc = call(PyExc_Exception, shown);
    PyErr_SetObject(PyExc_Exception, exc.get());
    throw_error();
}

}  // namespace

// `if "site-packages" in sp:` and the clean-up of a qualifying directory.
void clear_candidate(Frame &frame, PyObject *sp, PyObject *pattern) {
    frame.line = kLineClearQualifies;
    PyObject *needle = s_site_packages.get();
    const int qualifies = PyUnicode_CheckExact(sp) ? PyUnicode_Contains(sp, needle)
                                                   : PySequence_Contains(sp, needle);
    if (check(qualifies)) clear_directory(frame, sp, pattern);
}

Ref clear_body(Frame &frame, PyObject *const *args) {
    PyObject *pattern = args[0];

    frame.line = kLineClearLoop;
    Ref user = call_method(lookup_global(s_site).get(), s_getusersitepackages);
    Ref rest = call_method(lookup_global(s_site).get(), s_getsitepackages);
    if (PyList_CheckExact(rest.get())) {
        // `[user] + rest` of a real list is a new list: walked by index as
        // its iterator would (gc.get_objects() can still reach and change
        // it), and not made at all when `rest` is empty.
        const Py_ssize_t n = PyList_Size(rest.get());
        if (n == 0) {
            clear_candidate(frame, user.get(), pattern);
            return Ref::borrow(Py_None);
        }
        Ref directories = check(PyList_New(n + 1));
        check(PyList_SetItem(directories.get(), 0, user.release()));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyList_GetItem(rest.get(), i);  // borrowed
            check(PyList_SetItem(directories.get(), i + 1, Ref::borrow(item).release()));
        }
        for (Py_ssize_t i = 0; i < PyList_Size(directories.get()); ++i) {
            frame.line = kLineClearLoop;
            Ref sp = Ref::borrow(PyList_GetItem(directories.get(), i));
            clear_candidate(frame, sp.get(), pattern);
        }
        return Ref::borrow(Py_None);
    }
    // Anything else goes through `+` and iteration, with whatever they run.
    Ref first = check(PyList_New(1));
    check(PyList_SetItem(first.get(), 0, user.release()));
    Ref directories = check(PyNumber_Add(first.get(), rest.get()));
    Ref iterator = check(PyObject_GetIter(directories.get()));
    for (;;) {
        frame.line = kLineClearLoop;
        Ref sp = next_item(iterator.get());
        if (!sp) break;
        clear_candidate(frame, sp.get(), pattern);
    }
    return Ref::borrow(Py_None);
}

Ref find_body(Frame &frame, PyObject *const *args) {
    PyObject *site = args[0];

    frame.line = kLineFindStart;
    Ref sysdir = Ref::borrow(s_empty.get());
    // A leading "-" would reach pip as an option, not a package name.
    frame.line = kLineFindOption;
    const bool option = PyUnicode_GetLength(site) > 0 && PyUnicode_ReadChar(site, 0) == '-';
    if (!option) {
        try {
            pip_location(frame, site, sysdir);
        } catch (const PyError &) {
            // Exception and its subclasses only: KeyboardInterrupt, SystemExit
            // and the like leave at once, with nothing printed.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            Ref exc = take_exception();
            print_caught(frame, exc.get());
        }
    }

    frame.line = kLineFindEmpty;
    if (!truth(sysdir.get())) not_installed(frame, site);

    frame.line = kLineFindFound;
    const IPrint iprint;
    Ref location = PyUnicode_CheckExact(sysdir.get())
                       ? sysdir
                       : check(PyObject_Format(sysdir.get(), s_empty.get()));
    Ref message = check(PyUnicode_FromFormat("%U found in %U", site, location.get()));
    iprint(message.get(), colour_cyan.get());
    frame.line = kLineFindReturn;
    return sysdir;
}

}  // namespace brevan
