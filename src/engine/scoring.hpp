#pragma once

#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/expression.hpp"
#include "core/samples.hpp"
#include "engine/pareto.hpp"
#include "eval/interpreter.hpp"
#include "eval/row_values.hpp"
#include "ops/registry.hpp"

namespace vorn {

// mse of the formula's values at the rows plus the penalty of its constants
// (Param defaults included). +infinity at the first row where the value is
// missing, not finite, or reaches 1e15. With `real_axis`, rows whose values
// stay on the real axis are evaluated in real arithmetic; the error is the
// same either way. Callers pass the search's real_fast_path, so that a search
// with it off evaluates everything as complex.
double compute_raw_error(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, OperatorTable operators, double alpha,
                         double l1_ratio, bool real_axis);

// compute_raw_error of op(left) or op(left, right) from the operands' values
// at the rows; the operand tokens supply the penalty's constants in order.
double composed_raw_error(const OperatorCall& op, const RowOperand& left,
                          const RowOperand& right, std::span<const Token> left_tokens,
                          std::span<const Token> right_tokens, std::span<const double> targets,
                          double alpha, double l1_ratio);

// compute_raw_error, then update_pareto when the error is finite.
void score_and_update(const Expression& expression, const Samples& rows,
                      std::span<const double> targets, ParetoFront& front, OperatorTable operators,
                      double alpha, double l1_ratio, bool real_axis);

// score = error × ((complexity × penalty) + 1.0), in exactly that order.
inline double complexity_factor(std::size_t complexity, double complexity_penalty) {
    return static_cast<double>(complexity) * complexity_penalty + 1.0;
}

struct ScoredExpression {
    Expression expression;
    double score = 0.0;
};

// The scoring step of one candidate: raw error, refinement of its constants
// (adopted only when strictly better, tried even from +infinity), dropped when
// the error is not finite. The candidate's Param defaults are real with a +0
// imaginary part, as composition and refinement leave them.
//
// With Levenberg–Marquardt fitting a candidate is first fitted cheaply, from
// its inherited constants alone; `thorough` gives it the full budget and
// every start, which the driver spends on the candidates that can enter the
// beam.
std::optional<ScoredExpression> score_candidate(const Expression& candidate, const Samples& rows,
                                                std::span<const double> targets,
                                                const SearchConfig& config,
                                                const OperatorRegistry& registry, bool thorough = false);

// The same step without building the candidate's text: the score, and whether
// refinement ran. `fitted` receives the fitted parameter values in slot order
// when refinement won, and is left empty otherwise.
struct CandidateScore {
    double score = 0.0;
    bool refined = false;
    // With scaled ranking, the error after the best scale and offset of the
    // fitted formula (thorough: fitted together with its constants).
    double scaled_error = std::numeric_limits<double>::infinity();
};
std::optional<CandidateScore> score_tokens(const Expression& candidate, const Samples& rows,
                                           std::span<const double> targets,
                                           const SearchConfig& config,
                                           const OperatorRegistry& registry,
                                           std::vector<double>& fitted, bool thorough = false);

}  // namespace vorn
