// The Python module vorn_sr: the Searcher and SearchResult classes, the
// exception classes, argument binding and the translation of engine errors.
//
// Every entry point runs on the calling Python thread and keeps the
// interpreter lock for the whole call, search included, except for a moment
// every ~50 ms in which other Python threads may run and signals are handled
// (so Ctrl-C stops a search). The engine's worker threads never see a Python
// object, only the vectors converted up front.

#include "python/pyref.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.hpp"
#include "core/internal_error.hpp"
#include "lib.hpp"
#include "python/convert.hpp"
#include "python/fault.hpp"
#include "python/format.hpp"
#include "result.hpp"
#include "result_codec.hpp"

namespace vorn::python {

namespace {

// ---------------------------------------------------------------------------
// Exception classes, created once per process at module initialisation.

PyObject* g_dimension_error = nullptr;
PyObject* g_complexity_error = nullptr;
PyObject* g_runtime_error = nullptr;
PyObject* g_internal_fault = nullptr;

// The one module object of the process; importing again hands it out again.
PyObject* g_module = nullptr;

PyObject* map_error(const EngineError& error) {
    if (error.kind == EngineError::Kind::Interrupted) {
        // The stop predicate left the exception to raise (KeyboardInterrupt
        // for Ctrl-C, or whatever a signal handler raised) pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    PyObject* type = error.kind == EngineError::Kind::NoFormula ? g_complexity_error
                                                                 : g_dimension_error;
    PyErr_SetString(type, error.message().c_str());
    return nullptr;
}

// No C++ exception may cross into the interpreter: a broken invariant or any
// other escape from the engine becomes the BaseException-derived fault.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const InternalError& e) {
        return raise_internal_fault((std::string("internal invariant broken: ") + e.what()).c_str());
    } catch (const std::exception& e) {
        return raise_internal_fault((std::string("unexpected failure in the engine: ") + e.what()).c_str());
    } catch (...) {
        return raise_internal_fault("unexpected failure in the engine");
    }
}

// ---------------------------------------------------------------------------
// Argument conversion.

// A conversion TypeError gets the argument's name in front of its message;
// every other error (an OverflowError for a negative size, say) is left as is.
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

// The per-call regularisation options: None or absent keeps the searcher's
// own setting.
struct Overrides {
    std::optional<double> alpha;
    std::optional<double> l1_ratio;
};

bool to_optional_double(PyObject* object, const char* name, std::optional<double>& out) {
    if (object == nullptr || object == Py_None) return true;
    double value = 0.0;
    if (!to_double(object, name, value)) return false;
    out = value;
    return true;
}

bool convert_overrides(PyObject* alpha, PyObject* l1_ratio, Overrides& out) {
    return to_optional_double(alpha, "alpha", out.alpha) &&
           to_optional_double(l1_ratio, "l1_ratio", out.l1_ratio);
}

// The interpreter's argument parser takes a non-const keyword list before
// Python 3.13; the names are never written through.
char** keywords(const char* const* names) { return const_cast<char**>(names); }

// ---------------------------------------------------------------------------
// Progress output ordering.

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

// ---------------------------------------------------------------------------
// SearchResult.

// A static type object with only its object header set; the slots are filled
// in at module initialisation, right before the type is readied.
PyTypeObject blank_type() {
    PyTypeObject type{};
    // The macro ends in a comma, hence the one-element array.
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.ob_base = head[0];
    return type;
}

struct ResultObject {
    PyObject_HEAD
    SearchResult result;
};

PyTypeObject ResultType = blank_type();

const SearchResult& result_of(PyObject* self) {
    return reinterpret_cast<ResultObject*>(self)->result;
}

PyObject* wrap_result(SearchResult&& result) {
    PyObject* object = ResultType.tp_alloc(&ResultType, 0);
    if (object == nullptr) return nullptr;
    new (&reinterpret_cast<ResultObject*>(object)->result) SearchResult(std::move(result));
    return object;
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
    return nullptr;
}

void result_dealloc(PyObject* self) {
    reinterpret_cast<ResultObject*>(self)->result.~SearchResult();
    Py_TYPE(self)->tp_free(self);
}

PyObject* utf8_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const SearchResult& r = result_of(self);
        const std::string text = "SearchResult(formula='" + r.formula() +
                                 "', error=" + format_exponent6(r.error) +
                                 ", complexity=" + std::to_string(r.complexity()) + ")";
        return utf8_str(text);
    });
}

PyObject* result_get_formula(PyObject* self, void*) { return utf8_str(result_of(self).formula()); }

PyObject* result_get_error(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).error); }

PyObject* result_get_complexity(PyObject* self, void*) {
    return PyLong_FromSize_t(result_of(self).complexity());
}

PyObject* result_to_latex(PyObject* self, PyObject*) {
    return guarded([&] { return utf8_str(result_of(self).to_latex()); });
}

PyObject* result_to_python(PyObject* self, PyObject*) {
    return guarded([&] { return utf8_str(result_of(self).to_python()); });
}

PyObject* result_eval(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", nullptr};
        PyObject* x = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:eval", keywords(names), &x))
            return nullptr;
        std::vector<double> inputs;
        bool have_inputs = false;
        // A scalar first. Arrays with dimensions skip this step: for them it
        // can only succeed on a single element, which the vector reading
        // below gives as well, without NumPy's scalar-conversion warning.
        if (!is_array_with_dims(x)) {
            const double value = PyFloat_AsDouble(x);
            if (value == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
            } else {
                inputs.push_back(value);
                have_inputs = true;
            }
        }
        if (!have_inputs && !convert_to_vec(x, inputs)) {
            if (PyErr_ExceptionMatches(internal_fault_type())) return nullptr;
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "Input must be a float or a 1D list/array");
            return nullptr;
        }
        return PyFloat_FromDouble(result_of(self).eval_multi(inputs));
    });
}

PyObject* evaluate_rows(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"inputs", nullptr};
        PyObject* inputs = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &inputs))
            return nullptr;
        std::vector<std::vector<double>> rows;
        if (!convert_to_matrix(inputs, rows)) return nullptr;
        const std::vector<double> values = result_of(self).eval_batch(rows);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(values[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* result_eval_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return evaluate_rows(self, args, kwargs, "O:eval_batch");
}

PyObject* result_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return evaluate_rows(self, args, kwargs, "O:predict");
}

// Pickling: a result travels as the restore function and its bytes, which
// hold every token at full precision and a format version.
PyObject* result_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef restore = PyRef::steal(PyObject_GetAttrString(g_module, "_restore_result"));
        if (!restore) return nullptr;
        const std::string bytes = encode_result(result_of(self));
        return Py_BuildValue("(O(y#))", restore.get(), bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* restore_result(PyObject*, PyObject* payload) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(payload)) {
            PyErr_SetString(PyExc_TypeError, "cannot restore SearchResult: the saved data must be bytes");
            return nullptr;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(payload));
        DecodedResult decoded = decode_result(std::span<const std::uint8_t>(data, size));
        if (!decoded.result) {
            PyErr_Format(PyExc_ValueError, "cannot restore SearchResult: %s", decoded.problem.c_str());
            return nullptr;
        }
        return wrap_result(std::move(*decoded.result));
    });
}

// The formula's structure with its constants at full precision, for exports
// that rebuild it elsewhere (SymPy): one tuple per postfix token.
PyObject* result_postfix(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SearchResult& r = result_of(self);
        const auto& metas = r.registry->metas();
        const std::vector<Token>& tokens = r.expression.tokens;
        PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(tokens.size())));
        if (!out) return nullptr;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            PyObject* item = nullptr;
            switch (t.kind) {
                case TokenKind::Var:
                    item = Py_BuildValue("(sn)", "var", static_cast<Py_ssize_t>(t.index()));
                    break;
                case TokenKind::Param:
                    item = Py_BuildValue("(sdd)", "param", t.value.re, t.value.im);
                    break;
                case TokenKind::RealConst:
                    item = Py_BuildValue("(sd)", "real", t.value.re);
                    break;
                case TokenKind::ComplexConst:
                case TokenKind::Op:
                    if (t.op_id >= metas.size())
                        throw InternalError("operator id outside the operator table");
                    item = t.kind == TokenKind::Op
                               ? Py_BuildValue("(ssn)", "op", metas[t.op_id].name.c_str(),
                                               static_cast<Py_ssize_t>(t.arity()))
                               : Py_BuildValue("(ssdd)", "const", metas[t.op_id].name.c_str(), t.value.re,
                                               t.value.im);
                    break;
            }
            if (item == nullptr) return nullptr;
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    });
}

// Whether the result describes one number (recognize_constant's answers):
// exports then give that number, the formula read with its variable at 0.
PyObject* result_get_is_constant(PyObject* self, void*) { return PyBool_FromLong(result_of(self).is_constant); }

PyGetSetDef result_getset[] = {
    {"formula", result_get_formula, nullptr, "The discovered mathematical formula as a string.",
     nullptr},
    {"error", result_get_error, nullptr, "The residual error (Mean Squared Error) of the formula.",
     nullptr},
    {"complexity", result_get_complexity, nullptr, "The structural complexity of the formula.",
     nullptr},
    {"_is_constant", result_get_is_constant, nullptr,
     "Whether this result describes one number (an answer of recognize_constant).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// CPython calls keyword-taking methods through a cast to the plain signature.
template <class F>
PyCFunction as_cfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef result_methods[] = {
    {"to_latex", result_to_latex, METH_NOARGS,
     "to_latex($self)\n--\n\nReturns the formula in LaTeX format for academic reporting."},
    {"to_python", result_to_python, METH_NOARGS,
     "to_python($self)\n--\n\nReturns the formula in Python/NumPy format for immediate use."},
    {"eval", as_cfunction(result_eval), METH_VARARGS | METH_KEYWORDS,
     "eval($self, x)\n--\n\nEvaluates the discovered formula for a given input (float or "
     "list/array)."},
    {"eval_batch", as_cfunction(result_eval_batch), METH_VARARGS | METH_KEYWORDS,
     "eval_batch($self, inputs)\n--\n\nEvaluates the formula for a batch of inputs (list of lists "
     "or 2D array)."},
    {"predict", as_cfunction(result_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, inputs)\n--\n\nAlias for eval_batch (Scikit-Learn style)."},
    {"__reduce__", result_reduce, METH_NOARGS, nullptr},
    {"_postfix", result_postfix, METH_NOARGS,
     "_postfix($self)\n--\n\nThe formula's postfix tokens with full-precision constants: "
     "('var', i), ('param', re, im), ('real', x), ('const', name, re, im), ('op', name, arity)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Searcher.

struct SearcherObject {
    PyObject_HEAD
    SearchConfig config;
};

PyTypeObject SearcherType = blank_type();

const SearchConfig& config_of(PyObject* self) {
    return reinterpret_cast<SearcherObject*>(self)->config;
}

PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"max_complexity", "complexity_penalty", "beam_width",
                                            "alpha", "l1_ratio", nullptr};
        PyObject *max_complexity = nullptr, *complexity_penalty = nullptr, *beam_width = nullptr,
                 *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:Searcher", keywords(names),
                                         &max_complexity, &complexity_penalty, &beam_width,
                                         &alpha, &l1_ratio))
            return nullptr;
        // Settings not given keep the engine's defaults; nothing is validated.
        SearchConfig config;
        if (max_complexity && !to_size(max_complexity, "max_complexity", config.max_complexity))
            return nullptr;
        if (complexity_penalty &&
            !to_double(complexity_penalty, "complexity_penalty", config.complexity_penalty))
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

void searcher_dealloc(PyObject* self) {
    reinterpret_cast<SearcherObject*>(self)->config.~SearchConfig();
    Py_TYPE(self)->tp_free(self);
}

PyObject* searcher_get_max_complexity(PyObject* self, void*) {
    return PyLong_FromSize_t(config_of(self).max_complexity);
}
PyObject* searcher_get_beam_width(PyObject* self, void*) {
    return PyLong_FromSize_t(config_of(self).beam_width);
}
PyObject* searcher_get_complexity_penalty(PyObject* self, void*) {
    return PyFloat_FromDouble(config_of(self).complexity_penalty);
}
PyObject* searcher_get_alpha(PyObject* self, void*) {
    return PyFloat_FromDouble(config_of(self).alpha);
}
PyObject* searcher_get_l1_ratio(PyObject* self, void*) {
    return PyFloat_FromDouble(config_of(self).l1_ratio);
}

// Each call searches with a copy of the stored configuration; the searcher
// itself never changes.
Searcher call_searcher(PyObject* self, const Overrides& overrides) {
    SearchConfig config = config_of(self);
    if (overrides.alpha) config.alpha = *overrides.alpha;
    if (overrides.l1_ratio) config.l1_ratio = *overrides.l1_ratio;
    return Searcher(config);
}

// A search asks this about every 50 ms on the calling thread, which holds the
// interpreter lock. Letting go of the lock for a moment lets other Python
// threads run (a timer that calls _thread.interrupt_main, say); then pending
// signals are handled, so Ctrl-C, or any handler that raises, stops the search.
const StopPredicate& signal_check() {
    static const StopPredicate check = [] {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        return PyErr_CheckSignals() != 0;
    };
    return check;
}

// The public search methods print to standard output and stop on signals.
const RunControl& interruptible() {
    static const RunControl control{signal_check()};
    return control;
}

PyObject* finish(Outcome<SearchResult>&& outcome) {
    if (!outcome) return map_error(outcome.error());
    return wrap_result(std::move(outcome).value());
}

PyObject* searcher_find_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"xs", "ys", "alpha", "l1_ratio", nullptr};
        PyObject *xs = nullptr, *ys = nullptr, *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:find_function", keywords(names), &xs,
                                         &ys, &alpha, &l1_ratio))
            return nullptr;
        Overrides overrides;
        if (!convert_overrides(alpha, l1_ratio, overrides)) return nullptr;
        std::vector<double> x, y;
        if (!convert_to_vec(xs, x) || !convert_to_vec(ys, y)) return nullptr;
        const Searcher searcher = call_searcher(self, overrides);
        OutputOrder order;
        return finish(searcher.find_function(x, y, interruptible()));
    });
}

// find_multivariate and its alias fit differ only in the name they report.
PyObject* multivariate(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"inputs", "ys", "alpha", "l1_ratio", nullptr};
        PyObject *inputs = nullptr, *ys = nullptr, *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &inputs, &ys,
                                         &alpha, &l1_ratio))
            return nullptr;
        Overrides overrides;
        if (!convert_overrides(alpha, l1_ratio, overrides)) return nullptr;
        std::vector<std::vector<double>> rows;
        std::vector<double> y;
        if (!convert_to_matrix(inputs, rows) || !convert_to_vec(ys, y)) return nullptr;
        const Searcher searcher = call_searcher(self, overrides);
        OutputOrder order;
        return finish(searcher.find_multivariate(rows, y, interruptible()));
    });
}

PyObject* searcher_find_multivariate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO|OO:find_multivariate");
}

PyObject* searcher_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO|OO:fit");
}

PyObject* searcher_find_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"inputs", "ys", "alpha", "l1_ratio", nullptr};
        PyObject *inputs = nullptr, *ys = nullptr, *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:find_candidates", keywords(names),
                                         &inputs, &ys, &alpha, &l1_ratio))
            return nullptr;
        Overrides overrides;
        if (!convert_overrides(alpha, l1_ratio, overrides)) return nullptr;
        std::vector<std::vector<double>> rows;
        std::vector<double> y;
        if (!convert_to_matrix(inputs, rows) || !convert_to_vec(ys, y)) return nullptr;
        const Searcher searcher = call_searcher(self, overrides);
        std::optional<Outcome<std::vector<SearchResult>>> outcome;
        {
            OutputOrder order;
            outcome.emplace(searcher.find_candidates(rows, y, interruptible()));
        }
        if (!*outcome) return map_error(outcome->error());
        std::vector<SearchResult>& results = outcome->value();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results.size(); ++i) {
            PyObject* item = wrap_result(std::move(results[i]));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* searcher_recognize_constant(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"value", "alpha", "l1_ratio", nullptr};
        PyObject *value = nullptr, *alpha = nullptr, *l1_ratio = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:recognize_constant", keywords(names),
                                         &value, &alpha, &l1_ratio))
            return nullptr;
        double target = 0.0;
        if (!to_double(value, "value", target)) return nullptr;
        Overrides overrides;
        if (!convert_overrides(alpha, l1_ratio, overrides)) return nullptr;
        const Searcher searcher = call_searcher(self, overrides);
        OutputOrder order;
        auto outcome = searcher.recognize_constant(target, interruptible());
        if (outcome) outcome.value().is_constant = true;
        return finish(std::move(outcome));
    });
}

// ---------------------------------------------------------------------------
// The private run-controlled search behind vorn_sr.sklearn.

const char* kind_name(ProgressKind kind) {
    switch (kind) {
        case ProgressKind::Start: return "start";
        case ProgressKind::Level: return "level";
        case ProgressKind::Progress: return "progress";
        case ProgressKind::ProgressEnd: return "end";
    }
    return "progress";
}

// None means no limit; anything else must be a positive number of seconds.
bool to_time_budget(PyObject* object, std::optional<std::chrono::nanoseconds>& out) {
    if (object == nullptr || object == Py_None) return true;
    double seconds = 0.0;
    if (!to_double(object, "max_time", seconds)) return false;
    if (!(seconds > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "max_time must be a positive number of seconds, or None");
        return false;
    }
    // Beyond a century the budget cannot run out; the bound also keeps the
    // conversion to nanoseconds in range.
    constexpr double kNoLimit = 100.0 * 365.25 * 24 * 3600;
    if (seconds < kNoLimit)
        out = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    return true;
}

// _search(searcher, inputs, ys, max_time=None, on_line=None) ->
//     (front, levels_finished, budget_exhausted)
PyObject* module_search(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"searcher", "inputs", "ys", "max_time", "on_line", nullptr};
        PyObject *searcher_object = nullptr, *inputs = nullptr, *ys = nullptr, *max_time = nullptr,
                 *on_line = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO|OO:_search", keywords(names), &SearcherType,
                                         &searcher_object, &inputs, &ys, &max_time, &on_line))
            return nullptr;
        RunControl control;
        if (!to_time_budget(max_time, control.time_budget)) return nullptr;
        if (on_line == Py_None) on_line = nullptr;
        if (on_line != nullptr && !PyCallable_Check(on_line)) {
            PyErr_SetString(PyExc_TypeError, "argument 'on_line': must be callable or None");
            return nullptr;
        }
        std::vector<std::vector<double>> rows;
        std::vector<double> y;
        if (!convert_to_matrix(inputs, rows) || !convert_to_vec(ys, y)) return nullptr;

        // Lines reach on_line on this thread, at the search's ticks. Once it
        // raises, nothing more is handed to it and the next tick stops the
        // search with that exception.
        SilentSink silent;
        CallingThreadSink forward([on_line](ProgressKind kind, const std::string& text) {
            if (PyErr_Occurred()) return;
            PyRef line = PyRef::steal(utf8_str(text));
            if (!line) return;
            PyRef ignored = PyRef::steal(PyObject_CallFunction(on_line, "sO", kind_name(kind), line.get()));
        });
        control.sink = on_line != nullptr ? static_cast<ProgressSink*>(&forward) : &silent;
        control.should_stop = [] {
            if (PyErr_Occurred()) return true;
            return signal_check()();
        };
        auto outcome = Searcher(config_of(searcher_object)).find_front(rows, y, control);
        if (!outcome) return map_error(outcome.error());
        if (PyErr_Occurred()) return nullptr;  // on_line raised on the last line
        Searcher::Front& front = outcome.value();
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(front.results.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < front.results.size(); ++i) {
            PyObject* item = wrap_result(std::move(front.results[i]));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return Py_BuildValue("(OnO)", list.get(), static_cast<Py_ssize_t>(front.levels_finished),
                             front.budget_exhausted ? Py_True : Py_False);
    });
}

PyMethodDef module_methods[] = {
    {"_search", as_cfunction(module_search), METH_VARARGS | METH_KEYWORDS,
     "_search(searcher, inputs, ys, max_time=None, on_line=None)\n--\n\n"
     "The search of find_multivariate with run control: returns (front, levels_finished, "
     "budget_exhausted). on_line(kind, text) receives the progress lines on the calling thread; "
     "None keeps the search silent."},
    {"_restore_result", restore_result, METH_O,
     "_restore_result(data, /)\n--\n\nRebuilds a pickled SearchResult from its saved bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef searcher_getset[] = {
    {"max_complexity", searcher_get_max_complexity, nullptr, nullptr, nullptr},
    {"beam_width", searcher_get_beam_width, nullptr, nullptr, nullptr},
    {"complexity_penalty", searcher_get_complexity_penalty, nullptr, nullptr, nullptr},
    {"alpha", searcher_get_alpha, nullptr, nullptr, nullptr},
    {"l1_ratio", searcher_get_l1_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "\xe2\x89\x88" is the UTF-8 encoding of the approximately-equal sign.
PyMethodDef searcher_methods[] = {
    {"find_function", as_cfunction(searcher_find_function), METH_VARARGS | METH_KEYWORDS,
     "find_function($self, xs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a univariate function f(x) \xe2\x89\x88 y.\n"
     "Supports both Python lists and NumPy arrays."},
    {"find_multivariate", as_cfunction(searcher_find_multivariate), METH_VARARGS | METH_KEYWORDS,
     "find_multivariate($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Finds a multivariate function f(x0, x1, ...) \xe2\x89\x88 y.\n"
     "Inputs should be a 2D array-like structure."},
    {"fit", as_cfunction(searcher_fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Alias for find_multivariate (Scikit-Learn style)."},
    {"find_candidates", as_cfunction(searcher_find_candidates), METH_VARARGS | METH_KEYWORDS,
     "find_candidates($self, inputs, ys, alpha=None, l1_ratio=None)\n--\n\n"
     "Returns the Pareto-front of all candidate formulas found."},
    {"recognize_constant", as_cfunction(searcher_recognize_constant), METH_VARARGS | METH_KEYWORDS,
     "recognize_constant($self, value, alpha=None, l1_ratio=None)\n--\n\n"
     "Identifies a closed-form expression for a scalar constant."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module.

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn_sr._core",
    "The main Python module entry point.",
    // Not -1: with -1 the interpreter would copy the module into a
    // sub-interpreter without calling the entry point, bypassing its refusal.
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool ready_types() {
    SearcherType.tp_name = "vorn_sr.Searcher";
    SearcherType.tp_basicsize = sizeof(SearcherObject);
    SearcherType.tp_dealloc = searcher_dealloc;
    SearcherType.tp_flags = Py_TPFLAGS_DEFAULT;
    SearcherType.tp_doc =
        "Searcher(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, "
        "l1_ratio=0.5)\n--\n\n"
        "The core VORN-SR search engine exposed to Python.";
    SearcherType.tp_methods = searcher_methods;
    SearcherType.tp_getset = searcher_getset;
    SearcherType.tp_new = searcher_new;
    if (PyType_Ready(&SearcherType) < 0) return false;

    ResultType.tp_name = "vorn_sr.SearchResult";
    ResultType.tp_basicsize = sizeof(ResultObject);
    ResultType.tp_dealloc = result_dealloc;
    ResultType.tp_repr = result_repr;
    ResultType.tp_flags = Py_TPFLAGS_DEFAULT;
    ResultType.tp_doc = "A high-performance symbolic regression result.";
    ResultType.tp_methods = result_methods;
    ResultType.tp_getset = result_getset;
    ResultType.tp_new = result_new;
    return PyType_Ready(&ResultType) == 0;
}

bool create_exceptions() {
    g_dimension_error = PyErr_NewException("vorn_sr.VornDimensionError", PyExc_Exception, nullptr);
    g_complexity_error =
        PyErr_NewException("vorn_sr.VornComplexityError", PyExc_Exception, nullptr);
    g_runtime_error = PyErr_NewException("vorn_sr.VornRuntimeError", PyExc_Exception, nullptr);
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "vorn_sr.VornInternalError",
        "A broken invariant inside vorn_sr: a bug to report, not a problem with the input.",
        PyExc_BaseException, nullptr);
    return g_dimension_error && g_complexity_error && g_runtime_error && g_internal_fault;
}

// Adds `value` as attribute `name` and lists the name in __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyObject* create_module() {
    if (!ready_types() || !create_exceptions()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    PyRef all = PyRef::steal(PyList_New(0));
    if (!module || !all) return nullptr;
    const bool added =
        add_public(module.get(), all.get(), "Searcher", reinterpret_cast<PyObject*>(&SearcherType)) &&
        add_public(module.get(), all.get(), "SearchResult", reinterpret_cast<PyObject*>(&ResultType)) &&
        add_public(module.get(), all.get(), "VornDimensionError", g_dimension_error) &&
        add_public(module.get(), all.get(), "VornComplexityError", g_complexity_error) &&
        add_public(module.get(), all.get(), "VornRuntimeError", g_runtime_error);
    if (!added) return nullptr;
    if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    all.release();  // the module holds it now
    return module.release();
}

}  // namespace

PyObject* internal_fault_type() { return g_internal_fault; }

PyObject* raise_internal_fault(const char* what) {
    PyErr_SetString(g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError, what);
    return nullptr;
}

}  // namespace vorn::python

PyMODINIT_FUNC PyInit__core(void) {
    using namespace vorn::python;
    // Types, exception classes and the engine's worker pool are per process;
    // a second interpreter would share them with the first, so it is refused.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "vorn_sr can only be imported in the main interpreter, "
                        "not in a sub-interpreter");
        return nullptr;
    }
    if (g_module == nullptr) {
        g_module = create_module();
        if (g_module == nullptr) return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
}
