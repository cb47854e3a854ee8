// The guards of the fast paths: the one place that decides whether the
// standard-library objects a path relies on are still the standard
// library's own, with one question per fast path. Kept apart from the paths
// themselves so that "is this still the interpreter's object?" has one
// answer, asked the same way everywhere.
//
// Each fast path (read.cpp, save.cpp, packages.cpp) is taken only behind
// guards proving that the result is the one the general path gives. A doubt
// found before anything observable happened refuses the fast path, and the
// general path then does the step itself, so every error it raises is its
// own. Once a fast path has raised an audit event it is committed: it does
// the rest as the general path would, with the same errors, and never hands
// the step back (the event would come twice). A hook run at that event may
// patch pathlib, so what the general path does next through Python is asked
// about again, and done through Python where it changed (read()'s message,
// clear()'s rest of glob and its matches). A finalizer run by a garbage
// collection inside the call may patch pathlib too; where the general
// path's collections would fall cannot be matched, and is not. Only "not the standard
// library's own" turns a path off; an error of the call's own met by a
// guard (a MemoryError, an interrupt) is raised as the general path would
// raise it at that point (doubt.hpp).
//
// What the general path touches, and how each fast path checks it or
// stands in for it:
//
//   every call
//     module global Path        is pathlib.Path itself; the Path made (or
//                               the item given) is an exact PosixPath
//     builtin open              read()'s, and builtins.open now, are io.open
//     file-system encoding      UTF-8 with surrogateescape (read once)
//     Path methods and steps    the objects recorded from pathlib, compared
//                               by identity at each call
//                               (watched_attributes.cpp)
//   read(), per candidate
//     Path(item)                of an exact str: made here as pathlib makes
//                               it, object.__new__(PosixPath) given
//                               _raw_paths = [item] (os.fspath, splitroot
//                               and the slots _raw_paths, _str, _drv,
//                               _root, _tail_cached watched); of anything else, made
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
//     f"...{_path}"             __format__ watched (object's own); asked
//                               again after the "open" event, with __str__
//                               and _str, else format(path) itself
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
//     glob(pattern=...)         Path.glob watched, with what glob() calls
//                               on each version (anchor, _globber,
//                               _glob_selector, _parse_pattern); the
//                               pattern is exactly "*~*"; the guard asked
//                               again after the event, else the rest of
//                               glob() done as pathlib does it
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
//                               _scandir, os.scandir watched; asked again
//                               after the "os.scandir" event, else each
//                               match made as pathlib makes it
//   import time
//     `import` statements       the module's imports skip the import
//                               machinery only while builtins.__import__ is
//                               the interpreter's own (interpreters_import)
//     tjs, defaults' home       import_paths.cpp checks, once, every method
//                               definition in Path's classes and the os and
//                               posixpath functions its two Path
//                               constructions stand in for (a walk of its
//                               own: at import, nothing is recorded yet)
//   not watched: module-level names inside pathlib, glob, genericpath and os,
//   changes made in place to the recorded function objects, and a name put
//   in front of a watched one while another of that class is deleted.
#pragma once

#include "doubt.hpp"
#include "setting.hpp"

namespace brevan {

// The fast paths, as bits: a watched attribute names the paths that skip it.
// The steps after an audit event a fast path raised have bits of their own:
// a hook may patch pathlib at the event, and what the general path does next
// through Python is asked again (kReadMessage: read()'s f-string of the
// path; kReadDecoding: the UTF-8 decoder of read()'s text layer;
// kClearMatches: clear()'s making of each match).
enum FastPath : unsigned {
    kFastRead = 1, kFastSave = 2, kFastClear = 4, kReadMessage = 8, kClearMatches = 16, kReadDecoding = 32
};

// Whether the fast path `path` may be taken now: the process settings allow
// it, the module global Path as looked up (`path_type`) is pathlib's and
// `made`, the Path it made (null when none was made yet), an exact PosixPath,
// builtins.open is io's, sys.audit the interpreter's own where the path
// raises events, and every attribute the path skips is pathlib's or os's own
// object. Any doubt answers false; an error that is the call's own is thrown.
bool fast_path_allowed(FastPath path, PyObject *path_type, PyObject *made);

// pathlib's PosixPath, the type of every Path made here, imported on first
// use; null when it cannot be had (an error of the call's own is thrown).
// Inline: every fast path call asks.
inline StdAttr pathlib_posix_path("pathlib", "PosixPath");
inline PyObject *posix_path_type() {
    try {
        return pathlib_posix_path.get();
    } catch (const PyError &) {
        drop_doubt();
        return nullptr;
    }
}

// The interpreter's own sys.audit. io and os raise their events through the
// audit machinery, not through the name sys.audit, so a replacement bound
// there must not see them. Taken at the first use where sys.audit is still
// the builtin; null (no fast path that raises such events) until then.
PyObject *real_audit();

// sys.audit(event, args...): what io and os raise before they act. Only
// after fast_path_allowed() said yes, so real_audit() is known.
template <class... Args>
void audit(StaticString &event, const Args &...args) {
    call(real_audit(), event.get(), args...);
}

// sys.audit(event, args...) for a change the module makes itself (a file
// made, renamed, removed, its mode, owner, times or attributes set), before
// it makes it, so a hook sees it as it sees io's and os's, and may refuse
// it. Through the interpreter's own sys.audit; where that was replaced
// before the module could take it, through the one bound now, as Python
// code raising an event of its own does.
template <class... Args>
void announce(StaticString &event, const Args &...args) {
    PyObject *audit = real_audit();
    if (audit == nullptr) audit = PySys_GetObject("audit");  // borrowed
    if (audit != nullptr) call(audit, event.get(), args...);
}

// Whether `function` is the builtin `name` of `module` (the module object,
// or the name it is imported by): a C function bound to that very module
// object, as only its own functions are. A doubt is a no.
bool builtin_of(PyObject *module, const char *name, PyObject *function);
bool builtin_of(const char *module, const char *name, PyObject *function);

// Whether `function`, found as builtins.__import__, is the interpreter's own
// (the builtins module's builtin of that name), which an import statement
// bypasses for the import machinery itself.
bool interpreters_import(PyObject *function);

// ---------------------------------------------- behind fast_path_allowed ----

// Of the fast paths in `paths` (FastPath bits), whether every pathlib and os
// attribute they skip is the standard library's own object now
// (watched_attributes.cpp). Any doubt answers false; an error that is the
// call's own is thrown.
bool attributes_untouched(unsigned paths);

}  // namespace brevan
