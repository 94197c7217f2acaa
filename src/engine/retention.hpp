#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vorn {

// elite = trunc(0.8 × beam_width); the rest of the beam is the diversity share.
std::size_t elite_count(std::size_t beam_width);

// Chooses the beam of one level. `scores` holds the score of every candidate
// (by candidate index); `scored` the indices of the candidates that were not
// dropped, in candidate order. Returns the retained candidate indices in beam
// order: all of them by score when they fit, otherwise the elite by score
// followed by the diversity share, whose skeletons are rarest among the elite
// (better score first among equally rare ones). Equal scores keep candidate
// order, as a stable sort would.
std::vector<std::uint32_t> select_beam(std::span<const double> scores,
                                       std::vector<std::uint32_t> scored, std::size_t beam_width,
                                       const std::function<std::string(std::uint32_t)>& skeleton_of);

}  // namespace vorn
