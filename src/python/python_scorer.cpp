#include "python/python_scorer.hpp"

namespace vorn::python {

namespace {

PyObject* to_bytes(const std::string& s) {
    return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_bytes_list(const std::vector<std::string>& items) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_bytes(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

std::size_t PythonScorer::chunk_count(std::size_t candidates) {
    if (PyErr_Occurred()) return 1;
    PyRef answer = PyRef::steal(PyObject_CallMethod(transport_, "chunk_count", "n", static_cast<Py_ssize_t>(candidates)));
    if (!answer) return 1;  // submit sees the pending exception and fails
    const Py_ssize_t count = PyLong_AsSsize_t(answer.get());
    if (count < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "chunk_count must return a positive integer");
        return 1;
    }
    return static_cast<std::size_t>(count);
}

bool PythonScorer::submit(std::size_t k, const std::optional<std::string>& data,
                          const std::vector<std::string>& new_levels, const std::vector<std::string>& chunks) {
    if (PyErr_Occurred()) return false;
    PyRef data_object = data ? PyRef::steal(to_bytes(*data)) : PyRef::borrow(Py_None);
    PyRef levels = PyRef::steal(to_bytes_list(new_levels));
    PyRef chunk_list = PyRef::steal(to_bytes_list(chunks));
    if (!data_object || !levels || !chunk_list) return false;
    PyRef done = PyRef::steal(PyObject_CallMethod(transport_, "submit", "nOOO", static_cast<Py_ssize_t>(k),
                                                  data_object.get(), levels.get(), chunk_list.get()));
    return static_cast<bool>(done);
}

std::optional<std::vector<std::string>> PythonScorer::wait(double seconds, bool& failed) {
    PyRef answer = PyRef::steal(PyObject_CallMethod(transport_, "wait", "d", seconds));
    if (!answer) {
        failed = true;
        return std::nullopt;
    }
    if (answer.get() == Py_None) return std::nullopt;
    PyRef items = PyRef::steal(PySequence_Fast(answer.get(), "wait must return a list of bytes or None"));
    if (!items) {
        failed = true;
        return std::nullopt;
    }
    std::vector<std::string> blobs;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "wait must return a list of bytes or None");
            failed = true;
            return std::nullopt;
        }
        blobs.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    return blobs;
}

void PythonScorer::cancel() {
    // The exception that ended the level (Ctrl-C, a lost scheduler) is the
    // one the caller must see; cancelling must not replace it.
    PyRef pending = take_raised_exception();
    PyRef ignored = PyRef::steal(PyObject_CallMethod(transport_, "cancel", nullptr));
    if (pending) {
        PyErr_Clear();
        restore_raised_exception(std::move(pending));
    }
}

}  // namespace vorn::python
