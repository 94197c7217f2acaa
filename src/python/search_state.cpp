#include "python/search_state.hpp"

#include <string>

#include "python/arguments.hpp"
#include "python/engine_settings.hpp"
#include "python/errors.hpp"
#include "python/searcher_type.hpp"

namespace vorn::python {

bool to_checkpoint(PyObject* object, std::optional<SearchCheckpoint>& out) {
    if (!PyBytes_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "a search state must be bytes");
        return false;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
    std::string problem;
    out = decode_checkpoint({data, static_cast<std::size_t>(PyBytes_GET_SIZE(object))},
                            *OperatorRegistry::shared_builtins(), problem);
    if (!out) {
        PyErr_SetString(PyExc_ValueError, ("The checkpoint is malformed: " + problem + ".").c_str());
        return false;
    }
    return true;
}

PyObject* resume_problem_of(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"searcher", "state", "n_features", "engine", nullptr};
        PyObject *searcher = nullptr, *state = nullptr, *n_features = nullptr, *engine = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO|O:_resume_problem", keywords(names),
                                         searcher_type(), &searcher, &state, &n_features, &engine))
            return nullptr;
        SearchConfig config = config_of(searcher);
        std::size_t n_vars = 0;
        std::optional<SearchCheckpoint> checkpoint;
        if (!to_engine_settings(engine, config.engine) || !to_size(n_features, "n_features", n_vars) ||
            !to_checkpoint(state, checkpoint))
            return nullptr;
        const auto problem = resume_problem(*checkpoint, config, n_vars);
        if (!problem) Py_RETURN_NONE;
        return utf8_str(*problem);
    });
}

}  // namespace vorn::python
