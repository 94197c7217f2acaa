#include "engine/scoring_pass.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/generate.hpp"
#include "engine/scoring.hpp"
#include "eval/error_measure.hpp"

namespace vorn {

namespace {

// The raw error of a candidate from its operands' values at the rows; none
// when those are not stored. With `scaled`, also its error after the best
// scale and offset.
std::optional<double> raw_error_from_operands(const ScoringInputs& in, std::size_t k,
                                              const CandidateRef& candidate, const Expression& left,
                                              ScaledFit* scaled = nullptr) {
    const Level& left_level = in.levels[candidate.left_level];
    if (left_level.row_values.empty()) return std::nullopt;
    RowOperand right_values;
    std::span<const Token> right_tokens;
    if (candidate.arity == 2) {
        const Level& right_level = in.levels[candidate.right_level(k)];
        if (right_level.row_values.empty()) return std::nullopt;
        right_values = right_level.at_rows(candidate.right);
        right_tokens = right_level.expressions[candidate.right].tokens;
    }
    const OperatorCall op(*in.registry.operators()[candidate.op_id]);
    const RowOperand left_values = left_level.at_rows(candidate.left);
    const double error = composed_raw_error(op, left_values, right_values, left.tokens, right_tokens, in.targets,
                                            in.config.alpha, in.config.l1_ratio);
    if (scaled && std::isfinite(error)) {
        ComposedRows values(op, left_values, right_values, in.targets.size());
        *scaled = scaled_mse(values, in.targets);
    }
    return error;
}

}  // namespace

CandidateOutcome score_candidate_ref(const ScoringInputs& in, std::size_t k,
                                     const CandidateRef& candidate) {
    const SearchConfig& config = in.config;
    const Expression& left = in.levels[candidate.left_level].expressions[candidate.left];
    const Expression* right =
        candidate.arity == 2 ? &in.levels[candidate.right_level(k)].expressions[candidate.right] : nullptr;
    const bool has_constants_to_fit =
        config.refine_constants && (left.num_params != 0 || (right && right->num_params != 0));
    CandidateOutcome outcome;
    // Without constants to fit, the score is the raw error, which the
    // operands' stored values give for one operator per row.
    if (config.reuse_computed_values && !has_constants_to_fit) {
        ScaledFit scaled;
        const bool scaling = config.engine.scaled_ranking;
        if (const auto error = raw_error_from_operands(in, k, candidate, left, scaling ? &scaled : nullptr)) {
            if (!std::isfinite(*error)) return outcome;
            const double factor = complexity_factor(k, config.complexity_penalty);
            outcome.score = *error * factor;
            outcome.rank = outcome.score;
            if (scaling && scaled.rank_error() * factor < outcome.rank) outcome.rank = scaled.rank_error() * factor;
            outcome.has_score = true;
            return outcome;
        }
    }
    // Each worker thread reuses one candidate's buffers for every candidate
    // it scores.
    thread_local Expression formula;
    thread_local std::vector<double> fitted;
    candidate_tokens(candidate, k, in.levels, formula.tokens);
    formula.num_vars = left.num_vars;
    formula.num_params = left.num_params;
    if (right) {
        formula.num_vars = std::max(left.num_vars, right->num_vars);
        formula.num_params = static_cast<std::uint8_t>(left.num_params + right->num_params);
    }
    outcome.refined = config.refine_constants && formula.num_params != 0;
    const auto scored = score_tokens(formula, in.samples, in.targets, config, in.registry, fitted, in.thorough);
    if (!scored) return outcome;
    outcome.score = scored->score;
    outcome.rank = scored->score;
    const double scaled_rank = scored->scaled_error * complexity_factor(k, config.complexity_penalty);
    if (scaled_rank < outcome.rank) outcome.rank = scaled_rank;
    outcome.has_score = true;
    return outcome;
}

}  // namespace vorn
