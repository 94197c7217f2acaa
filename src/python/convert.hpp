#pragma once

#include <vector>

#include "core/samples.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

// Python data -> owned doubles. Each returns true on success and false with a
// Python exception set; on failure `out` holds no usable data. Every value is
// copied exactly once, straight into the storage `out` keeps: nothing returned
// aliases an array's memory or a Python object, and nothing passes through an
// intermediate container on the way.

// One-dimensional data: a contiguous 1-D float64 array is one memcpy of its
// buffer, anything else is read element by element as a sequence of numbers.
bool convert_to_vec(PyObject* object, std::vector<double>& out);

// Rows of data, as one block of doubles row after row. A 2-D float64 array is
// read from its buffer: one memcpy when it is C-contiguous, value by value in
// row order for any other strides (Fortran order, views). Anything else is
// read element by element as a sequence of sequences of numbers; rows may
// differ in length, and only then is a table of row offsets kept as well.
bool convert_to_samples(PyObject* object, Samples& out);

// Whether `object` is a NumPy array with at least one dimension. Never raises:
// when NumPy cannot be loaded the answer is simply false.
bool is_array_with_dims(PyObject* object);

}  // namespace vorn::python
