#include "python/convert.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "python/fault.hpp"

// Built against the NumPy 2 headers, but only with C API features that NumPy
// 1.19 already had, so the same binary runs under NumPy 1.x and 2.x. The API
// table is located at first use rather than at import time: importing the
// module costs nothing until data actually arrives.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_19_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

namespace vorn::python {

namespace {

constexpr const char* kVecMessage = "Input must be a 1D list or NumPy array of floats";
constexpr const char* kMatrixMessage = "Input must be a 2D list or 2D NumPy array of floats";
constexpr const char* kNotContiguousMessage = "The given array is not contiguous";

// Loads NumPy's C API table on first use. Without NumPy no data can be
// converted at all, which the module treats as a fault of its installation.
bool ensure_numpy() {
    if (PyArray_ImportNumPyAPI() == 0) return true;
    std::string what = "NumPy could not be loaded";
    if (PyRef error = take_raised_exception()) {
        PyRef text = PyRef::steal(PyObject_Str(error.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) what += std::string(": ") + utf8;
        PyErr_Clear();
    }
    raise_internal_fault(what.c_str());
    return false;
}

// The array's elements are native float64: the descriptor is the double
// descriptor itself, or NumPy calls the two equivalent. Byte-swapped arrays
// fail this test and are read element by element instead.
bool has_double_elements(PyArrayObject* array) {
    PyArray_Descr* own = PyArray_DESCR(array);
    PyArray_Descr* dbl = PyArray_DescrFromType(NPY_DOUBLE);
    const bool same = own == dbl || PyArray_EquivTypes(own, dbl) != 0;
    Py_XDECREF(dbl);
    return same;
}

PyArrayObject* as_double_array(PyObject* object, int ndim) {
    if (!PyArray_Check(object)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || !has_double_elements(array)) return nullptr;
    return array;
}

// Sizing from a sequence's length is an optimisation only: a length that is
// unavailable counts as none, and a huge one (a misbehaving __len__) is
// capped, so that the storage simply grows as elements arrive.
constexpr std::size_t kMaxReserve = std::size_t{1} << 24;

std::size_t length_hint(PyObject* sequence) {
    const Py_ssize_t n = PySequence_Size(sequence);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min(static_cast<std::size_t>(n), kMaxReserve);
}

// The rows times the first row's length, under the same cap.
std::size_t matrix_hint(std::size_t rows, std::size_t width) {
    return width != 0 && rows > kMaxReserve / width ? kMaxReserve : rows * width;
}

// A str is a sequence too, but never one of numbers.
bool readable_sequence(PyObject* object) { return !PyUnicode_Check(object) && PySequence_Check(object); }

// Calls `take(item)` for every item of a sequence, in order, until it refuses.
// Exact lists and tuples are read by index just as their iterators would
// (the length read again at every step: a __float__ may shrink the list),
// without an iterator object per row; anything else through its iterator.
// Returns false on a refusal or an iteration error.
template <class Take>
bool for_each_item(PyObject* sequence, Take&& take) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
            const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence, i));
            if (!take(item.get())) return false;
        }
        return true;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get())))
        if (!take(item.get())) return false;
    return !PyErr_Occurred();
}

// Appends every number of a sequence to `out`. Returns false on any failure
// (a str, a non-sequence, an iteration error or an item that is no number),
// possibly with a Python error set; the callers replace it by their own
// message.
bool append_numbers(PyObject* object, std::vector<double>& out) {
    if (!readable_sequence(object)) return false;
    return for_each_item(object, [&](PyObject* item) {
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.push_back(value);
        return true;
    });
}

// A sequence of numbers, element by element.
bool sequence_to_vec(PyObject* object, std::vector<double>& out) {
    out.clear();
    if (!readable_sequence(object)) return false;
    out.reserve(length_hint(object));
    return append_numbers(object, out);
}

// A sequence of sequences of numbers, all into one block. The block is sized
// once the first row is read (rows times its length); while every row is as
// long as the first no offsets are kept, and the first row of another length
// writes the bounds of the rows before it.
bool sequence_to_samples(PyObject* object, Samples& out) {
    if (!readable_sequence(object)) return false;
    const std::size_t count = length_hint(object);
    std::vector<double> values;
    std::vector<std::size_t> offsets;
    std::size_t rows = 0;
    std::size_t width = 0;
    const bool read = for_each_item(object, [&](PyObject* row) {
        const std::size_t start = values.size();
        if (rows == 0 && readable_sequence(row)) values.reserve(length_hint(row));
        if (!append_numbers(row, values)) return false;
        const std::size_t length = values.size() - start;
        if (rows == 0) {
            width = length;
            values.reserve(matrix_hint(count, width));
        } else if (offsets.empty() && length != width) {
            offsets.reserve(std::max(count, rows + 1) + 1);
            for (std::size_t i = 0; i <= rows; ++i) offsets.push_back(i * width);
        }
        if (!offsets.empty()) offsets.push_back(values.size());
        ++rows;
        return true;
    });
    if (!read) return false;
    out = offsets.empty() ? Samples::matrix(std::move(values), rows, width)
                          : Samples::ragged(std::move(values), std::move(offsets));
    return true;
}

// Replaces whatever went wrong underneath by one message; the underlying
// error is dropped, not chained.
bool fail_with(PyObject* type, const char* message) {
    PyErr_Clear();
    PyErr_SetString(type, message);
    return false;
}

void copy_array_1d(PyArrayObject* array, std::vector<double>& out) {
    const auto n = static_cast<std::size_t>(PyArray_SIZE(array));
    out.resize(n);
    if (n != 0) std::memcpy(out.data(), PyArray_DATA(array), n * sizeof(double));
}

// Rows in the array's logical order, whatever its strides: a transposed or
// reversed view gives the same rows as its copy would. memcpy throughout,
// since the array need not be aligned.
Samples copy_array_2d(PyArrayObject* array) {
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto rows = static_cast<std::size_t>(shape[0]);
    const auto cols = static_cast<std::size_t>(shape[1]);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    std::vector<double> values(rows * cols);
    if (values.empty()) return Samples::matrix(std::move(values), rows, cols);
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        std::memcpy(values.data(), base, values.size() * sizeof(double));
        return Samples::matrix(std::move(values), rows, cols);
    }
    const npy_intp row_stride = strides[0];
    const npy_intp col_stride = strides[1];
    const bool block = cols < 2 || col_stride == static_cast<npy_intp>(sizeof(double));
    for (std::size_t i = 0; i < rows; ++i) {
        const char* row = base + static_cast<npy_intp>(i) * row_stride;
        double* dest = values.data() + i * cols;
        if (block) {
            std::memcpy(dest, row, cols * sizeof(double));
        } else {
            for (std::size_t j = 0; j < cols; ++j)
                std::memcpy(dest + j, row + static_cast<npy_intp>(j) * col_stride, sizeof(double));
        }
    }
    return Samples::matrix(std::move(values), rows, cols);
}

}  // namespace

bool convert_to_vec(PyObject* object, std::vector<double>& out) {
    out.clear();
    if (!ensure_numpy()) return false;
    if (PyArrayObject* array = as_double_array(object, 1)) {
        if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array))
            return fail_with(PyExc_TypeError, kNotContiguousMessage);
        copy_array_1d(array, out);
        return true;
    }
    if (sequence_to_vec(object, out)) return true;
    out.clear();
    return fail_with(PyExc_ValueError, kVecMessage);
}

bool convert_to_samples(PyObject* object, Samples& out) {
    out = Samples();
    if (!ensure_numpy()) return false;
    if (PyArrayObject* array = as_double_array(object, 2)) {
        out = copy_array_2d(array);
        return true;
    }
    if (sequence_to_samples(object, out)) return true;
    return fail_with(PyExc_ValueError, kMatrixMessage);
}

bool is_array_with_dims(PyObject* object) {
    if (PyArray_API == nullptr) {
        // Nothing can be an ndarray before NumPy has been imported by someone;
        // asking must not import it.
        PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
        if (numpy == nullptr || numpy == Py_None) return false;
        if (PyArray_ImportNumPyAPI() != 0) {
            PyErr_Clear();
            return false;
        }
    }
    return PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) > 0;
}

}  // namespace vorn::python
