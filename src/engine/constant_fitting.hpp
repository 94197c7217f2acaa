#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/samples.hpp"
#include "core/token.hpp"
#include "engine/optimizer.hpp"
#include "ops/operator.hpp"

namespace vorn {

// What one Levenberg–Marquardt fit may spend and when it is done.
struct FitBudget {
    std::size_t iterations = 20;  // per start
    std::size_t starts = 3;       // the inherited constants, then fixed starts
    double exact_error = 0.0;     // an error at or below this ends the fit
    // Fit from the start with the lowest error only, instead of from each.
    bool screen_starts = false;
};

// The rounding level of a target: errors at or below it are exact fits.
double exact_error_of(std::span<const double> targets);

// Fits the constants of `tokens` by Levenberg–Marquardt from their own values
// (what the operands inherited) and, unless that start reaches an exact fit,
// from fixed starts that do not depend on them (all ones, then alternating
// -1, then alternating signs): a structure whose inherited constants sit in
// the wrong basin is still fitted. `fitted` receives the best values; the error is theirs, and
// start_error that of the tokens' own values.
RefinedError fit_constants_lm(std::span<const Token> tokens, const Samples& rows,
                              std::span<const double> targets, double alpha, double l1_ratio,
                              OperatorTable operators, ValueSource reuse, const FitBudget& budget,
                              std::vector<double>& fitted);

}  // namespace vorn
