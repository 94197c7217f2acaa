#pragma once

#include "core/config.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

// Reads the engine settings of vorn_sr.sklearn's strategies from a dict (None
// or absent keys: the level search's values). Keys: "operator_mask" (int),
// "fit" ("levenberg_marquardt" or "diagonal_gauss_newton"),
// "relative_exit_threshold" (float), "scaled_ranking", "power_laws" and
// "constant_free_round" (bools),
// "deepening_rounds" and "first_round_beam" (ints). False with a Python
// exception set when a key is unknown or a value has the wrong type.
bool to_engine_settings(PyObject* dict, EngineSettings& out);

}  // namespace vorn::python
