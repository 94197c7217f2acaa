#include "engine/final_selection.hpp"

#include <algorithm>
#include <limits>

#include "engine/constant_fitting.hpp"
#include "engine/optimizer.hpp"

namespace vorn {

namespace {
constexpr std::size_t kFinalIterations = 30;
constexpr std::size_t kFinalLmIterations = 100;
constexpr std::size_t kFinalLmStarts = 3;

// The front's formula with its constants fitted once more by
// Levenberg–Marquardt; the entry's own constants stay when no start beats
// them. Either way the error is that of the returned constants.
Refined refit_lm(const Expression& expression, const SearchConfig& config, const Samples& rows,
                 std::span<const double> targets, const OperatorRegistry& registry) {
    std::vector<double> fitted;
    const FitBudget budget{kFinalLmIterations, kFinalLmStarts, exact_error_of(targets)};
    const RefinedError fit = fit_constants_lm(expression.tokens, rows, targets, config.alpha, config.l1_ratio,
                                              registry.operators(), value_source(config), budget, fitted);
    Refined out{expression, fit.start_error};
    if (fit.error < fit.start_error) {
        write_fitted(out.expression.tokens, fitted);
        out.error = fit.error;
    }
    return out;
}
}

Outcome<std::vector<SearchResult>> finalize_result(const ParetoFront& front,
                                                   std::shared_ptr<const OperatorRegistry> registry,
                                                   const SearchConfig& config, const Samples& rows,
                                                   std::span<const double> targets,
                                                   StopSignal* stop) {
    // Working on a snapshot leaves the front itself as it was.
    const auto entries = front.snapshot();
    if (entries.empty()) return EngineError::no_formula(config.max_complexity);

    std::vector<SearchResult> results;
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [complexity, entry] : entries) {
        Expression expression = entry.expression;
        double error = entry.error;
        if (expression.num_params != 0 && config.refine_constants) {
            if (stop && stop->check_now()) return EngineError::interrupted();
            Refined refined =
                config.engine.fit == FitMethod::LevenbergMarquardt
                    ? refit_lm(expression, config, rows, targets, *registry)
                    : refine_constants(expression, rows, targets, config.alpha,
                                               config.l1_ratio, *registry, kFinalIterations,
                                               value_source(config));
            expression = std::move(refined.expression);
            error = refined.error;
        }
        if (error < best) {
            best = error;
            results.push_back(SearchResult{std::move(expression), registry, error});
        }
    }
    // Only reachable when stored errors are NaN (a negative complexity penalty
    // can make the recovered error 0/0): report it rather than return nothing.
    if (results.empty()) return EngineError::no_formula(config.max_complexity);
    std::reverse(results.begin(), results.end());
    return results;
}

}  // namespace vorn
