#pragma once

#include <vector>

#include "config.hpp"
#include "engine/stop.hpp"
#include "result.hpp"

namespace vorn {

// The library-level entry object: one configuration, fixed at construction,
// and the four search operations. Each operation is one independent search;
// `should_stop` is asked on the calling thread while it runs, and a search it
// stops returns the Interrupted error.
class Searcher {
public:
    Searcher() = default;
    explicit Searcher(SearchConfig config) : config_(config) {}

    const SearchConfig& config() const { return config_; }

    // One input variable: row i is [xs[i]].
    Outcome<SearchResult> find_function(const std::vector<double>& xs,
                                        const std::vector<double>& ys,
                                        const StopPredicate& should_stop = {}) const;
    // Row i holds x0, x1, ... of sample i.
    Outcome<SearchResult> find_multivariate(const std::vector<std::vector<double>>& rows,
                                            const std::vector<double>& ys,
                                            const StopPredicate& should_stop = {}) const;
    // The whole Pareto front of an exhaustive search, lowest error first.
    Outcome<std::vector<SearchResult>> find_candidates(const std::vector<std::vector<double>>& rows,
                                                       const std::vector<double>& ys,
                                                       const StopPredicate& should_stop = {}) const;
    // A formula whose value (with its one variable at 0) is `value`: a closed
    // form of the operators when one exists within the configured complexity,
    // otherwise a formula with fitted constants.
    Outcome<SearchResult> recognize_constant(double value,
                                             const StopPredicate& should_stop = {}) const;

private:
    SearchConfig config_;
};

}  // namespace vorn
