#include "python/errors.hpp"

namespace vorn::python {

namespace {

PyObject* g_dimension_error = nullptr;
PyObject* g_complexity_error = nullptr;
PyObject* g_runtime_error = nullptr;
PyObject* g_internal_fault = nullptr;

}  // namespace

bool create_exception_classes() {
    g_dimension_error = PyErr_NewException("vorn_sr.VornDimensionError", PyExc_Exception, nullptr);
    g_complexity_error = PyErr_NewException("vorn_sr.VornComplexityError", PyExc_Exception, nullptr);
    g_runtime_error = PyErr_NewException("vorn_sr.VornRuntimeError", PyExc_Exception, nullptr);
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "vorn_sr.VornInternalError",
        "A broken invariant inside vorn_sr: a bug to report, not a problem with the input.",
        PyExc_BaseException, nullptr);
    return g_dimension_error && g_complexity_error && g_runtime_error && g_internal_fault;
}

PyObject* dimension_error_type() { return g_dimension_error; }
PyObject* complexity_error_type() { return g_complexity_error; }
PyObject* runtime_error_type() { return g_runtime_error; }

PyObject* map_error(const EngineError& error) {
    if (error.kind == EngineError::Kind::Interrupted) {
        // The stop predicate left the exception to raise (KeyboardInterrupt
        // for Ctrl-C, or whatever a signal handler raised) pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    if (error.kind == EngineError::Kind::Resume) {
        PyErr_SetString(PyExc_ValueError, error.message().c_str());
        return nullptr;
    }
    PyObject* type = error.kind == EngineError::Kind::NoFormula ? g_complexity_error : g_dimension_error;
    PyErr_SetString(type, error.message().c_str());
    return nullptr;
}

PyObject* internal_fault_type() { return g_internal_fault; }

PyObject* raise_internal_fault(const char* what) {
    PyErr_SetString(g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError, what);
    return nullptr;
}

}  // namespace vorn::python
