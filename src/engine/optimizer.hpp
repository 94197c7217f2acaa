#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/expression.hpp"
#include "core/samples.hpp"
#include "ops/registry.hpp"

namespace vorn {

struct Refined {
    Expression expression;
    double error = 0.0;
};

// Where refinement takes its values from; the results are identical every
// way. A bare bool says whether to use the tape, on the real axis where it can.
struct ValueSource {
    bool tape = true;       // the compiled tape, else evaluation of the whole formula
    bool real_axis = true;  // on the tape, real arithmetic while values stay real
    ValueSource(bool use_tape = true, bool real = true) : tape(use_tape), real_axis(real) {}
};

// The value source a search's settings ask for.
inline ValueSource value_source(const SearchConfig& config) {
    return {config.reuse_computed_values, config.real_fast_path};
}

// How a refinement ended: the error of the returned values, and the error of
// the starting values, the Param tokens' real parts.
struct RefinedError {
    double error = 0.0;
    double start_error = 0.0;
};

// Damped Gauss-Newton on the Param values with a forward-difference Jacobian,
// using only the diagonal of JᵀJ; a step's error is mse plus penalty at its
// values. Only strictly better steps are accepted, so the returned error
// never exceeds the starting one and is the error of the returned values.
// `p` receives the fitted values in token order.
//
// One step loop runs over either of two sources of values. With `source.tape`,
// a compiled tape that keeps every node's value per row: a Jacobian column
// recomputes only the ancestors of its parameter, and an accepted step's
// trial values become the next base values. Without it, every value comes
// from evaluating the whole formula, which the tests compare against bit for
// bit.
RefinedError refine_values(std::span<const Token> tokens, const Samples& rows,
                           std::span<const double> targets, double alpha, double l1_ratio,
                           OperatorTable operators, std::size_t max_iterations, ValueSource source,
                           std::vector<double>& p);

// Levenberg–Marquardt on the full JᵀJ from the values in `p` (one per Param
// token, in token order), which receives the fitted values. Steps are taken
// only when strictly better, like refine_values, and it stops when a step
// gains less than a relative 1e-10 of the error or the error reaches
// `exact_error`. The same two sources of values as refine_values.
RefinedError fit_values_lm(std::span<const Token> tokens, const Samples& rows,
                           std::span<const double> targets, double alpha, double l1_ratio,
                           OperatorTable operators, std::size_t max_iterations, ValueSource source,
                           double exact_error, std::vector<double>& p);

// refine_values on an expression; the input expression is left untouched.
Refined refine_constants(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, double alpha, double l1_ratio,
                         const OperatorRegistry& registry, std::size_t max_iterations,
                         ValueSource source = {});

// Sets the i-th Param token of `tokens` to fitted[i] + 0i: the one place
// fitted values enter a formula.
void write_fitted(std::span<Token> tokens, std::span<const double> fitted);

}  // namespace vorn
