#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/expression.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/stop.hpp"
#include "engine/level.hpp"
#include "ops/registry.hpp"

namespace vorn {

// op(P). Never fails; the parent's num_params and num_vars carry over.
Expression compose_unary(const Expression& parent, std::size_t op_id, const OperatorMeta& meta);
// op(L, R) with R's Param slots shifted past L's. Refused (no value) when the
// result would hold more than 255 parameters, because slots are 8-bit.
std::optional<Expression> compose_binary(const Expression& left, const Expression& right,
                                         std::size_t op_id, const OperatorMeta& meta);

// The tokens of the candidate, appended to `out` (which is cleared first).
void candidate_tokens(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                      std::vector<Token>& out);
// The full expression of the candidate (tokens, text and counts).
Expression materialize(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                       const OperatorRegistry& registry);
// The hash of its operator skeleton, from the stored hashes of its operands.
inline SkeletonHash candidate_skeleton_hash(const CandidateRef& ref, std::size_t level,
                                            const std::vector<Level>& levels) {
    SkeletonHash hash = levels[ref.left_level].skeletons[ref.left];
    if (ref.arity == 2) hash = hash.then(levels[ref.right_level(level)].skeletons[ref.right]);
    return hash.then(SkeletonHash::of_op(ref.op_id));
}

struct GenerationCounts {
    std::uint64_t generated = 0;  // compositions built and fingerprinted
    std::uint64_t admitted = 0;   // new fingerprints
};

// All candidates of level k: the unary pass over levels[k-1], then the binary
// passes for left complexity 1 .. k-2, each admitted only if its fingerprint
// is new to `seen`. Of equal fingerprints within a pass the first in pass
// order wins, on any number of threads. When `stop` says stop, generation
// ends early with an incomplete list. With `reuse`, a composition whose
// operand levels hold probe values is fingerprinted from them instead of
// from its tokens; the keys are the same. Only the operators whose bit is
// set in `operator_mask` are applied.
std::vector<CandidateRef> generate_level(std::size_t k, const std::vector<Level>& levels,
                                         const OperatorRegistry& registry, FingerprintSet& seen,
                                         GenerationCounts& counts, StopSignal* stop = nullptr,
                                         bool reuse = true, std::uint32_t operator_mask = kAllOperators);

}  // namespace vorn
