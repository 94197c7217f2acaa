#pragma once

#include <vector>

#include "python/pyref.hpp"

namespace vorn::python {

// Python data -> owned vectors of doubles. Each returns true on success and
// false with a Python exception set; on failure `out` holds no usable data.
// Both copy: nothing returned aliases an array's memory or a Python object.

// One-dimensional data: a 1-D float64 array is read directly, anything else
// element by element as a sequence of numbers.
bool convert_to_vec(PyObject* object, std::vector<double>& out);

// Rows of data: a 2-D float64 array is read directly (any strides), anything
// else as a sequence of sequences of numbers. Rows may differ in length.
bool convert_to_matrix(PyObject* object, std::vector<std::vector<double>>& out);

// Whether `object` is a NumPy array with at least one dimension. Never raises:
// when NumPy cannot be loaded the answer is simply false.
bool is_array_with_dims(PyObject* object);

}  // namespace vorn::python
