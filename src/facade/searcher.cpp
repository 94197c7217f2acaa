#include "facade/searcher.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "engine/bfs.hpp"
#include "engine/closed_form.hpp"

namespace vorn {

namespace {

// The whole of one recognize_constant call unless the caller sets its own:
// "what is this number" is asked interactively, so a number without a closed
// form must still get its fitted answer in a few seconds. The closed-form
// search may take this share of it; the fitted-constant search, which at the
// default settings finishes in milliseconds, gets the rest.
constexpr std::chrono::milliseconds kRecognizeBudget{4500};
constexpr double kClosedFormShare = 0.6;

Outcome<SearchResult> first_of(Outcome<std::vector<SearchResult>> outcome) {
    if (!outcome) return outcome.error();
    return std::move(outcome.value().front());
}

}  // namespace

Outcome<SearchResult> Searcher::find_function(std::vector<double> xs,
                                              const std::vector<double>& ys,
                                              const RunControl& control) const {
    const std::size_t rows = xs.size();
    return first_of(run_bfs(Samples::matrix(std::move(xs), rows, 1), ys, config_, nullptr, control));
}

Outcome<SearchResult> Searcher::find_multivariate(const Samples& rows,
                                                  const std::vector<double>& ys,
                                                  const RunControl& control) const {
    return first_of(run_bfs(rows, ys, config_, nullptr, control));
}

Outcome<std::vector<SearchResult>> Searcher::find_candidates(
    const Samples& rows, const std::vector<double>& ys,
    const RunControl& control) const {
    SearchConfig exhaustive = config_;
    exhaustive.exhaustive = true;
    return run_bfs(rows, ys, exhaustive, nullptr, control);
}

Outcome<SearchResult> Searcher::recognize_constant(double value,
                                                   const RunControl& control) const {
    const auto start = StopSignal::Clock::now();
    const std::chrono::nanoseconds budget = control.time_budget.value_or(kRecognizeBudget);
    // First a closed form of the operators alone, the variable reading 0. No
    // composition reaches the value limit, nor NaN or infinity, so those go
    // straight to the fitted constant.
    if (std::isfinite(value) && std::fabs(value) < kValueLimit) {
        RunControl closed = control;
        closed.time_budget = std::chrono::duration_cast<std::chrono::nanoseconds>(budget * kClosedFormShare);
        auto found = find_closed_form(value, config_, closed_form_settings(config_), closed);
        if (!found) return found.error();
        if (found.value()) return std::move(*found.value());
    }
    // Otherwise a fitted constant still gives every value an answer, within
    // what is left of the call's budget.
    RunControl fitted = control;
    fitted.time_budget = std::max(std::chrono::nanoseconds{0}, budget - (StopSignal::Clock::now() - start));
    const Samples rows{{0.0}};
    const std::vector<double> targets{value};
    return first_of(run_bfs(rows, targets, config_, nullptr, fitted));
}

Outcome<Searcher::Front> Searcher::find_front(const Samples& rows,
                                              const std::vector<double>& ys,
                                              const RunControl& control) const {
    SearchStats stats;
    auto outcome = run_bfs(rows, ys, config_, &stats, control);
    if (!outcome) return outcome.error();
    return Front{std::move(outcome).value(), stats.levels_finished, stats.budget_exhausted};
}

}  // namespace vorn
