#include "eval/interpreter.hpp"
#include "engine/scoring.hpp"

#include <cmath>
#include <limits>

#include "engine/optimizer.hpp"

namespace vorn {

namespace {
constexpr std::size_t kSearchIterations = 10;
}

namespace {

// The penalty's L1 and L2 sums over RealConst and Param values, in token order.
void add_constants(std::span<const Token> tokens, double& l1, double& l2) {
    for (const Token& t : tokens) {
        if (t.kind != TokenKind::RealConst && t.kind != TokenKind::Param) continue;
        l1 += std::fabs(t.value.re);
        l2 += t.value.re * t.value.re;
    }
}

}  // namespace

double compute_raw_error(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, OperatorTable operators, double alpha,
                         double l1_ratio) {
    thread_local EvalScratch scratch;
    scratch.formula.compile(expression.tokens, operators);
    double sum = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const auto v = scratch.formula.eval(rows.row(k), {}, scratch.stack);
        // Leaves are not limited by evaluation, so the bound is applied here.
        if (!v || !within_value_limit(*v)) return std::numeric_limits<double>::infinity();
        const double diff = v->re - targets[k];
        sum += diff * diff;
    }
    const double mse = sum / static_cast<double>(targets.size());
    double l1 = 0.0, l2 = 0.0;
    add_constants(expression.tokens, l1, l2);
    return mse + elastic_net_penalty(alpha, l1_ratio, l1, l2);
}

double composed_raw_error(const OperatorCall& op, const OperandValues& left,
                          const OperandValues& right, std::span<const Token> left_tokens,
                          std::span<const Token> right_tokens, std::span<const double> targets,
                          double alpha, double l1_ratio) {
    double sum = 0.0;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const auto v = composed_value(op, left, right, k);
        if (!v) return std::numeric_limits<double>::infinity();
        const double diff = v->re - targets[k];
        sum += diff * diff;
    }
    const double mse = sum / static_cast<double>(targets.size());
    double l1 = 0.0, l2 = 0.0;
    add_constants(left_tokens, l1, l2);
    add_constants(right_tokens, l1, l2);
    return mse + elastic_net_penalty(alpha, l1_ratio, l1, l2);
}

void score_and_update(const Expression& expression, const Samples& rows,
                      std::span<const double> targets, ParetoFront& front, OperatorTable operators,
                      double alpha, double l1_ratio) {
    const double error = compute_raw_error(expression, rows, targets, operators, alpha, l1_ratio);
    if (std::isfinite(error)) update_pareto(front, expression, error);
}

bool raw_error_is_start_error(std::span<const Token> tokens) {
    if (tokens.empty() || tokens.back().kind != TokenKind::Op) return false;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::RealConst) return false;
        if (t.kind == TokenKind::Param && (t.value.im != 0.0 || std::signbit(t.value.im))) return false;
    }
    return true;
}

std::optional<CandidateScore> score_tokens(const Expression& candidate, const Samples& rows,
                                           std::span<const double> targets,
                                           const SearchConfig& config,
                                           const OperatorRegistry& registry,
                                           std::vector<double>& fitted) {
    CandidateScore out;
    const OperatorTable operators = registry.operators();
    const bool refine = config.refine_constants && candidate.num_params != 0;
    // Refinement starts by computing the raw error again; where the two are
    // the same computation, its starting error serves as the raw error.
    const bool shared_start = refine && config.reuse_computed_values &&
                              raw_error_is_start_error(candidate.tokens);
    double error = shared_start ? 0.0
                                : compute_raw_error(candidate, rows, targets, operators,
                                                    config.alpha, config.l1_ratio);
    fitted.clear();
    if (refine) {
        out.refined = true;
        const RefinedError refined =
            refine_values(candidate.tokens, rows, targets, config.alpha, config.l1_ratio, operators,
                          kSearchIterations, config.reuse_computed_values, fitted);
        if (shared_start) error = refined.start_error;
        if (refined.error < error)
            error = refined.error;
        else
            fitted.clear();
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
    if (!fitted.empty()) {
        std::size_t j = 0;
        for (Token& t : out.expression.tokens)
            if (t.kind == TokenKind::Param) t.value = Complex{fitted[j++], 0.0};
    }
    return out;
}

}  // namespace vorn
