#pragma once

#include "engine/pareto.hpp"

namespace vorn {

// True when the search may stop: not exhaustive and some front entry has an
// error at or below `threshold` (NaN never qualifies).
inline bool check_early_exit(const ParetoFront& front, bool exhaustive, double threshold) {
    if (exhaustive) return false;
    return front.any_error_at_most(threshold);
}

}  // namespace vorn
