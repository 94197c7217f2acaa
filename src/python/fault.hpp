#pragma once

#include "python/pyref.hpp"

namespace vorn::python {

// The exception class for a broken invariant inside the extension. It derives
// from BaseException so that ordinary `except Exception` handlers do not
// swallow what is a programming error, not a user error.
PyObject* internal_fault_type();

// Sets the internal-fault exception with `what` as its message; returns null
// so callers can `return raise_internal_fault(...)`.
PyObject* raise_internal_fault(const char* what);

}  // namespace vorn::python
