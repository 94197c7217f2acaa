#include "lib.hpp"

#include <algorithm>
#include <cmath>

#include "engine/bfs.hpp"

namespace vorn {

namespace {

// Relative distance within which a closed form is taken to be the value.
constexpr double kClosedFormTolerance = 1e-12;

Outcome<SearchResult> first_of(Outcome<std::vector<SearchResult>> outcome) {
    if (!outcome) return outcome.error();
    return std::move(outcome.value().front());
}

}  // namespace

Outcome<SearchResult> Searcher::find_function(const std::vector<double>& xs,
                                              const std::vector<double>& ys,
                                              const RunControl& control) const {
    std::vector<std::vector<double>> rows;
    rows.reserve(xs.size());
    for (const double x : xs) rows.push_back({x});
    return first_of(run_bfs(rows, ys, config_, nullptr, control));
}

Outcome<SearchResult> Searcher::find_multivariate(const std::vector<std::vector<double>>& rows,
                                                  const std::vector<double>& ys,
                                                  const RunControl& control) const {
    return first_of(run_bfs(rows, ys, config_, nullptr, control));
}

Outcome<std::vector<SearchResult>> Searcher::find_candidates(
    const std::vector<std::vector<double>>& rows, const std::vector<double>& ys,
    const RunControl& control) const {
    SearchConfig exhaustive = config_;
    exhaustive.exhaustive = true;
    return run_bfs(rows, ys, exhaustive, nullptr, control);
}

Outcome<SearchResult> Searcher::recognize_constant(double value,
                                                   const RunControl& control) const {
    const std::vector<std::vector<double>> rows{{0.0}};
    const std::vector<double> targets{value};
    // First look for a closed form: without the constant leaf, the only leaf
    // is the variable, which reads 0 here. Among millions of formulas some
    // land within 1e-5 of any number by coincidence, so only a match to
    // within rounding (relative 1e-12) counts as a closed form, and the search
    // goes on past coincidences instead of stopping at them.
    const double tolerance = kClosedFormTolerance * std::max(1.0, std::fabs(value));
    SearchConfig closed_form = config_;
    closed_form.seed_constant_leaf = false;
    closed_form.early_exit_threshold = tolerance * tolerance;
    auto exact = first_of(run_bfs(rows, targets, closed_form, nullptr, control));
    if (exact && exact.value().error <= closed_form.early_exit_threshold) return exact;
    if (!exact && exact.error().kind == EngineError::Kind::Interrupted) return exact;
    // Otherwise a fitted constant still gives every value an answer.
    return first_of(run_bfs(rows, targets, config_, nullptr, control));
}

Outcome<Searcher::Front> Searcher::find_front(const std::vector<std::vector<double>>& rows,
                                              const std::vector<double>& ys,
                                              const RunControl& control) const {
    SearchStats stats;
    auto outcome = run_bfs(rows, ys, config_, &stats, control);
    if (!outcome) return outcome.error();
    return Front{std::move(outcome).value(), stats.levels_finished, stats.budget_exhausted};
}

}  // namespace vorn
