#include "python/engine_settings.hpp"

#include <cstring>
#include <string>

#include "python/arguments.hpp"

namespace vorn::python {

namespace {

bool to_flag(PyObject* value, const char* name, bool& out) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "engine setting '%s' must be a bool", name);
        return false;
    }
    out = truth != 0;
    return true;
}

bool to_fit(PyObject* value, FitMethod& out) {
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (text != nullptr && std::strcmp(text, "levenberg_marquardt") == 0) {
        out = FitMethod::LevenbergMarquardt;
        return true;
    }
    if (text != nullptr && std::strcmp(text, "diagonal_gauss_newton") == 0) {
        out = FitMethod::DiagonalGaussNewton;
        return true;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError,
                    "engine setting 'fit' must be 'levenberg_marquardt' or 'diagonal_gauss_newton'");
    return false;
}

}  // namespace

bool to_engine_settings(PyObject* dict, EngineSettings& out) {
    if (dict == nullptr || dict == Py_None) return true;
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "argument 'engine': must be a dict or None");
        return false;
    }
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (name == nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "engine setting names must be strings");
            return false;
        }
        const std::string k(name);
        bool ok = true;
        if (k == "operator_mask") {
            std::size_t mask = 0;
            ok = to_size(value, name, mask);
            if (ok && (mask & ~static_cast<std::size_t>(kAllOperators)) != 0) {
                PyErr_SetString(PyExc_ValueError, "engine setting 'operator_mask' names no built-in operator");
                return false;
            }
            out.operator_mask = static_cast<std::uint32_t>(mask);
        } else if (k == "fit") {
            ok = to_fit(value, out.fit);
        } else if (k == "relative_exit_threshold") {
            ok = to_double(value, name, out.relative_exit_threshold);
        } else if (k == "scaled_ranking") {
            ok = to_flag(value, name, out.scaled_ranking);
        } else if (k == "constant_free_round") {
            ok = to_flag(value, name, out.constant_free_round);
        } else if (k == "power_laws") {
            ok = to_flag(value, name, out.power_laws);
        } else if (k == "deepening_rounds") {
            ok = to_size(value, name, out.deepening_rounds);
        } else if (k == "first_round_beam") {
            ok = to_size(value, name, out.first_round_beam);
        } else {
            PyErr_Format(PyExc_ValueError, "unknown engine setting '%s'", name);
            return false;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace vorn::python
