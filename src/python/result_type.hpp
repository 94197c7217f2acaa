#pragma once

// The SearchResult type: one immutable result record per object.

#include <vector>

#include "python/pyref.hpp"
#include "result/search_result.hpp"

namespace vorn::python {

// Creates the type once per process; null with an exception set on failure.
PyTypeObject* create_result_type();
PyTypeObject* result_type();

// A new SearchResult object holding `result`.
PyObject* wrap_result(SearchResult&& result);
// A new list with one SearchResult object per result, in order.
PyObject* wrap_results(std::vector<SearchResult>&& results);

// _restore_result(data, /): the other half of SearchResult.__reduce__.
PyObject* restore_result(PyObject* module, PyObject* data);

}  // namespace vorn::python
