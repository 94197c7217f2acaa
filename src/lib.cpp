#include "lib.hpp"

#include "engine/bfs.hpp"

namespace vorn {

namespace {

Outcome<SearchResult> first_of(Outcome<std::vector<SearchResult>> outcome) {
    if (!outcome) return outcome.error();
    return std::move(outcome.value().front());
}

}  // namespace

Outcome<SearchResult> Searcher::find_function(const std::vector<double>& xs,
                                              const std::vector<double>& ys) const {
    std::vector<std::vector<double>> rows;
    rows.reserve(xs.size());
    for (const double x : xs) rows.push_back({x});
    return first_of(run_bfs(rows, ys, config_));
}

Outcome<SearchResult> Searcher::find_multivariate(const std::vector<std::vector<double>>& rows,
                                                  const std::vector<double>& ys) const {
    return first_of(run_bfs(rows, ys, config_));
}

Outcome<std::vector<SearchResult>> Searcher::find_candidates(
    const std::vector<std::vector<double>>& rows, const std::vector<double>& ys) const {
    SearchConfig exhaustive = config_;
    exhaustive.exhaustive = true;
    return run_bfs(rows, ys, exhaustive);
}

Outcome<SearchResult> Searcher::recognize_constant(double value) const {
    return first_of(run_bfs({{0.0}}, {value}, config_));
}

}  // namespace vorn
