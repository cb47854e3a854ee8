// The text of a Path for the fast paths' system calls, its cold and once-only
// parts: the file-system codec's bytes for text with surrogates, and the
// text cache (see path_text.hpp).
#include "path_text.hpp"

namespace brevan {
namespace {

StaticString s_probe("a//b");

// Whether a PosixPath keeps its text in the slot `_str`, which str() fills
// on first use and answers from afterwards. Checked once on two probes.
bool text_cache_known() {
    static enum { unknown, yes, no } status = unknown;
    if (status == unknown) {
        try {
            PyObject *posix_path = posix_path_type();
            if (posix_path == nullptr) {
                status = no;
                return false;
            }
            Ref probe = call(posix_path, s_probe.get());
            Ref text = check(PyObject_Str(probe.get()));
            Ref cached = check(PyObject_GetAttr(probe.get(), s_text_slot.get()));
            Ref primed = call(posix_path, s_probe.get());
            check(PyObject_SetAttr(primed.get(), s_text_slot.get(), s_probe.get()));
            Ref answer = check(PyObject_Str(primed.get()));
            if (PyUnicode_CompareWithASCIIString(text.get(), "a/b") == 0 && cached.get() == text.get() &&
                answer.get() == s_probe.get()) {
                status = yes;
            } else {
                status = no;
            }
        } catch (const PyError &) {
            drop_doubt();  // thrown on for an error of the call's own, asked again next time
            status = no;
        }
    }
    return status == yes;
}

}  // namespace

bool encode_escaped_name(PathText &out) {
    drop_no_utf8();
    out.encoded = Ref::steal(PyUnicode_EncodeFSDefault(out.text.get()));
    if (!out.encoded) {  // the general path raises it, from open()
        drop_doubt();
        return false;
    }
    out.bytes = PyBytes_AsString(out.encoded.get());
    out.size = PyBytes_Size(out.encoded.get());
    return true;
}

void keep_text(PyObject *path, PyObject *text) {
    if (text_cache_known() && PyObject_SetAttr(path, s_text_slot.get(), text) < 0) drop_doubt();
}

}  // namespace brevan
