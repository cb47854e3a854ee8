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

// ------------------------------------------ after a hook at glob's event ----
//
// An audit hook run at an event the fast path raised may patch pathlib: the
// general path would then take the patched code for its next steps. The
// guard is asked again after each event, and where it now says no, the rest
// of the step is done as pathlib does it, through Python (the event is not
// raised again).

StaticString s_parse_path("_parse_path"), s_flavour("_flavour"), s_sep("sep"), s_altsep("altsep"),
    s_select_from("select_from"), s_anchor("anchor"), s_tail("_tail"), s_copy("copy"), s_raw_path("_raw_path"),
    s_parser("parser"), s_glob_selector("_glob_selector"), s_parse_pattern("_parse_pattern"), s_selector("selector"),
    s_join("join"), s_dot("."), s_remove_leading_dot("_remove_leading_dot"),
    s_from_parsed_string("_from_parsed_string"), s_make_child_relpath("_make_child_relpath"),
    s_append("append"), s_remove_trailing_slash("_remove_trailing_slash"),
    s_filter_trailing_slash("_filter_trailing_slash"), s_double_star("**");

// map(function, iterable), with builtins.map as it is now.
Ref mapped(PyObject *function, PyObject *iterable) {
    Ref map = check(PyObject_GetAttrString(state.builtins.get(), "map"));
    return call(map.get(), function, iterable);
}

[[noreturn, gnu::cold]] void non_relative() {
    PyErr_SetString(PyExc_NotImplementedError, "Non-relative patterns are unsupported");
    throw_error();
}

// A global of pathlib's module, as glob()'s code looks it up now.
Ref pathlib_global(const char *name) {
    Ref module = check(PyImport_ImportModule("pathlib"));
    return check(PyObject_GetAttrString(module.get(), name));
}

// `text[-1] in (owner.<parser>.sep, owner.<parser>.altsep)`, the parser
// read twice from `owner`, as glob()'s code reads it.
bool ends_with_separator(PyObject *text, PyObject *owner, StaticString &parser) {
    Ref last = check(PySequence_GetItem(text, -1));
    Ref separators = check(PyTuple_New(2));
    PyTuple_SetItem(separators.get(), 0, getattr(getattr(owner, parser).get(), s_sep).release());
    PyTuple_SetItem(separators.get(), 1, getattr(getattr(owner, parser).get(), s_altsep).release());
    return check(PySequence_Contains(separators.get(), last.get())) == 1;
}

// A copy of the list `parts`, reversed: parts[::-1].
Ref reversed_copy(PyObject *parts) {
    Ref reversed = check(PySequence_GetSlice(parts, 0, PY_SSIZE_T_MAX));
    check(PyList_Reverse(reversed.get()));
    return reversed;
}

// What path.glob(pattern) still does after its audit event, on this version,
// each attribute read where and as often as glob()'s code reads it: an
// iterable of its matches.
Ref glob_after_event(PyObject *path, PyObject *pattern) {
    if (Py_Version < 0x030D0000) {
        if (!truth(pattern)) {
            PyErr_Format(PyExc_ValueError, "Unacceptable pattern: %R", pattern);
            throw_error();
        }
        Ref parsed = call_method(path, s_parse_path, pattern);
        Ref drv = check(PySequence_GetItem(parsed.get(), 0)), root = check(PySequence_GetItem(parsed.get(), 1));
        Ref parts = check(PySequence_GetItem(parsed.get(), 2));
        if (truth(drv.get()) || truth(root.get())) non_relative();
        if (ends_with_separator(pattern, path, s_flavour)) call_method(parts.get(), s_append, s_empty.get());
        Ref selector = call(pathlib_global("_make_selector").get(), check(PySequence_Tuple(parts.get())),
                            getattr(path, s_flavour), Py_None);
        return call_method(selector.get(), s_select_from, path);
    }
    Ref parts, paths, root;
    if (Py_Version < 0x030E0000) {
        Ref pattern_path = call_method(path, s_with_segments, pattern);
        if (truth(getattr(pattern_path.get(), s_anchor).get())) non_relative();
        parts = call_method(getattr(pattern_path.get(), s_tail).get(), s_copy);
        if (!truth(parts.get())) {
            PyErr_Format(PyExc_ValueError, "Unacceptable pattern: %R", pattern_path.get());
            throw_error();
        }
        Ref raw = getattr(pattern_path.get(), s_raw_path);
        if (ends_with_separator(raw.get(), path, s_parser)) call_method(parts.get(), s_append, s_empty.get());
        Ref select = call_method(path, s_glob_selector, reversed_copy(parts.get()), Py_None, Py_False);
        root = check(PyObject_Str(path));
        paths = call(select.get(), root);
    } else {
        Ref posixpath = pathlib_global("posixpath");
        PyObject *case_sensitive = getattr(path, s_parser).get() == posixpath.get() ? Py_True : Py_False;
        parts = call_method(path, s_parse_pattern, pattern);
        Ref recursive = pathlib_global("_no_recurse_symlinks");
        Ref globber = call(pathlib_global("_StringGlobber").get(), getattr(getattr(path, s_parser).get(), s_sep),
                           case_sensitive, Py_False, recursive);
        Ref select = call_method(globber.get(), s_selector, reversed_copy(parts.get()));
        root = check(PyObject_Str(path));
        paths = call(select.get(), call_method(getattr(path, s_parser).get(), s_join, root, s_empty.get()));
    }
    if (check(PyObject_RichCompareBool(root.get(), s_dot.get(), Py_EQ))) {
        paths = mapped(getattr(path, s_remove_leading_dot).get(), paths.get());
    }
    Ref last = check(PySequence_GetItem(parts.get(), -1));
    if (check(PyObject_RichCompareBool(last.get(), s_empty.get(), Py_EQ))) {
        paths = mapped(getattr(path, s_remove_trailing_slash).get(), paths.get());
    } else if (check(PyObject_RichCompareBool(last.get(), s_double_star.get(), Py_EQ))) {
        paths = call_method(path, s_filter_trailing_slash, paths);
    }
    return mapped(getattr(path, s_from_parsed_string).get(), paths.get());
}

// A match of the listing at `text` (entry `entry` of the directory), made
// as the general path makes it once a hook patched the steps: 3.12's
// _make_child_relpath(name), later versions' _from_parsed_string(text).
Ref match_as_pathlib_makes_it(PyObject *path, PyObject *entry, PyObject *text) {
    if (Py_Version < 0x030D0000) return call_method(path, s_make_child_relpath, entry);
    return call_method(path, s_from_parsed_string, text);
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

    // pathlib raises its event in Python, through sys.audit as bound now.
    Ref bound_audit = Ref::borrow(PySys_GetObject("audit"));
    if (!bound_audit) return Ref();
    // From here on every step is the general path's own, in its order.
    call(bound_audit.get(), s_event_glob.get(), path, pattern);
    if (!fast_path_allowed(kFastClear, path_type, path)) return glob_after_event(path, pattern);
    // The text str() caches on the Path while glob() lists it.
    keep_text(path, name.text.get());
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
    const bool as_recorded = attributes_untouched(kClearMatches);
    // A directory os.scandir() cannot open or list: glob() yields nothing.
    std::vector<std::string> names;
    if (!posix_io::names_holding(name.bytes, '~', names)) return matches;
    for (const std::string &found : names) {
        Ref entry = check(PyUnicode_DecodeFSDefaultAndSize(found.data(), static_cast<Py_ssize_t>(found.size())));
        Ref text = check(PyUnicode_FromFormat("%U/%U", name.text.get(), entry.get()));
        Ref match;
        if (as_recorded) {
            // What glob() makes of it: path.with_segments(text), text cached.
            match = call_method(path, s_with_segments, text);
            check(PyObject_SetAttr(match.get(), s_text_slot.get(), text.get()));
        } else {
            match = match_as_pathlib_makes_it(path, entry.get(), text.get());
        }
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
