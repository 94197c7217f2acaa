#pragma once

// Argument binding and conversion shared by the constructor and the methods.

#include <cstddef>
#include <optional>
#include <string>

#include "python/pyref.hpp"

namespace vorn::python {

// A conversion TypeError gets "argument '{name}': " in front of its message;
// every other error (an OverflowError for a negative size, say) is left as is.
bool to_double(PyObject* object, const char* name, double& out);
bool to_size(PyObject* object, const char* name, std::size_t& out);

// The interpreter's argument parser takes a non-const keyword list before
// Python 3.13; the names are never written through.
inline char** keywords(const char* const* names) { return const_cast<char**>(names); }

// CPython calls keyword-taking functions through a cast to the plain signature.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyObject* utf8_str(const std::string& text);

// The per-call regularisation options: None or absent keeps the searcher's
// own setting.
struct Overrides {
    std::optional<double> alpha;
    std::optional<double> l1_ratio;
};

// One search method's arguments: its data (xs / inputs and ys, or the value
// of recognize_constant) and the per-call options.
struct SearchCall {
    PyObject* data = nullptr;
    PyObject* ys = nullptr;  // absent for recognize_constant
    double value = 0.0;      // recognize_constant's value, converted
    Overrides overrides;
};

// Binds a search method's arguments by `format` ("OO|OO:find_function" or
// "O|OO:recognize_constant") and `names`, then converts in the method's
// order: a scalar value first, then alpha, then l1_ratio. The data arrays are
// left for the method to convert.
bool parse_search_call(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                       SearchCall& out);

}  // namespace vorn::python
