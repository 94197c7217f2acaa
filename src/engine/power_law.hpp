#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Candidate laws of the form C · x₀^e₀ · x₁^e₁ ⋯ with exponents that are
// multiples of 1/2, read off a least-squares fit of log|y| on log xᵢ over
// the variables whose values are all positive. Most laws of physics and
// engineering are such monomials, and a search over compositions needs many
// levels to spell out one of several variables. The formulas use only the
// operators in `operator_mask` (Times, Divide, Square, Cube, Sqrt, Inv, Neg);
// their constant is left at 1 for the caller to fit. None when the targets
// change sign, touch zero, or no monomial can be written.
std::vector<Expression> power_law_candidates(const Samples& rows, std::span<const double> targets,
                                             const OperatorRegistry& registry, std::uint32_t operator_mask);

}  // namespace vorn
