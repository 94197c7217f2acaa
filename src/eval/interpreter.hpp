#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "ops/operator.hpp"

namespace vorn {

// The stack machine shared by every evaluation. `stack` is caller-owned
// scratch that must be empty on entry; it is left with arbitrary contents.
std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack);
// The same on a data row, whose values are read as x + 0i.
std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const double> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack);

// Every Param takes its stored default.
std::optional<Complex> eval(const Expression& expression, std::span<const Complex> inputs,
                            OperatorTable operators);

// Param slot k takes params[k] when supplied, else its default.
std::optional<Complex> eval_with_params(const Expression& expression,
                                        std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorTable operators);

}  // namespace vorn
