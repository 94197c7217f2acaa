#pragma once

#include <optional>

#include "engine/checkpoint.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

// Decodes a search state handed over as bytes; a malformed one is a
// ValueError saying what is wrong (and false).
bool to_checkpoint(PyObject* object, std::optional<SearchCheckpoint>& out);

// _resume_problem(searcher, state, n_features, engine=None) -> str | None
// Why a search of `searcher` under `engine` over `n_features` features
// cannot continue from `state`, or None when it can. ValueError when the
// state is malformed.
PyObject* resume_problem_of(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorn::python
