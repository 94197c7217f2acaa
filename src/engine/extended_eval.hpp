#pragma once

#include <optional>
#include <span>

#include "core/token.hpp"

namespace vorn {

// A complex value in extended precision (x87 long double where the platform
// has one; elsewhere long double may be no wider than double).
struct WideComplex {
    long double re = 0.0L;
    long double im = 0.0L;
};

// The value of a formula of the built-in operators, its variables reading 0,
// in extended precision: each operator by the same formula and the same
// branch rules as the engine's double arithmetic, only wider, so the result
// differs from the engine's value by the engine's rounding and nothing else.
// None where the engine's evaluation would be undefined, and for tokens other
// than variables and built-in operators.
std::optional<WideComplex> eval_extended(std::span<const Token> tokens);

}  // namespace vorn
