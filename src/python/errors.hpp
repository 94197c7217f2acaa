#pragma once

// The module's exception classes and the translation of engine outcomes into
// Python exceptions. No C++ exception may cross into the interpreter.

#include <exception>
#include <string>

#include "core/config.hpp"
#include "core/outcome.hpp"
#include "core/internal_error.hpp"
#include "python/fault.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

// Created once per process, at module initialisation.
bool create_exception_classes();
PyObject* dimension_error_type();
PyObject* complexity_error_type();
PyObject* runtime_error_type();

// Raises the exception for `error` and returns null. An interruption leaves
// the exception the stop predicate found pending (KeyboardInterrupt for
// Ctrl-C) in place.
PyObject* map_error(const EngineError& error);

// Runs `body`; a broken invariant or any other escape from the engine becomes
// the BaseException-derived fault instead of crossing into the interpreter.
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

}  // namespace vorn::python
