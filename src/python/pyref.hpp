#pragma once

// Python.h must come before any standard header.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorn::python {

// Owns one strong reference to a Python object (or none). Every reference the
// binding creates lives in one of these, so an early return on an error path
// can never leak or double-release.
class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (the usual result of a C API call); null is
    // allowed and means "failed, error set".
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference to the caller (for example as a return value).
    PyObject* release() { return std::exchange(object_, nullptr); }

    void reset(PyObject* object = nullptr) {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    explicit PyRef(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

// Takes the pending exception off the thread, normalised to an instance
// (null when none is pending).
inline PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

// Makes `exception` (an instance) the pending exception again.
inline void restore_raised_exception(PyRef exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace vorn::python
