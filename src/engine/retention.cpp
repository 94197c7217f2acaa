#include "engine/retention.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "core/parallel.hpp"

namespace vorn {

namespace {

// Scores are finite in any sensible configuration; NaN (possible only with a
// negative complexity penalty) sorts last so that the order stays total.
bool score_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

}  // namespace

std::size_t elite_count(std::size_t beam_width) {
    return static_cast<std::size_t>(static_cast<double>(beam_width) * 0.8);
}

std::vector<std::uint32_t> select_beam(std::span<const double> scores,
                                       std::vector<std::uint32_t> scored, std::size_t beam_width,
                                       const std::function<std::string(std::uint32_t)>& skeleton_of) {
    // Ties broken by candidate index: the order a stable sort would give, on
    // any thread count and with any sort algorithm.
    const auto by_score = [&](std::uint32_t a, std::uint32_t b) {
        if (score_less(scores[a], scores[b])) return true;
        if (score_less(scores[b], scores[a])) return false;
        return a < b;
    };
    if (scored.size() <= beam_width) {
        std::sort(scored.begin(), scored.end(), by_score);
        return scored;
    }

    const std::size_t elite = elite_count(beam_width);
    const std::size_t diversity = beam_width - elite;
    const auto elite_end = scored.begin() + static_cast<std::ptrdiff_t>(elite);
    std::partial_sort(scored.begin(), elite_end, scored.end(), by_score);
    std::vector<std::uint32_t> keep(scored.begin(), elite_end);

    std::unordered_map<std::string, std::uint32_t> skeleton_counts;
    for (const std::uint32_t i : keep) ++skeleton_counts[skeleton_of(i)];

    // Everything past the elite is ranked by (rarity, score, candidate order).
    std::vector<std::uint32_t> rest(elite_end, scored.end());
    std::vector<std::uint32_t> rarity(rest.size(), 0);
    parallel_for(rest.size(), 256, [&](std::size_t j) {
        const auto it = skeleton_counts.find(skeleton_of(rest[j]));
        rarity[j] = it == skeleton_counts.end() ? 0 : it->second;
    });
    std::vector<std::uint32_t> positions(rest.size());
    for (std::size_t j = 0; j < rest.size(); ++j) positions[j] = static_cast<std::uint32_t>(j);
    const std::size_t take = std::min(diversity, rest.size());
    std::partial_sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(take),
                      positions.end(), [&](std::uint32_t a, std::uint32_t b) {
                          if (rarity[a] != rarity[b]) return rarity[a] < rarity[b];
                          return by_score(rest[a], rest[b]);
                      });
    for (std::size_t j = 0; j < take; ++j) keep.push_back(rest[positions[j]]);
    return keep;
}

}  // namespace vorn
