// The calls into vexil: the settings text format (dumps, loads) and the
// coloured console lines (iprint). Each call looks its name up in the module
// namespace at that moment, so rebinding brevan.setting.iprint (or dumps,
// loads) replaces it for every function of the module.
#include "setting.hpp"

namespace brevan {

StaticString colour_cyan("cyan"), colour_red("red"), colour_yellow("yellow");

namespace {
StaticString s_dumps("dumps"), s_loads("loads"), s_iprint("iprint");
KeywordNames kw_foreground("foreground"), kw_foreground_background("foreground", "background");
}  // namespace

Ref vexil_dumps(PyObject *obj) { return call(lookup_global(s_dumps).get(), obj); }

Ref vexil_loads(PyObject *text) { return call(lookup_global(s_loads).get(), text); }

Ref vexil_iprint(PyObject *message, PyObject *foreground, PyObject *background) {
    Ref iprint = lookup_global(s_iprint);
    if (background == nullptr) {
        return call_kw(iprint.get(), kw_foreground.get(), message, foreground);
    }
    return call_kw(iprint.get(), kw_foreground_background.get(), message, foreground, background);
}

}  // namespace brevan
