#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/samples.hpp"
#include "core/outcome.hpp"
#include "engine/checkpoint.hpp"
#include "engine/level_scorer.hpp"
#include "engine/level_stats.hpp"
#include "engine/progress_sink.hpp"
#include "engine/stop.hpp"
#include "result/search_result.hpp"

namespace vorn {

// Work counters of one search, per level (index = complexity) and in total.
struct SearchStats {
    std::vector<LevelStats> levels;
    std::uint64_t fingerprints = 0;  // size of the fingerprint set at the end
    // The highest level whose work was complete (1: only the seeds), and
    // whether the time budget ended the search.
    std::size_t levels_finished = 0;
    bool budget_exhausted = false;
    LevelStats total() const;
};

// How a caller steers one search, beyond its settings.
struct RunControl {
    // Asked on the calling thread between passes and about every 50 ms during
    // them; when it says stop, the search returns Interrupted. Empty: never.
    StopPredicate should_stop{};
    // Where the start, level and progress lines go; null: standard output.
    ProgressSink* sink = nullptr;
    // Once this much time has passed, the search stops at its next tick,
    // drops the unfinished level and returns the final selection of the
    // levels that finished; NoFormula when none beyond the seeds did.
    std::optional<std::chrono::nanoseconds> time_budget{};
    // Scores each level's candidates instead of this process's threads (for
    // example on a cluster); null: here. The results are the same either
    // way. A scorer that fails ends the search as Interrupted.
    LevelScorer* scorer = nullptr;
    // Handed the search's state (encode_checkpoint's bytes) on the calling
    // thread after every finished level; when it returns false the search
    // ends as Interrupted (the caller knows why). Empty: no checkpoints.
    std::function<bool(const std::string&)> save_checkpoint{};
    // A state to continue from instead of starting over, with the result of
    // a search that never stopped. One that resume_problem refuses ends the
    // search with a Resume error before anything runs.
    const SearchCheckpoint* resume = nullptr;
};

inline constexpr const char* kTooManyVariablesMessage =
    "Inputs must have at most 255 variables per row.";

// The level-wise beam search: seeds level 1 with the parameter leaf and one
// leaf per variable, composes every further level from the retained ones,
// scores in parallel, keeps a beam per level and a Pareto front, and returns
// the front's Pareto-optimal formulas, lowest error first.
Outcome<std::vector<SearchResult>> run_bfs(const Samples& rows,
                                           const std::vector<double>& targets,
                                           const SearchConfig& config,
                                           SearchStats* stats = nullptr,
                                           const RunControl& control = {});

}  // namespace vorn
