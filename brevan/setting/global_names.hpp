// The strs more than one source file needs: the names of the module's
// globals (looked up at each use, as a Python module's code would) and a few
// words the calls share. Each is made once, on first use, for the process;
// declared here once, so two files never hold two copies of one name.
#pragma once

#include "names.hpp"

namespace brevan {

// Module globals and the modules they come from.
inline StaticString s_path("Path"), s_tjs("tjs"), s_defaults("defaults"), s_loads("loads"),
    s_dumps("dumps"), s_iprint("iprint"), s_open("open"), s_read("read"), s_shutil("shutil"),
    s_site("site"), s_subprocess("subprocess"), s_sys("sys"), s_pathlib("pathlib");

// Attribute names and texts.
inline StaticString s_parent("parent"), s_decode("decode"), s_mro("__mro__"),
    s_dunder_name("__name__"), s_empty(""), s_mode_r("r"), s_home("home"),
    s_text_slot("_str");  // where a PosixPath caches its str()
inline StaticText s_tolvek_json("tolvek.json"), s_desktop_home("Desktop/home");

}  // namespace brevan
