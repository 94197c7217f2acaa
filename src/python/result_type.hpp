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
// _result_from_postfix(tokens, error, /): a SearchResult from postfix tokens
// in the form of SearchResult._postfix (variables, fitted constants and
// operators), for results the package assembles itself (units).
PyObject* result_from_postfix(PyObject* module, PyObject* args);

}  // namespace vorn::python
