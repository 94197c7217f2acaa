#include "python/result_type.hpp"

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/type_flags.hpp"
#include "python/format.hpp"
#include "result/formula_codec.hpp"
#include "result/result_codec.hpp"

namespace vorn::python {

namespace {

struct ResultObject {
    PyObject_HEAD
    SearchResult result;
};

PyTypeObject* g_type = nullptr;

const SearchResult& result_of(PyObject* self) { return reinterpret_cast<ResultObject*>(self)->result; }

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
    return nullptr;
}

PyObject* result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const SearchResult& r = result_of(self);
        const std::string text = "SearchResult(formula='" + r.formula() + "', error=" + format_exponent6(r.error) +
                                 ", complexity=" + std::to_string(r.complexity()) + ")";
        return utf8_str(text);
    });
}

// The read-only properties, one table entry each.
PyObject* get_formula(PyObject* self, void*) { return utf8_str(result_of(self).formula()); }
PyObject* get_error(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).error); }
PyObject* get_complexity(PyObject* self, void*) { return PyLong_FromSize_t(result_of(self).complexity()); }
// Whether the result describes one number (recognize_constant's answers):
// exports then give that number, the formula read with its variable at 0.
PyObject* get_is_constant(PyObject* self, void*) { return PyBool_FromLong(result_of(self).is_constant); }

PyGetSetDef result_getset[] = {
    {"formula", get_formula, nullptr, "The discovered mathematical formula as a string.", nullptr},
    {"error", get_error, nullptr, "The residual error (Mean Squared Error) of the formula.", nullptr},
    {"complexity", get_complexity, nullptr, "The structural complexity of the formula.", nullptr},
    {"_is_constant", get_is_constant, nullptr,
     "Whether this result describes one number (an answer of recognize_constant).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:eval", keywords(names), &x)) return nullptr;
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
        return PyFloat_FromDouble(result_of(self).eval_at(inputs));
    });
}

PyObject* evaluate_rows(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"inputs", nullptr};
        PyObject* inputs = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &inputs)) return nullptr;
        Samples rows;
        if (!convert_to_samples(inputs, rows)) return nullptr;
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
        PyRef module = PyRef::steal(PyImport_ImportModule("vorn_sr._core"));
        if (!module) return nullptr;
        PyRef restore = PyRef::steal(PyObject_GetAttrString(module.get(), "_restore_result"));
        if (!restore) return nullptr;
        const std::string bytes = encode_result(result_of(self));
        return Py_BuildValue("(O(y#))", restore.get(), bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
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
                    item = Py_BuildValue("(sn)", "var", static_cast<Py_ssize_t>(t.var_index));
                    break;
                case TokenKind::Param:
                    item = Py_BuildValue("(sdd)", "param", t.value.re, t.value.im);
                    break;
                case TokenKind::RealConst:
                    item = Py_BuildValue("(sd)", "real", t.value.re);
                    break;
                case TokenKind::ComplexConst:
                case TokenKind::Op:
                    if (t.op_id >= metas.size()) throw InternalError("operator id outside the operator table");
                    item = t.kind == TokenKind::Op
                               ? Py_BuildValue("(ssn)", "op", metas[t.op_id].name.c_str(),
                                               static_cast<Py_ssize_t>(t.arity))
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

PyMethodDef result_methods[] = {
    {"to_latex", result_to_latex, METH_NOARGS,
     "to_latex($self)\n--\n\nReturns the formula in LaTeX format for academic reporting."},
    {"to_python", result_to_python, METH_NOARGS,
     "to_python($self)\n--\n\nReturns the formula in Python/NumPy format for immediate use."},
    {"eval", as_cfunction(result_eval), METH_VARARGS | METH_KEYWORDS,
     "eval($self, x)\n--\n\nEvaluates the discovered formula for a given input (float or list/array)."},
    {"eval_batch", as_cfunction(result_eval_batch), METH_VARARGS | METH_KEYWORDS,
     "eval_batch($self, inputs)\n--\n\nEvaluates the formula for a batch of inputs (list of lists or 2D "
     "array)."},
    {"predict", as_cfunction(result_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, inputs)\n--\n\nAlias for eval_batch (Scikit-Learn style)."},
    {"__reduce__", result_reduce, METH_NOARGS, nullptr},
    {"_postfix", result_postfix, METH_NOARGS,
     "_postfix($self)\n--\n\nThe formula's postfix tokens with full-precision constants: "
     "('var', i), ('param', re, im), ('real', x), ('const', name, re, im), ('op', name, arity)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("A high-performance symbolic regression result.")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

}  // namespace


PyTypeObject* create_result_type() {
    static PyType_Spec definition = {"vorn_sr.SearchResult", static_cast<int>(sizeof(ResultObject)), 0,
                               kTypeFlags, result_slots};
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    return g_type;
}

PyTypeObject* result_type() { return g_type; }

PyObject* wrap_result(SearchResult&& result) {
    PyObject* object = g_type->tp_alloc(g_type, 0);
    if (object == nullptr) return nullptr;
    new (&reinterpret_cast<ResultObject*>(object)->result) SearchResult(std::move(result));
    return object;
}

PyObject* wrap_results(std::vector<SearchResult>&& results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* item = wrap_result(std::move(results[i]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* restore_result(PyObject*, PyObject* data) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(data)) {
            PyErr_SetString(PyExc_TypeError, "cannot restore SearchResult: the saved data must be bytes");
            return nullptr;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
        DecodedResult decoded = decode_result(std::span<const std::uint8_t>(bytes, size));
        if (!decoded.result) {
            PyErr_Format(PyExc_ValueError, "cannot restore SearchResult: %s", decoded.problem.c_str());
            return nullptr;
        }
        return wrap_result(std::move(*decoded.result));
    });
}

namespace {

// One ('var', i), ('param', re, im) or ('op', name, arity) tuple of
// _result_from_postfix as a token; false with an exception set otherwise.
bool token_from_tuple(PyObject* item, const OperatorRegistry& registry, Token& token) {
    const char* kind = nullptr;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 2 ||
        (kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0))) == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "each token must be a tuple (kind, ...)");
        return false;
    }
    const std::string_view k(kind);
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (k == "var" && size == 2) {
        const long index = PyLong_AsLong(PyTuple_GET_ITEM(item, 1));
        if (index == -1 && PyErr_Occurred()) return false;
        if (index < 0 || static_cast<std::size_t>(index) >= kMaxVars) {
            PyErr_SetString(PyExc_ValueError, "variable index out of range");
            return false;
        }
        token = Token::var(static_cast<std::uint8_t>(index));
        return true;
    }
    if (k == "param" && size == 3) {
        const double re = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 1));
        const double im = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 2));
        if (PyErr_Occurred()) return false;
        // The slot is given by the decoder's order check; count them here.
        token = Token::param(0, Complex{re, im});
        return true;
    }
    if (k == "op" && size == 3) {
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 1));
        if (name == nullptr) return false;
        const long arity = PyLong_AsLong(PyTuple_GET_ITEM(item, 2));
        if (arity == -1 && PyErr_Occurred()) return false;
        const auto& metas = registry.metas();
        for (std::size_t id = 0; id < metas.size(); ++id) {
            if (metas[id].name == name && metas[id].arity > 0 && static_cast<long>(metas[id].arity) == arity) {
                token = Token::op(static_cast<std::uint8_t>(arity), static_cast<std::uint16_t>(id));
                return true;
            }
        }
        PyErr_Format(PyExc_ValueError, "unknown operator %s with arity %ld", name, arity);
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "unknown token kind; expected 'var', 'param' or 'op'");
    return false;
}

}  // namespace

// Goes through the same bytes and checks as a restored pickle, so a result
// built here is one a search could have built.
PyObject* result_from_postfix(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* tokens = nullptr;
        double error = 0.0;
        if (!PyArg_ParseTuple(args, "Od:_result_from_postfix", &tokens, &error)) return nullptr;
        PyRef sequence = PyRef::steal(PySequence_Fast(tokens, "tokens must be a sequence"));
        if (!sequence) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
        if (count == 0 || static_cast<std::size_t>(count) > kMaxRestoredTokens) {
            PyErr_Format(PyExc_ValueError, "a formula has 1 to %zu tokens, got %zd", kMaxRestoredTokens, count);
            return nullptr;
        }
        if (!(error >= 0.0) || !std::isfinite(error)) {
            PyErr_SetString(PyExc_ValueError, "error must be a finite non-negative number");
            return nullptr;
        }
        auto registry = OperatorRegistry::shared_builtins();
        std::vector<Token> built;
        built.reserve(static_cast<std::size_t>(count));
        std::uint8_t slot = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Token token;
            if (!token_from_tuple(PySequence_Fast_GET_ITEM(sequence.get(), i), *registry, token)) return nullptr;
            if (token.kind == TokenKind::Param) {
                if (slot == kMaxParams) {
                    PyErr_SetString(PyExc_ValueError, "too many constants");
                    return nullptr;
                }
                token.param_slot = slot++;
            }
            built.push_back(token);
        }
        ByteWriter out;
        encode_tokens(out, built);
        const std::string bytes = std::move(out).take();
        ByteReader in(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                    bytes.size()));
        std::string problem;
        auto formula = decode_formula(in, built.size(), *registry, problem);
        if (!formula) {
            PyErr_Format(PyExc_ValueError, "not a formula: %s", problem.c_str());
            return nullptr;
        }
        return wrap_result(SearchResult{std::move(*formula), std::move(registry), error, false});
    });
}

}  // namespace vorn::python
