#include "python/run_search.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "facade/searcher.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/engine_settings.hpp"
#include "python/errors.hpp"
#include "python/python_scorer.hpp"
#include "python/result_type.hpp"
#include "python/search_state.hpp"
#include "python/searcher_type.hpp"

namespace vorn::python {

namespace {

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

}  // namespace

PyObject* run_search(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"searcher", "inputs", "ys",     "max_time", "on_line",
                                            "scorer",   "engine", "checkpoint", "resume", nullptr};
        PyObject *searcher = nullptr, *inputs = nullptr, *ys = nullptr, *max_time = nullptr, *on_line = nullptr,
                 *scorer = nullptr, *engine = nullptr, *checkpoint = nullptr, *resume = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO|OOOOOO:_search", keywords(names), searcher_type(),
                                         &searcher, &inputs, &ys, &max_time, &on_line, &scorer, &engine,
                                         &checkpoint, &resume))
            return nullptr;
        SearchConfig config = config_of(searcher);
        if (!to_engine_settings(engine, config.engine)) return nullptr;
        RunControl control;
        if (!to_time_budget(max_time, control.time_budget)) return nullptr;
        if (on_line == Py_None) on_line = nullptr;
        if (on_line != nullptr && !PyCallable_Check(on_line)) {
            PyErr_SetString(PyExc_TypeError, "argument 'on_line': must be callable or None");
            return nullptr;
        }
        if (checkpoint == Py_None) checkpoint = nullptr;
        if (checkpoint != nullptr && !PyCallable_Check(checkpoint)) {
            PyErr_SetString(PyExc_TypeError, "argument 'checkpoint': must be callable or None");
            return nullptr;
        }
        std::optional<SearchCheckpoint> state;
        if (resume != nullptr && resume != Py_None && !to_checkpoint(resume, state)) return nullptr;
        Samples rows;
        std::vector<double> y;
        if (!convert_to_samples(inputs, rows) || !convert_to_vec(ys, y)) return nullptr;

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
        control.should_stop = [] { return PyErr_Occurred() != nullptr || signal_check()(); };
        // The state after each level goes to checkpoint(bytes) on this thread;
        // once it raises (a write that failed, say), the search ends with
        // that exception.
        if (checkpoint != nullptr) {
            control.save_checkpoint = [checkpoint](const std::string& bytes) {
                if (PyErr_Occurred()) return false;
                PyRef data = PyRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
                if (!data) return false;
                PyRef ignored = PyRef::steal(PyObject_CallOneArg(checkpoint, data.get()));
                return static_cast<bool>(ignored);
            };
        }
        if (state) control.resume = &*state;
        std::optional<PythonScorer> remote;
        if (scorer != nullptr && scorer != Py_None) {
            remote.emplace(scorer);
            control.scorer = &*remote;
        }
        auto outcome = Searcher(config).find_front(rows, y, control);
        if (!outcome) return PyErr_Occurred() ? nullptr : map_error(outcome.error());
        if (PyErr_Occurred()) return nullptr;  // on_line raised on the last line
        Searcher::Front& front = outcome.value();
        PyRef list = PyRef::steal(wrap_results(std::move(front.results)));
        if (!list) return nullptr;
        return Py_BuildValue("(OnO)", list.get(), static_cast<Py_ssize_t>(front.levels_finished),
                             front.budget_exhausted ? Py_True : Py_False);
    });
}

}  // namespace vorn::python
