#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// How constants are fitted.
enum class FitMethod : std::uint8_t {
    // Gauss-Newton on the diagonal of JᵀJ from the inherited constants, with
    // an absolute stopping tolerance: the level search's own fitting.
    DiagonalGaussNewton,
    // Levenberg–Marquardt on the full JᵀJ with a relative stopping test,
    // from several starts, spending most iterations on the candidates that
    // can still enter the beam.
    LevenbergMarquardt,
};

// Every operator of the built-in table, one bit per op id.
inline constexpr std::uint32_t kAllOperators = (std::uint32_t{1} << 23) - 1;

// Settings of the estimator's strategies, grouped apart from the level
// search's own. Their defaults are the level search's behaviour, so a search
// that leaves them alone finds exactly what Searcher finds.
struct EngineSettings {
    // The operators generation may apply, one bit per op id. Ids stay those
    // of the built-in table, so formulas keep their meaning.
    std::uint32_t operator_mask = kAllOperators;
    FitMethod fit = FitMethod::DiagonalGaussNewton;
    // When positive, the early stop compares the error with this times
    // mean(y²) instead of early_exit_threshold, so a law with tiny values is
    // found as one with values near 1 is.
    double relative_exit_threshold = 0.0;
    // The beam ranks a formula without constants of its own by its error
    // after the best scale and offset, so a structure that is right up to a
    // factor survives; the best such scaled formula of each level, its scale
    // and offset made explicit constants, is offered to the front.
    bool scaled_ranking = false;
    // Beam widths of successive rounds over the levels, each round a fresh
    // search that adds to one front; none (zero) means one round at
    // beam_width. Rounds end at the first exact fit or at the time budget.
    std::size_t deepening_rounds = 0;
    std::size_t first_round_beam = 0;
    // Whether the rounds start with one more, without the constant leaf.
    bool constant_free_round = false;
    // Before the levels, offer the front the monomials C·∏ xᵢ^eᵢ that a
    // least-squares fit of log|y| on log xᵢ suggests (exponents in halves).
    bool power_laws = false;

    bool is_default() const {
        return operator_mask == kAllOperators && fit == FitMethod::DiagonalGaussNewton &&
               relative_exit_threshold == 0.0 && !scaled_ranking && deepening_rounds == 0 && !power_laws &&
               !constant_free_round;
    }
};

// Everything that tells the engine how to search. A plain value: copies are
// independent, and per-call overrides always go to a copy.
struct SearchConfig {
    std::size_t max_complexity = 10;
    std::size_t beam_width = 1000;
    double complexity_penalty = 0.1;
    double alpha = 0.0;
    double l1_ratio = 0.5;
    double early_exit_threshold = 1e-10;
    bool exhaustive = false;
    bool refine_constants = true;
    // Whether level 1 holds the tunable-constant leaf. Without it every formula
    // is a closed form of the operators. (recognize_constant looks for closed
    // forms of a single number with a search of its own, by value.)
    bool seed_constant_leaf = true;
    // Whether the search reuses values it has already computed (stored
    // operand values, the refinement tape). Results are identical either way;
    // off is the plain evaluation that the tests compare against.
    bool reuse_computed_values = true;
    // Memory for the retained expressions' values at the data rows, over all
    // levels; levels beyond it are scored by evaluating candidates whole.
    std::size_t row_value_budget_bytes = std::size_t{512} << 20;
    // Whether values that stay on the real axis (imaginary parts zero) are
    // computed and stored as real numbers. Results are identical either way;
    // off keeps every value complex, which the tests compare against.
    bool real_fast_path = true;
    // Settings beyond the level search; the Searcher facade leaves them be.
    EngineSettings engine{};
};

}  // namespace vorn
