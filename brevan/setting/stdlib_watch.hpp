// Whether the standard-library functions that a fast path stands in for are
// still the interpreter's own (see stdlib_watch.cpp).
#pragma once

namespace brevan {

enum WatchedBy : unsigned { kWatchRead = 1, kWatchSave = 2, kWatchClear = 4 };

// Of the fast paths in `paths` (WatchedBy bits), whether every function and
// attribute they skip is the standard library's own object now. Any doubt
// answers false; an error that is the call's own is thrown (doubt.hpp).
bool stdlib_untouched(unsigned paths);

}  // namespace brevan
