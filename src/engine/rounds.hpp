#pragma once

#include <cstddef>
#include <vector>

#include "core/config.hpp"

namespace vorn {

// One pass of the search over the levels.
struct Round {
    std::size_t beam;
    bool constants;  // whether level 1 holds the constant leaf
};

// The rounds over the levels: one at beam_width, or rounds whose beams grow
// geometrically from first_round_beam to beam_width, so that an answer from
// the narrow, deep rounds is there early and the wide ones add what a narrow
// beam dropped. A constant-free first round goes deepest fastest: without the
// constant leaf every candidate is scored from its operands' stored values,
// and scaled ranking still gives each formula its scale and offset.
std::vector<Round> round_plan(const SearchConfig& config);

}  // namespace vorn
