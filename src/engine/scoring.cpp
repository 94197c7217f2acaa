#include "engine/scoring.hpp"

#include <cmath>
#include <limits>

#include "engine/optimizer.hpp"

namespace vorn {

namespace {
constexpr std::size_t kSearchIterations = 10;
}

double compute_raw_error(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, OperatorTable operators, double alpha,
                         double l1_ratio) {
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    double sum = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        stack.clear();
        const auto v = eval_internal(expression.tokens, rows.row(k), {}, operators, stack);
        // Leaves are not limited by evaluation, so the bound is applied here.
        if (!v || !within_value_limit(*v)) return std::numeric_limits<double>::infinity();
        const double diff = v->re - targets[k];
        sum += diff * diff;
    }
    const double mse = sum / static_cast<double>(targets.size());
    double l1 = 0.0, l2 = 0.0;
    for (const Token& t : expression.tokens) {
        if (t.kind != TokenKind::RealConst && t.kind != TokenKind::Param) continue;
        l1 += std::fabs(t.value.re);
        l2 += t.value.re * t.value.re;
    }
    return mse + elastic_net_penalty(alpha, l1_ratio, l1, l2);
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
                                           const OperatorRegistry& registry) {
    CandidateScore out;
    double error = compute_raw_error(candidate, rows, targets, registry.operators(), config.alpha,
                                     config.l1_ratio);
    if (config.refine_constants && candidate.num_params != 0) {
        out.refined = true;
        Refined refined = refine_constants(candidate, rows, targets, config.alpha, config.l1_ratio,
                                           registry, kSearchIterations);
        if (refined.error < error) {
            error = refined.error;
            for (const Token& t : refined.expression.tokens)
                if (t.kind == TokenKind::Param) out.fitted.push_back(t.value.re);
        }
    }
    if (!std::isfinite(error)) return std::nullopt;
    out.score = error * complexity_factor(candidate.complexity, config.complexity_penalty);
    return out;
}

std::optional<ScoredExpression> score_candidate(const Expression& candidate, const Samples& rows,
                                                std::span<const double> targets,
                                                const SearchConfig& config,
                                                const OperatorRegistry& registry) {
    auto scored = score_tokens(candidate, rows, targets, config, registry);
    if (!scored) return std::nullopt;
    ScoredExpression out{candidate, scored->score};
    if (!scored->fitted.empty()) {
        std::size_t j = 0;
        for (Token& t : out.expression.tokens)
            if (t.kind == TokenKind::Param) t.value = Complex{scored->fitted[j++], 0.0};
    }
    return out;
}

}  // namespace vorn
