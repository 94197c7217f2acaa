#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/parallel.hpp"

namespace vorn {

// elite = trunc(0.8 × beam_width); the rest of the beam is the diversity share.
std::size_t elite_count(std::size_t beam_width);

namespace retention_detail {

// Puts the beam's elite, by score, at the front of `scored` (all of it when it
// fits the beam) and returns its size.
std::size_t sort_elite(std::span<const double> scores, std::vector<std::uint32_t>& scored,
                       std::size_t beam_width);

// How many of the elite share each skeleton hash. A hash table: a binary
// search over the sorted elite took two to three times as long per lookup
// (its branches are unpredictable).
class SkeletonCounts {
public:
    void add(std::uint64_t hash) { ++counts_[hash]; }
    std::uint32_t count(std::uint64_t hash) const {
        const auto it = counts_.find(hash);
        return it == counts_.end() ? 0 : it->second;
    }

private:
    std::unordered_map<std::uint64_t, std::uint32_t> counts_;
};

// The elite followed by the `diversity` best of the rest by (rarity, score,
// candidate order); `rarity[j]` belongs to scored[elite + j].
std::vector<std::uint32_t> with_diversity(std::span<const double> scores,
                                          std::span<const std::uint32_t> scored, std::size_t elite,
                                          std::size_t diversity, const std::vector<std::uint32_t>& rarity);

}  // namespace retention_detail

// Chooses the beam of one level. `scores` holds the score of every candidate
// (by candidate index); `scored` the indices of the candidates that were not
// dropped, in candidate order; `skeleton_of(i)` the 64-bit hash of candidate
// i's operator skeleton. Returns the retained candidate indices in beam order:
// all of them by score when they fit, otherwise the elite by score followed by
// the diversity share, whose skeletons are rarest among the elite (better
// score first among equally rare ones). Equal scores keep candidate order, as
// a stable sort would.
template <class SkeletonOf>
std::vector<std::uint32_t> select_beam(std::span<const double> scores, std::vector<std::uint32_t> scored,
                                       std::size_t beam_width, const SkeletonOf& skeleton_of) {
    const std::size_t elite = retention_detail::sort_elite(scores, scored, beam_width);
    if (scored.size() <= beam_width) return scored;

    retention_detail::SkeletonCounts counts;
    for (std::size_t j = 0; j < elite; ++j) counts.add(skeleton_of(scored[j]));
    // The rest can be millions of candidates: the lookups run in parallel.
    std::vector<std::uint32_t> rarity(scored.size() - elite);
    parallel_for(rarity.size(), 256,
                 [&](std::size_t j) { rarity[j] = counts.count(skeleton_of(scored[elite + j])); });
    return retention_detail::with_diversity(scores, scored, elite, beam_width - elite, rarity);
}

}  // namespace vorn
