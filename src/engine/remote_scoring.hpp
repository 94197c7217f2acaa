#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/samples.hpp"
#include "engine/level.hpp"
#include "engine/scoring_pass.hpp"
#include "ops/registry.hpp"

namespace vorn {

// A level's scoring pass can run in another process: the driver sends the
// search's data and settings once, each retained level once when it is
// complete, and then ranges of candidates; the other side answers with one
// outcome per candidate. Every message starts with a magic and a format
// version, so that bytes from another version of the system are refused
// rather than misread. Scoring is a function of these inputs alone, so the
// outcomes are bit for bit those of scoring in the driver's process.
inline constexpr std::uint16_t kScoringFormatVersion = 2;

std::string encode_scoring_data(const Samples& samples, std::span<const double> targets,
                                const SearchConfig& config);
// Level k's retained formulas (tokens only: scoring needs no text).
std::string encode_level(std::size_t k, const Level& level);
// Candidates of level k.
std::string encode_candidates(std::size_t k, std::span<const CandidateRef> candidates);
std::string encode_outcomes(std::span<const CandidateOutcome> outcomes);
// Fills `out` (one slot per candidate sent); false with `problem` set when
// the bytes do not hold exactly that many outcomes.
bool decode_outcomes(std::span<const std::uint8_t> bytes, std::span<CandidateOutcome> out,
                     std::string& problem);

// The receiving side: the data, the settings and the levels received so far.
// Everything it reads is validated, so that malformed or foreign bytes give a
// problem text, never a crash or a wrong score.
class ScoringWorkspace {
public:
    static std::optional<ScoringWorkspace> from_data(std::span<const std::uint8_t> bytes,
                                                     std::string& problem);

    // Levels arrive in order 1, 2, 3, ...
    bool add_level(std::span<const std::uint8_t> bytes, std::string& problem);
    // The highest level held (0 before the first).
    std::size_t levels_held() const { return levels_.size() - 1; }

    // Scores candidates of the level after the last one held, on this
    // process's threads; the encoded outcomes in candidate order.
    std::optional<std::string> score(std::span<const std::uint8_t> candidates, std::string& problem) const;

private:
    ScoringWorkspace() = default;

    Samples samples_;
    std::vector<double> targets_;
    SearchConfig config_;
    std::shared_ptr<const OperatorRegistry> registry_;
    std::vector<Level> levels_;
    std::size_t row_value_bytes_ = 0;
};

}  // namespace vorn
