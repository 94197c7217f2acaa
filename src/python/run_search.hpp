#pragma once

#include "python/pyref.hpp"

namespace vorn::python {

// _search(searcher, inputs, ys, max_time=None, on_line=None, scorer=None, engine=None,
//         checkpoint=None, resume=None) -> (front, levels_finished, budget_exhausted)
// The search of find_multivariate under the caller's control, for
// vorn_sr.sklearn: a time budget, and the progress lines handed to on_line on
// the calling thread (None: silent), a scorer for remote scoring, and the
// engine settings of the estimator's strategies (engine_settings.hpp), a
// callable that receives the search's state after every finished level, and
// a state to continue from.
PyObject* run_search(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorn::python
