#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/samples.hpp"
#include "core/outcome.hpp"
#include "engine/level_scorer.hpp"
#include "engine/progress_sink.hpp"
#include "engine/stop.hpp"
#include "result/search_result.hpp"

namespace vorn {

// Work counters of one search, per level (index = complexity) and in total.
struct LevelStats {
    std::uint64_t generated = 0;  // compositions built and fingerprinted
    std::uint64_t admitted = 0;   // with a fingerprint new to the search
    std::uint64_t scored = 0;     // admitted and given a finite score
    std::uint64_t refined = 0;    // whose constants went through refinement
    std::uint64_t retained = 0;

    LevelStats& operator+=(const LevelStats& other) {
        generated += other.generated;
        admitted += other.admitted;
        scored += other.scored;
        refined += other.refined;
        retained += other.retained;
        return *this;
    }
};

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
