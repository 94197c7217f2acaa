#include "python/searcher_type.hpp"

#include <cstddef>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>
#include <structmember.h>
#include <vector>

#include "facade/searcher.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/type_flags.hpp"
#include "python/result_type.hpp"

namespace vorn::python {

namespace {

struct SearcherObject {
    PyObject_HEAD
    SearchConfig config;
};

PyTypeObject* g_type = nullptr;

PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"max_complexity", "complexity_penalty", "beam_width", "alpha",
                                            "l1_ratio", nullptr};
        PyObject *max_complexity = nullptr, *complexity_penalty = nullptr, *beam_width = nullptr,
                 *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:Searcher", keywords(names), &max_complexity,
                                         &complexity_penalty, &beam_width, &alpha, &l1_ratio))
            return nullptr;
        // Settings not given keep the engine's defaults; nothing is validated.
        SearchConfig config;
        if (max_complexity && !to_size(max_complexity, "max_complexity", config.max_complexity)) return nullptr;
        if (complexity_penalty && !to_double(complexity_penalty, "complexity_penalty", config.complexity_penalty))
            return nullptr;
        if (beam_width && !to_size(beam_width, "beam_width", config.beam_width)) return nullptr;
        if (alpha && !to_double(alpha, "alpha", config.alpha)) return nullptr;
        if (l1_ratio && !to_double(l1_ratio, "l1_ratio", config.l1_ratio)) return nullptr;

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<SearcherObject*>(self)->config) SearchConfig(config);
        return self;
    });
}

// The settings as read-only members, straight from the stored configuration.
static_assert(sizeof(std::size_t) == sizeof(unsigned long), "sizes are read as unsigned long");
#define VORN_SETTING(name, type) \
    {#name, type, offsetof(SearcherObject, config) + offsetof(SearchConfig, name), READONLY, nullptr}
PyMemberDef searcher_members[] = {
    VORN_SETTING(max_complexity, T_ULONG),
    VORN_SETTING(beam_width, T_ULONG),
    VORN_SETTING(complexity_penalty, T_DOUBLE),
    VORN_SETTING(alpha, T_DOUBLE),
    VORN_SETTING(l1_ratio, T_DOUBLE),
    {nullptr, 0, 0, 0, nullptr},
};
#undef VORN_SETTING

// The engine writes its progress straight to file descriptor 1. Text the
// program printed earlier may still sit in Python's own buffer, so that goes
// out first, and the C stream is emptied when the search returns, so the log
// is complete before control is back in Python.
class OutputOrder {
public:
    OutputOrder() {
        PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
        if (out && out.get() != Py_None) {
            PyRef flushed = PyRef::steal(PyObject_CallMethod(out.get(), "flush", nullptr));
            if (!flushed) PyErr_Clear();
        }
    }
    ~OutputOrder() { std::fflush(stdout); }
    OutputOrder(const OutputOrder&) = delete;
    OutputOrder& operator=(const OutputOrder&) = delete;
};

// The public search methods print to standard output and stop on signals.
const RunControl& interruptible() {
    static const RunControl control{signal_check()};
    return control;
}

// Each call searches with a copy of the stored configuration; the searcher
// itself never changes.
Searcher call_searcher(PyObject* self, const Overrides& overrides) {
    SearchConfig config = config_of(self);
    if (overrides.alpha) config.alpha = *overrides.alpha;
    if (overrides.l1_ratio) config.l1_ratio = *overrides.l1_ratio;
    return Searcher(config);
}

PyObject* finish(Outcome<SearchResult>&& outcome) {
    if (!outcome) return map_error(outcome.error());
    return wrap_result(std::move(outcome).value());
}

// The four data methods: bind and convert, then search.
enum class Method { Function, Multivariate, Candidates };

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, Method method) {
    return guarded([&]() -> PyObject* {
        static const char* const function_names[] = {"xs", "ys", "alpha", "l1_ratio", nullptr};
        static const char* const matrix_names[] = {"inputs", "ys", "alpha", "l1_ratio", nullptr};
        SearchCall call;
        if (!parse_search_call(args, kwargs, format, method == Method::Function ? function_names : matrix_names,
                               call))
            return nullptr;
        std::vector<double> y;
        std::vector<double> xs;
        Samples rows;
        const bool converted = method == Method::Function ? convert_to_vec(call.data, xs)
                                                          : convert_to_samples(call.data, rows);
        if (!converted || !convert_to_vec(call.ys, y)) return nullptr;
        const Searcher searcher = call_searcher(self, call.overrides);
        if (method == Method::Candidates) {
            std::optional<Outcome<std::vector<SearchResult>>> outcome;
            {
                OutputOrder order;
                outcome.emplace(searcher.find_candidates(rows, y, interruptible()));
            }
            if (!*outcome) return map_error(outcome->error());
            return wrap_results(std::move(outcome->value()));
        }
        OutputOrder order;
        return finish(method == Method::Function ? searcher.find_function(std::move(xs), y, interruptible())
                                                 : searcher.find_multivariate(rows, y, interruptible()));
    });
}

PyObject* find_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    return search(self, args, kwargs, "OO|OO:find_function", Method::Function);
}
PyObject* find_multivariate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return search(self, args, kwargs, "OO|OO:find_multivariate", Method::Multivariate);
}
// The alias differs only in the name it reports.
PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return search(self, args, kwargs, "OO|OO:fit", Method::Multivariate);
}
PyObject* find_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return search(self, args, kwargs, "OO|OO:find_candidates", Method::Candidates);
}

PyObject* recognize_constant(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"value", "alpha", "l1_ratio", nullptr};
        SearchCall call;
        if (!parse_search_call(args, kwargs, "O|OO:recognize_constant", names, call)) return nullptr;
        const Searcher searcher = call_searcher(self, call.overrides);
        OutputOrder order;
        auto outcome = searcher.recognize_constant(call.value, interruptible());
        if (outcome) outcome.value().is_constant = true;
        return finish(std::move(outcome));
    });
}

// "\xe2\x89\x88" is the UTF-8 encoding of the approximately-equal sign.
PyMethodDef searcher_methods[] = {
    {"find_function", as_cfunction(find_function), METH_VARARGS | METH_KEYWORDS,
     "find_function($self, xs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a univariate function f(x) \xe2\x89\x88 y.\n"
     "Supports both Python lists and NumPy arrays."},
    {"find_multivariate", as_cfunction(find_multivariate), METH_VARARGS | METH_KEYWORDS,
     "find_multivariate($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a multivariate function f(x0, x1, ...) \xe2\x89\x88 y.\n"
     "Inputs should be a 2D array-like structure."},
    {"fit", as_cfunction(fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Alias for find_multivariate (Scikit-Learn style)."},
    {"find_candidates", as_cfunction(find_candidates), METH_VARARGS | METH_KEYWORDS,
     "find_candidates($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Returns the Pareto-front of all candidate formulas found."},
    {"recognize_constant", as_cfunction(recognize_constant), METH_VARARGS | METH_KEYWORDS,
     "recognize_constant($self, value, alpha=None, l1_ratio=None)\n--\n\n"
     "Identifies a closed-form expression for a scalar constant."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot searcher_slots[] = {
    {Py_tp_doc, const_cast<char*>("Searcher(max_complexity=10, complexity_penalty=0.1, beam_width=1000, "
                                  "alpha=0.0, l1_ratio=0.5)\n--\n\n"
                                  "The core VORN-SR search engine exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(searcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SearcherObject>)},
    {Py_tp_methods, searcher_methods},
    {Py_tp_members, searcher_members},
    {0, nullptr},
};

}  // namespace


PyTypeObject* create_searcher_type() {
    static PyType_Spec definition = {"vorn_sr.Searcher", static_cast<int>(sizeof(SearcherObject)), 0,
                               kTypeFlags, searcher_slots};
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return g_type;
}

PyTypeObject* searcher_type() { return g_type; }

const SearchConfig& config_of(PyObject* searcher) {
    return reinterpret_cast<SearcherObject*>(searcher)->config;
}

const StopPredicate& signal_check() {
    static const StopPredicate check = [] {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        return PyErr_CheckSignals() != 0;
    };
    return check;
}

}  // namespace vorn::python
