#include "engine/retention.hpp"

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

// Scores are finite in any sensible configuration; NaN (possible only with a
// negative complexity penalty) sorts last so that the order stays total.
bool score_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Ties broken by candidate index: the order a stable sort would give, on any
// thread count and with any sort algorithm.
auto by_score(std::span<const double> scores) {
    return [scores](std::uint32_t a, std::uint32_t b) {
        if (score_less(scores[a], scores[b])) return true;
        if (score_less(scores[b], scores[a])) return false;
        return a < b;
    };
}

}  // namespace

std::size_t elite_count(std::size_t beam_width) {
    return static_cast<std::size_t>(static_cast<double>(beam_width) * 0.8);
}

namespace retention_detail {

std::size_t sort_elite(std::span<const double> scores, std::vector<std::uint32_t>& scored,
                       std::size_t beam_width) {
    if (scored.size() <= beam_width) {
        std::sort(scored.begin(), scored.end(), by_score(scores));
        return scored.size();
    }
    const std::size_t elite = elite_count(beam_width);
    std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(elite), scored.end(),
                      by_score(scores));
    return elite;
}

std::vector<std::uint32_t> with_diversity(std::span<const double> scores,
                                          std::span<const std::uint32_t> scored, std::size_t elite,
                                          std::size_t diversity, const std::vector<std::uint32_t>& rarity) {
    // Everything past the elite is ranked by (rarity, score, candidate order).
    std::vector<std::uint32_t> positions(rarity.size());
    for (std::size_t j = 0; j < positions.size(); ++j) positions[j] = static_cast<std::uint32_t>(j);
    const std::size_t take = std::min(diversity, positions.size());
    const auto score_order = by_score(scores);
    std::partial_sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(take),
                      positions.end(), [&](std::uint32_t a, std::uint32_t b) {
                          if (rarity[a] != rarity[b]) return rarity[a] < rarity[b];
                          return score_order(scored[elite + a], scored[elite + b]);
                      });
    std::vector<std::uint32_t> keep;
    keep.reserve(elite + take);
    keep.assign(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(elite));
    for (std::size_t j = 0; j < take; ++j) keep.push_back(scored[elite + positions[j]]);
    return keep;
}

}  // namespace retention_detail

}  // namespace vorn
