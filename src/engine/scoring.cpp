#include "engine/scoring.hpp"

#include <cmath>

#include "engine/optimizer.hpp"
#include "eval/error_measure.hpp"
#include "eval/interpreter.hpp"

namespace vorn {

namespace {

constexpr std::size_t kSearchIterations = 10;

// The formula's value at a data row, or none where it has none. Evaluation
// limits every operator's value; a leaf is not limited by it, so the bound is
// applied here.
std::optional<Complex> value_at_row(const CompiledFormula& formula, std::span<const double> row,
                                    std::vector<Complex>& stack) {
    const auto v = formula.eval(row, {}, stack);
    if (!v || !within_value_limit(*v)) return std::nullopt;
    return v;
}

}  // namespace

double compute_raw_error(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, OperatorTable operators, double alpha,
                         double l1_ratio) {
    // One compiled formula per worker thread, reused for every candidate.
    thread_local EvalScratch scratch;
    scratch.formula.compile(expression.tokens, operators);
    return mse([&](std::size_t k) { return value_at_row(scratch.formula, rows.row(k), scratch.stack); },
               targets, penalty(expression.tokens, {}, alpha, l1_ratio));
}

double composed_raw_error(const OperatorCall& op, const RowOperand& left,
                          const RowOperand& right, std::span<const Token> left_tokens,
                          std::span<const Token> right_tokens, std::span<const double> targets,
                          double alpha, double l1_ratio) {
    // The composition's tokens are the left operand's, the right operand's
    // and the operator, which holds no constant.
    ConstantSums constants;
    constants.add(left_tokens);
    constants.add(right_tokens);
    ComposedRows values(op, left, right, targets.size());
    return mse(values, targets, constants.penalty(alpha, l1_ratio));
}

void score_and_update(const Expression& expression, const Samples& rows,
                      std::span<const double> targets, ParetoFront& front, OperatorTable operators,
                      double alpha, double l1_ratio) {
    const double error = compute_raw_error(expression, rows, targets, operators, alpha, l1_ratio);
    if (std::isfinite(error)) update_pareto(front, expression, error);
}

std::optional<CandidateScore> score_tokens(const Expression& candidate, const Samples& rows,
                                           std::span<const double> targets,
                                           const SearchConfig& config,
                                           const OperatorRegistry& registry,
                                           std::vector<double>& fitted) {
    CandidateScore out;
    const OperatorTable operators = registry.operators();
    fitted.clear();
    double error = 0.0;
    if (config.refine_constants && candidate.num_params != 0) {
        out.refined = true;
        const RefinedError refined =
            refine_values(candidate.tokens, rows, targets, config.alpha, config.l1_ratio, operators,
                          kSearchIterations, config.reuse_computed_values, fitted);
        // Refinement starts from the candidate's own constants, real as
        // composition and refinement leave them, and measures them the same
        // way: its starting error is the raw error. The plain way computes
        // the raw error on its own, which the tests compare against.
        error = config.reuse_computed_values
                    ? refined.start_error
                    : compute_raw_error(candidate, rows, targets, operators, config.alpha,
                                        config.l1_ratio);
        if (refined.error < error)
            error = refined.error;
        else
            fitted.clear();
    } else {
        error = compute_raw_error(candidate, rows, targets, operators, config.alpha, config.l1_ratio);
    }
    if (!std::isfinite(error)) return std::nullopt;
    out.score = error * complexity_factor(candidate.complexity(), config.complexity_penalty);
    return out;
}

std::optional<ScoredExpression> score_candidate(const Expression& candidate, const Samples& rows,
                                                std::span<const double> targets,
                                                const SearchConfig& config,
                                                const OperatorRegistry& registry) {
    std::vector<double> fitted;
    auto scored = score_tokens(candidate, rows, targets, config, registry, fitted);
    if (!scored) return std::nullopt;
    ScoredExpression out{candidate, scored->score};
    if (!fitted.empty()) write_fitted(out.expression.tokens, fitted);
    return out;
}

}  // namespace vorn
