#pragma once

#include <vector>

#include "core/config.hpp"
#include "core/samples.hpp"
#include "core/outcome.hpp"
#include "engine/bfs.hpp"
#include "result/search_result.hpp"

namespace vorn {

// The library-level entry object: one configuration, fixed at construction,
// and the search operations. Each operation is one independent search,
// steered by `control` (stop predicate, progress sink, time budget).
class Searcher {
public:
    Searcher() = default;
    explicit Searcher(SearchConfig config) : config_(config) {}

    const SearchConfig& config() const { return config_; }

    // One input variable: row i is [xs[i]]. xs becomes the samples' block
    // itself, so a caller that moves it in has it used without a copy.
    Outcome<SearchResult> find_function(std::vector<double> xs,
                                        const std::vector<double>& ys,
                                        const RunControl& control = {}) const;
    // Row i holds x0, x1, ... of sample i.
    Outcome<SearchResult> find_multivariate(const Samples& rows,
                                            const std::vector<double>& ys,
                                            const RunControl& control = {}) const;
    // The whole Pareto front of an exhaustive search, lowest error first.
    Outcome<std::vector<SearchResult>> find_candidates(const Samples& rows,
                                                       const std::vector<double>& ys,
                                                       const RunControl& control = {}) const;
    // A formula whose value (with its one variable at 0) is `value`: a closed
    // form of the operators when the closed-form search finds one (formulas
    // of up to max_complexity tokens, and joins of two of them by one binary
    // operator), otherwise a formula with fitted constants. The whole call is
    // budgeted to control.time_budget, 4.5 s when that is not set.
    Outcome<SearchResult> recognize_constant(double value,
                                             const RunControl& control = {}) const;

    // The search of find_multivariate (early exit included) with everything it
    // found: the Pareto-optimal formulas lowest error first (the first is
    // find_multivariate's answer), how many levels finished and whether the
    // time budget ended it.
    struct Front {
        std::vector<SearchResult> results;
        std::size_t levels_finished = 0;
        bool budget_exhausted = false;
    };
    Outcome<Front> find_front(const Samples& rows,
                              const std::vector<double>& ys, const RunControl& control = {}) const;

private:
    SearchConfig config_;
};

}  // namespace vorn
