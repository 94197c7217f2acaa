#include "engine/rounds.hpp"

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

constexpr std::size_t kConstantFreeWidthFactor = 4;

}  // namespace

std::vector<Round> round_plan(const SearchConfig& config) {
    const EngineSettings& e = config.engine;
    if (e.deepening_rounds <= 1 || e.first_round_beam == 0 || e.first_round_beam >= config.beam_width)
        return {{config.beam_width, true}};
    std::vector<Round> rounds;
    if (e.constant_free_round)
        rounds.push_back({std::min(config.beam_width, kConstantFreeWidthFactor * e.first_round_beam), false});
    const double first = static_cast<double>(e.first_round_beam);
    const double ratio = static_cast<double>(config.beam_width) / first;
    for (std::size_t r = 0; r < e.deepening_rounds; ++r) {
        const double t = static_cast<double>(r) / static_cast<double>(e.deepening_rounds - 1);
        rounds.push_back({static_cast<std::size_t>(std::llround(first * std::pow(ratio, t))), true});
    }
    rounds.back().beam = config.beam_width;
    return rounds;
}

}  // namespace vorn
