// The extension module vorn_sr._core: creates the two types and the exception
// classes once per process and lists the five public names. The package
// vorn_sr re-exports them.
//
// Every entry point runs on the calling Python thread and keeps the
// interpreter lock for the whole call, search included, except for a moment
// every ~50 ms in which other Python threads may run and signals are handled
// (so Ctrl-C stops a search). The engine's worker threads never see a Python
// object, only the vectors converted up front.

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/result_type.hpp"
#include "python/run_search.hpp"
#include "python/scoring_workspace_type.hpp"
#include "python/search_state.hpp"
#include "python/searcher_type.hpp"

namespace vorn::python {

namespace {

// The one module object of the process; importing again hands it out again.
PyObject* g_module = nullptr;

PyMethodDef module_methods[] = {
    {"_search", as_cfunction(run_search), METH_VARARGS | METH_KEYWORDS,
     "_search(searcher, inputs, ys, max_time=None, on_line=None, scorer=None, engine=None, checkpoint=None, "
     "resume=None)\n--\n\n"
     "The search of find_multivariate with run control: returns (front, levels_finished, "
     "budget_exhausted). on_line(kind, text) receives the progress lines on the calling thread; "
     "None keeps the search silent. scorer, when given, scores each level's candidates elsewhere "
     "(see vorn_sr._dask). engine, a dict, holds the settings of vorn_sr.sklearn's strategies. "
     "checkpoint(state) receives the search's state as bytes after every finished level; resume, such "
     "bytes, continues that search."},
    {"_resume_problem", as_cfunction(resume_problem_of), METH_VARARGS | METH_KEYWORDS,
     "_resume_problem(searcher, state, n_features, engine=None)\n--\n\n"
     "Why a search of searcher under engine over n_features features cannot continue from the saved "
     "state, or None when it can."},
    {"_restore_result", restore_result, METH_O,
     "_restore_result(data, /)\n--\n\nRebuilds a pickled SearchResult from its saved bytes."},
    {"_result_from_postfix", result_from_postfix, METH_VARARGS,
     "_result_from_postfix(tokens, error, /)\n--\n\nA SearchResult from postfix tokens as _postfix gives them "
     "('var', i), ('param', re, im), ('op', name, arity), with the given error."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn_sr._core",
    "The main Python module entry point.",
    // Not -1: with -1 the interpreter would copy the module into a
    // sub-interpreter without calling the entry point, bypassing its refusal.
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `value` as attribute `name` and lists the name in __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyObject* create_module() {
    PyTypeObject* searcher = create_searcher_type();
    PyTypeObject* result = searcher ? create_result_type() : nullptr;
    if (!result || !create_exception_classes()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    PyRef all = PyRef::steal(PyList_New(0));
    if (!module || !all) return nullptr;
    const bool added = add_public(module.get(), all.get(), "Searcher", reinterpret_cast<PyObject*>(searcher)) &&
                       add_public(module.get(), all.get(), "SearchResult", reinterpret_cast<PyObject*>(result)) &&
                       add_public(module.get(), all.get(), "VornDimensionError", dimension_error_type()) &&
                       add_public(module.get(), all.get(), "VornComplexityError", complexity_error_type()) &&
                       add_public(module.get(), all.get(), "VornRuntimeError", runtime_error_type());
    if (!added) return nullptr;
    // Private: the receiving side of scoring shipped to other processes.
    PyObject* workspace = reinterpret_cast<PyObject*>(create_scoring_workspace_type());
    if (workspace == nullptr || PyModule_AddObject(module.get(), "_ScoringWorkspace", workspace) < 0) {
        Py_XDECREF(workspace);
        return nullptr;
    }
    if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    all.release();  // the module holds it now
    return module.release();
}

}  // namespace

}  // namespace vorn::python

PyMODINIT_FUNC PyInit__core(void) {
    using namespace vorn::python;
    // Types, exception classes and the engine's worker pool are per process;
    // a second interpreter would share them with the first, so it is refused.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "vorn_sr can only be imported in the main interpreter, "
                        "not in a sub-interpreter");
        return nullptr;
    }
    if (g_module == nullptr) {
        g_module = create_module();
        if (g_module == nullptr) return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
}
