#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/value_levels.hpp"

namespace vorn {

// How the rest of a level's beam is spread, once the values nearest to the
// target are in. Joins need partners that are nowhere near the target, and
// later levels need the building blocks of the target, so the spread decides
// most of what the search can reach.
enum class SpreadRule : std::uint8_t {
    ValueLine,        // evenly spaced ranks of the values sorted by value
    Sample,           // a pseudo-random sample, by the hash of the value's key
    Generation,       // the first ones in generation order
    Popular,          // those the most compositions arrive at, then generation order
    RationalPopular,  // small rationals p/q, smallest q and |p| first, then as Popular
};

struct BeamRule {
    std::size_t width = 0;        // values kept per level
    double nearest_share = 0.25;  // of the width, the values nearest to the target
    SpreadRule spread = SpreadRule::RationalPopular;
};

// The beam of one level among its distinct values (ids into `candidates`, in
// generation order): the nearest to `target` and a spread of the rest, as
// `rule` says; all of them when they fit. Ties go to the earlier candidate.
// Returned in generation order.
std::vector<std::uint32_t> choose_beam(std::span<const ValueNode> candidates, const DistinctValues& distinct,
                                       Complex target, const BeamRule& rule, int key_bits);

}  // namespace vorn
