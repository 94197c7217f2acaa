#include "python/scoring_workspace_type.hpp"

#include <new>
#include <optional>
#include <span>
#include <string>

#include "engine/remote_scoring.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/type_flags.hpp"

namespace vorn::python {

namespace {

struct WorkspaceObject {
    PyObject_HEAD
    std::optional<ScoringWorkspace> workspace;
};

ScoringWorkspace& workspace_of(PyObject* self) { return *reinterpret_cast<WorkspaceObject*>(self)->workspace; }

// The bytes of a bytes object, or null with a TypeError naming `what`.
std::optional<std::span<const std::uint8_t>> bytes_of(PyObject* object, const char* what) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.100s", what, Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

PyObject* refuse(const std::string& problem) {
    PyErr_Format(PyExc_ValueError, "cannot score here: %s", problem.c_str());
    return nullptr;
}

PyObject* workspace_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* data = nullptr;
        static const char* const names[] = {"data", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_ScoringWorkspace", keywords(names), &data))
            return nullptr;
        const auto bytes = bytes_of(data, "data");
        if (!bytes) return nullptr;
        std::string problem;
        auto workspace = ScoringWorkspace::from_data(*bytes, problem);
        if (!workspace) return refuse(problem);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<WorkspaceObject*>(self)->workspace) std::optional<ScoringWorkspace>(std::move(workspace));
        return self;
    });
}

PyObject* workspace_add_level(PyObject* self, PyObject* level) {
    return guarded([&]() -> PyObject* {
        const auto bytes = bytes_of(level, "level");
        if (!bytes) return nullptr;
        std::string problem;
        if (!workspace_of(self).add_level(*bytes, problem)) return refuse(problem);
        Py_RETURN_NONE;
    });
}

PyObject* workspace_score(PyObject* self, PyObject* candidates) {
    return guarded([&]() -> PyObject* {
        const auto bytes = bytes_of(candidates, "candidates");
        if (!bytes) return nullptr;
        std::string problem;
        std::optional<std::string> outcomes;
        // Scoring reads nothing of Python's: other threads of the worker run
        // meanwhile. The bytes object is kept alive by the caller's reference.
        Py_BEGIN_ALLOW_THREADS
        outcomes = workspace_of(self).score(*bytes, problem);
        Py_END_ALLOW_THREADS
        if (!outcomes) return refuse(problem);
        return PyBytes_FromStringAndSize(outcomes->data(), static_cast<Py_ssize_t>(outcomes->size()));
    });
}

PyObject* workspace_levels_held(PyObject* self, void*) {
    return PyLong_FromSize_t(workspace_of(self).levels_held());
}

PyMethodDef workspace_methods[] = {
    {"add_level", workspace_add_level, METH_O,
     "add_level($self, level, /)\n--\n\nAdds the next retained level (bytes from the driver)."},
    {"score", workspace_score, METH_O,
     "score($self, candidates, /)\n--\n\nScores a chunk of candidates of the next level; the outcomes as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef workspace_getset[] = {
    {"levels_held", workspace_levels_held, nullptr, "The highest retained level received.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot workspace_slots[] = {
    {Py_tp_doc, const_cast<char*>("_ScoringWorkspace(data)\n--\n\nScores shipped candidates of a search.")},
    {Py_tp_new, reinterpret_cast<void*>(workspace_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<WorkspaceObject>)},
    {Py_tp_methods, workspace_methods},
    {Py_tp_getset, workspace_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_scoring_workspace_type() {
    static PyType_Spec definition = {"vorn_sr._core._ScoringWorkspace", static_cast<int>(sizeof(WorkspaceObject)),
                                     0, kTypeFlags, workspace_slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
}

}  // namespace vorn::python
