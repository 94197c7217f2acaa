#pragma once

#include <stdexcept>
#include <string>

namespace vorn {

// Thrown only when an invariant of the engine is broken (an operator id outside
// the table, an operator handed too few operands). Expected failures are
// values, never exceptions; this one signals a programming error and is turned
// into a BaseException-derived error at the Python boundary.
class InternalError : public std::logic_error {
public:
    explicit InternalError(const std::string& what) : std::logic_error(what) {}
};

}  // namespace vorn
