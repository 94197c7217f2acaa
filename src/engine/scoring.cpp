#include "engine/scoring.hpp"

#include <cmath>

#include "engine/constant_fitting.hpp"
#include "engine/optimizer.hpp"
#include "eval/error_measure.hpp"
#include "eval/interpreter.hpp"
#include "ops/registry.hpp"

namespace vorn {

namespace {

constexpr std::size_t kSearchIterations = 10;
constexpr std::size_t kSearchLmIterations = 20;
constexpr std::size_t kSearchLmStarts = 3;
constexpr std::size_t kCheapLmIterations = 6;

// The formula's value at a data row, or none where it has none. Evaluation
// limits every operator's value; a leaf is not limited by it, so the bound is
// applied here.
std::optional<Complex> value_at_row(const CompiledFormula& formula, std::span<const double> row,
                                    std::vector<Complex>& stack) {
    const auto v = formula.eval(row, {}, stack);
    if (!v || !within_value_limit(*v)) return std::nullopt;
    return v;
}

// The error of the candidate with fitted constants after the best scale and
// offset of its values, or of their reciprocals (whichever is lower).
double scaled_error_of(const Expression& candidate, std::span<const double> fitted, const Samples& rows,
                       std::span<const double> targets, OperatorTable operators) {
    thread_local EvalScratch scratch;
    thread_local std::vector<Complex> params;
    params.clear();
    if (fitted.empty()) {
        for (const Token& t : candidate.tokens)
            if (t.kind == TokenKind::Param) params.push_back(t.value);
    } else {
        for (const double p : fitted) params.push_back(Complex{p, 0.0});
    }
    scratch.formula.compile(candidate.tokens, operators);
    return scaled_mse(
               [&](std::size_t k) -> std::optional<Complex> {
                   const auto v = scratch.formula.eval(rows.row(k), params, scratch.stack);
                   if (!v || !within_value_limit(*v)) return std::nullopt;
                   return v;
               },
               targets)
        .rank_error();
}

// C·f + C around the candidate's tokens, its constants fitted together with
// the scale and offset: the error of the best scaled form of the structure.
double jointly_scaled_error(const Expression& candidate, std::span<const double> fitted, const Samples& rows,
                            std::span<const double> targets, const SearchConfig& config,
                            OperatorTable operators) {
    thread_local std::vector<Token> wrapped;
    thread_local std::vector<double> values;
    // Slots are 8-bit: two more constants must fit.
    if (candidate.num_params > 253) return std::numeric_limits<double>::infinity();
    wrapped.clear();
    wrapped.push_back(Token::param(0, Complex{1.0, 0.0}));
    std::size_t j = 0;
    for (Token t : candidate.tokens) {
        if (t.kind == TokenKind::Param) {
            if (!fitted.empty()) t.value = Complex{fitted[j], 0.0};
            t.param_slot = static_cast<std::uint8_t>(t.param_slot + 1);
            ++j;
        }
        wrapped.push_back(t);
    }
    wrapped.push_back(Token::op(2, op_ids::Times));
    wrapped.push_back(Token::param(static_cast<std::uint8_t>(j + 1), Complex{0.0, 0.0}));
    wrapped.push_back(Token::op(2, op_ids::Plus));
    const FitBudget budget{kSearchLmIterations, 1, exact_error_of(targets)};
    values.clear();
    for (const Token& t : wrapped)
        if (t.kind == TokenKind::Param) values.push_back(t.value.re);
    return fit_values_lm(wrapped, rows, targets, config.alpha, config.l1_ratio, operators, budget.iterations,
                         value_source(config), budget.exact_error, values)
        .error;
}

}  // namespace

double compute_raw_error(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, OperatorTable operators, double alpha,
                         double l1_ratio, bool real_axis) {
    // One compiled formula per worker thread, reused for every candidate.
    thread_local EvalScratch scratch;
    thread_local std::vector<double> real_stack;
    scratch.formula.compile(expression.tokens, operators);
    const auto value = [&](std::size_t k) -> std::optional<Complex> {
        if (real_axis) {
            double v = 0.0;
            switch (scratch.formula.eval_real(rows.row(k), v, real_stack)) {
                case CompiledFormula::RealOutcome::Value:
                    if (!within_value_limit(Complex{v, 0.0})) return std::nullopt;
                    return Complex{v, 0.0};
                case CompiledFormula::RealOutcome::Undefined:
                    return std::nullopt;
                case CompiledFormula::RealOutcome::OffAxis:
                    break;
            }
        }
        return value_at_row(scratch.formula, rows.row(k), scratch.stack);
    };
    return mse(value, targets, penalty(expression.tokens, {}, alpha, l1_ratio));
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
                      double alpha, double l1_ratio, bool real_axis) {
    const double error = compute_raw_error(expression, rows, targets, operators, alpha, l1_ratio, real_axis);
    if (std::isfinite(error)) update_pareto(front, expression, error);
}

std::optional<CandidateScore> score_tokens(const Expression& candidate, const Samples& rows,
                                           std::span<const double> targets,
                                           const SearchConfig& config,
                                           const OperatorRegistry& registry,
                                           std::vector<double>& fitted, bool thorough) {
    CandidateScore out;
    const OperatorTable operators = registry.operators();
    fitted.clear();
    double error = 0.0;
    if (config.refine_constants && candidate.num_params != 0 &&
        config.engine.fit == FitMethod::LevenbergMarquardt) {
        out.refined = true;
        const FitBudget budget = thorough ? FitBudget{kSearchLmIterations, kSearchLmStarts, exact_error_of(targets)}
                                          : FitBudget{kCheapLmIterations, kSearchLmStarts, exact_error_of(targets), true};
        const RefinedError fit = fit_constants_lm(candidate.tokens, rows, targets, config.alpha, config.l1_ratio,
                                                  operators, value_source(config), budget, fitted);
        error = fit.start_error;
        if (fit.error < error)
            error = fit.error;
        else
            fitted.clear();
        if (config.engine.scaled_ranking && std::isfinite(error)) {
            out.scaled_error = scaled_error_of(candidate, fitted, rows, targets, operators);
            if (thorough)
                out.scaled_error =
                    std::min(out.scaled_error, jointly_scaled_error(candidate, fitted, rows, targets, config, operators));
        }
    } else if (config.refine_constants && candidate.num_params != 0) {
        out.refined = true;
        const RefinedError refined =
            refine_values(candidate.tokens, rows, targets, config.alpha, config.l1_ratio, operators,
                          kSearchIterations, value_source(config), fitted);
        // Refinement starts from the candidate's own constants, real as
        // composition and refinement leave them, and measures them the same
        // way: its starting error is the raw error. The plain way computes
        // the raw error on its own, which the tests compare against.
        error = config.reuse_computed_values
                    ? refined.start_error
                    : compute_raw_error(candidate, rows, targets, operators, config.alpha,
                                        config.l1_ratio, config.real_fast_path);
        if (refined.error < error)
            error = refined.error;
        else
            fitted.clear();
    } else {
        error = compute_raw_error(candidate, rows, targets, operators, config.alpha, config.l1_ratio,
                                  config.real_fast_path);
    }
    if (!std::isfinite(error)) return std::nullopt;
    out.score = error * complexity_factor(candidate.complexity(), config.complexity_penalty);
    return out;
}

std::optional<ScoredExpression> score_candidate(const Expression& candidate, const Samples& rows,
                                                std::span<const double> targets,
                                                const SearchConfig& config,
                                                const OperatorRegistry& registry, bool thorough) {
    std::vector<double> fitted;
    auto scored = score_tokens(candidate, rows, targets, config, registry, fitted, thorough);
    if (!scored) return std::nullopt;
    ScoredExpression out{candidate, scored->score};
    if (!fitted.empty()) write_fitted(out.expression.tokens, fitted);
    return out;
}

}  // namespace vorn
