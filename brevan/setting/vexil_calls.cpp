// The calls into vexil: the settings text format (dumps) and the coloured
// console lines (iprint). Each looks its name up in the module namespace at
// that moment, so rebinding brevan.setting.iprint (or dumps) replaces it for
// every function of the module. read() looks loads up itself, before it
// reads the file, as `loads(f.read())` does.
#include "setting.hpp"

namespace brevan {

StaticString colour_cyan("cyan"), colour_red("red"), colour_yellow("yellow");

namespace {
KeywordNames kw_foreground("foreground"), kw_foreground_background("foreground", "background");
}  // namespace

Ref vexil_dumps(PyObject *obj) { return call(lookup_global(s_dumps).get(), obj); }

IPrint::IPrint() : function_(lookup_global(s_iprint)) {}

Ref IPrint::operator()(PyObject *message, PyObject *foreground, PyObject *background) const {
    if (background == nullptr) {
        return call_kw(function_.get(), kw_foreground.get(), message, foreground);
    }
    return call_kw(function_.get(), kw_foreground_background.get(), message, foreground, background);
}

}  // namespace brevan
