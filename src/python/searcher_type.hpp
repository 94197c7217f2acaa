#pragma once

// The Searcher type: one fixed search configuration per object, and the
// search methods.

#include "core/config.hpp"
#include "engine/stop.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

// Creates the type once per process; null with an exception set on failure.
PyTypeObject* create_searcher_type();
PyTypeObject* searcher_type();

// The configuration of a Searcher object.
const SearchConfig& config_of(PyObject* searcher);

// Asked by every search about every 50 ms on the calling thread: lets other
// Python threads run for a moment and handles pending signals, so Ctrl-C (or
// any signal handler that raises) stops the search.
const StopPredicate& signal_check();

}  // namespace vorn::python
