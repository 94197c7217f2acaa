#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/level.hpp"
#include "engine/scoring_pass.hpp"
#include "engine/stop.hpp"

namespace vorn {

// Scores a level's candidates somewhere other than this process's threads.
// The driver hands over the inputs (levels 1 .. k-1 complete) and the
// candidates, and takes the outcomes in candidate order; everything else of
// the search stays with the driver.
class LevelScorer {
public:
    enum class Result {
        Done,     // every outcome is in `out`
        Stopped,  // `stop` said stop on the way; no work is left behind
        Failed,   // the scorer could not score; it keeps its own account of why
    };

    virtual ~LevelScorer() = default;
    virtual Result score_level(const ScoringInputs& inputs, std::size_t k,
                             std::span<const CandidateRef> candidates, std::span<CandidateOutcome> out,
                             StopSignal& stop) = 0;
};

// A LevelScorer that ships bytes: the search data with the first level, each
// retained level once, and the candidates in chunks, to a transport that
// scores them elsewhere (see remote_scoring.hpp for the bytes and the
// receiving side). The transport only moves bytes; while it works, the
// driver's thread waits in short slices and ticks the stop signal between
// them, so Ctrl-C and the time budget end a level promptly.
class ShippingScorer : public LevelScorer {
public:
    Result score_level(const ScoringInputs& inputs, std::size_t k, std::span<const CandidateRef> candidates,
                       std::span<CandidateOutcome> out, StopSignal& stop) final;

    // Bytes shipped so far, by kind, for reports.
    struct Traffic {
        std::size_t data_bytes = 0;
        std::size_t level_bytes = 0;
        std::size_t candidate_bytes = 0;
        std::size_t outcome_bytes = 0;
    };
    const Traffic& traffic() const { return traffic_; }

protected:
    // How many chunks to split `candidates` candidates into (at least 1).
    virtual std::size_t chunk_count(std::size_t candidates) = 0;
    // Starts scoring `chunks` of level k. `data` is set on the first call of
    // a search; `new_levels` are the levels completed since the last call, in
    // order. False when the transport failed (it keeps its own account).
    virtual bool submit(std::size_t k, const std::optional<std::string>& data,
                        const std::vector<std::string>& new_levels, const std::vector<std::string>& chunks) = 0;
    // Waits up to `seconds` for the answers of the last submit: one outcome
    // blob per chunk, in chunk order, or none while they are not all in.
    // Sets `failed` when the transport failed.
    virtual std::optional<std::vector<std::string>> wait(double seconds, bool& failed) = 0;
    // Drops the outstanding work of the last submit.
    virtual void cancel() = 0;

private:
    std::size_t levels_shipped_ = 0;
    Traffic traffic_;
};

}  // namespace vorn
