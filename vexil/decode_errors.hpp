// The JSONDecodeErrors loads raises when json's scanner refuses a text
// (decode_errors.cpp), and the message both the scanner's float hook and
// those errors give a float that overflows.
#pragma once

#include "vexil.hpp"

namespace vexil {

inline constexpr const char *kFloatOutOfRange = "Number out of range for a float";

// Replaces the pending exception from json's scanner with a JSONDecodeError
// that names a line and column, where json did not already raise one.
[[noreturn, gnu::cold]] void reraise_with_position(State &st, PyObject *text);

// JSONDecodeError(msg, text, pos).
[[noreturn, gnu::cold]] void raise_decode_error(State &st, const char *msg, PyObject *text, Py_ssize_t pos);

// "Expecting value", from the scanner's pending StopIteration.
[[noreturn, gnu::cold]] void raise_expecting_value(State &st, PyObject *text);

}  // namespace vexil
