#pragma once

// The private type _core._ScoringWorkspace: the receiving side of a level's
// scoring shipped to another process (a Dask worker). It holds the search
// data and the retained levels received so far and scores chunks of
// candidates, all as opaque bytes made by the driver's process.

#include "python/pyref.hpp"

namespace vorn::python {

// Creates the type once per process; null with an exception set on failure.
PyTypeObject* create_scoring_workspace_type();

}  // namespace vorn::python
