#include "python/arguments.hpp"

#include <cstring>

namespace vorn::python {

namespace {

void name_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef error = take_raised_exception();
    PyRef text = PyRef::steal(PyObject_Str(error.get()));
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

bool to_optional_double(PyObject* object, const char* name, std::optional<double>& out) {
    if (object == nullptr || object == Py_None) return true;
    double value = 0.0;
    if (!to_double(object, name, value)) return false;
    out = value;
    return true;
}

}  // namespace

bool to_double(PyObject* object, const char* name, double& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_argument_error(name);
        return false;
    }
    out = value;
    return true;
}

bool to_size(PyObject* object, const char* name, std::size_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        name_argument_error(name);
        return false;
    }
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        name_argument_error(name);
        return false;
    }
    out = value;
    return true;
}

PyObject* utf8_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

bool parse_search_call(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                       SearchCall& out) {
    PyObject *alpha = nullptr, *l1_ratio = nullptr;
    const bool scalar = std::strncmp(format, "O|", 2) == 0;
    const bool bound =
        scalar ? PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &out.data, &alpha, &l1_ratio)
               : PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &out.data, &out.ys, &alpha,
                                             &l1_ratio);
    if (!bound) return false;
    if (scalar && !to_double(out.data, names[0], out.value)) return false;
    return to_optional_double(alpha, "alpha", out.overrides.alpha) &&
           to_optional_double(l1_ratio, "l1_ratio", out.overrides.l1_ratio);
}

}  // namespace vorn::python
