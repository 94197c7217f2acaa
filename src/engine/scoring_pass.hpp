#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/samples.hpp"
#include "engine/level.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Everything the scoring of one level reads, none of it written while the
// pass runs: the retained levels that candidates are composed from, the data
// and the settings. Scoring a candidate depends on this and on the candidate
// alone, so any split of a level's candidates into ranges, scored anywhere in
// any order, gives the same scores.
struct ScoringInputs {
    const std::vector<Level>& levels;
    const Samples& samples;
    std::span<const double> targets;
    const SearchConfig& config;
    const OperatorRegistry& registry;
    // Candidates with constants get the full fitting budget (see score_candidate).
    bool thorough = false;
};

// The outcome of scoring one candidate.
struct CandidateOutcome {
    double score = 0.0;
    bool has_score = false;  // dropped when the error is not finite
    bool refined = false;    // its constants went through refinement
    // What ranks it in the beam: the score, or with scaled ranking the lower
    // of the score and the scaled error times the complexity factor.
    double rank = 0.0;
};

// Scores the candidate of level `level`: its raw error, then refinement of
// its constants (adopted only when strictly better), times the complexity
// factor. Formulas without constants to fit are scored from their operands'
// stored values at the rows when the levels hold them.
CandidateOutcome score_candidate_ref(const ScoringInputs& inputs, std::size_t level,
                                     const CandidateRef& candidate);

}  // namespace vorn
