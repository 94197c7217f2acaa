#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/expression.hpp"
#include "engine/level_stats.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Bumped whenever the layout below changes; older readers refuse newer bytes.
inline constexpr std::uint16_t kCheckpointFormatVersion = 1;

// The state of a search after a finished level, enough to continue it with
// the result of a search that never stopped. A level depends only on the
// data, the settings, the levels kept before it and the fingerprints seen so
// far; the fingerprints are not stored but rebuilt by replaying generation
// over the kept levels, which is deterministic and far smaller on disk.
struct SearchCheckpoint {
    struct FrontEntry {
        double error = 0.0;
        Expression expression;
    };

    std::size_t max_complexity = 0;  // of the search that wrote it
    std::size_t rounds = 1;          // how many rounds its strategy plans
    std::size_t round = 0;           // the round in progress
    std::size_t level = 1;           // the last finished level of that round
    std::size_t levels_finished = 1; // the highest level finished in any round
    std::size_t n_vars = 0;
    // levels[k] holds level k's kept formulas (index 0 is unused), for the
    // round in progress only: a new round starts from the seeds.
    std::vector<std::vector<Expression>> levels;
    std::vector<FrontEntry> front;   // ascending complexity
    std::vector<LevelStats> counters;  // per level, summed over the rounds so far
};

std::string encode_checkpoint(const SearchCheckpoint& checkpoint);

// Reads what encode_checkpoint wrote, checking every field: formulas are
// well formed, kept formulas have their level's complexity, variables are
// those of the data. Anything else leaves `problem` saying what is wrong.
std::optional<SearchCheckpoint> decode_checkpoint(std::span<const std::uint8_t> bytes,
                                                  const OperatorRegistry& registry, std::string& problem);

// Why a search under `config` over `n_vars` features cannot continue from
// the checkpoint, or nothing when it can. A larger or smaller
// max_complexity is fine while the state is one the new search passes
// through too: within the first round, up to a level it still runs.
std::optional<std::string> resume_problem(const SearchCheckpoint& checkpoint, const SearchConfig& config,
                                          std::size_t n_vars);

}  // namespace vorn
