#pragma once

#include "python/pyref.hpp"

namespace vorn::python {

// The flags of the module's types. Their objects never change, and neither do
// the classes: like built-in types they refuse new class attributes (where
// the interpreter can say so, from 3.10) and cannot be subclassed.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// Ends an object of one of the module's heap types: runs the C++ destructor of
// its payload, frees it, and drops the reference every instance holds on its
// type.
template <class Object>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Object*>(self)->~Object();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace vorn::python
