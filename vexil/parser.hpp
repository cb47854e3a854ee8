// The native JSON reader behind loads: its one entry, so loads.cpp sees
// what the reader promises and nothing of how it reads.
#pragma once

#include "vexil.hpp"

namespace vexil {

// Parses the UTF-8 text of a str as strict JSON and returns the value, built
// exactly as json.loads builds it. Returns an empty Ref, with no exception
// set, for every text it does not take: malformed text, NaN and Infinity,
// floats that overflow, integers too long for int(), nesting deeper than the
// interpreter allows. The caller then lets json's scanner decide, so every
// refusal keeps json's own message and position. Throws PyError only for
// failures that are not about the text (memory).
//
// The reader keeps its own stack of open containers, so hostile nesting
// costs heap in proportion to the text, never C stack, and it never reads
// outside [text, text + size).
Ref parse_json(State &st, const char *text, Py_ssize_t size);

}  // namespace vexil
