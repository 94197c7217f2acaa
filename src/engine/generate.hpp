#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/stop.hpp"
#include "engine/value_cache.hpp"
#include "ops/registry.hpp"

namespace vorn {

// The retained expressions of one level, with their operator skeletons (kept
// so that a composition's skeleton costs one concatenation).
struct Level {
    std::vector<Expression> expressions;
    std::vector<std::string> skeletons;
    // The expressions' values at the probes and at the data rows, once
    // computed (empty before, or when the rows do not fit the memory budget).
    PointValues probe_values;
    PointValues row_values;

    std::size_t size() const { return expressions.size(); }
    void push(Expression expression);
    OperandValues at_probes(std::size_t i) const {
        return {probe_values.values(i), probe_values.defined(i)};
    }
    OperandValues at_rows(std::size_t i) const { return {row_values.values(i), row_values.defined(i)}; }
};

// The op_id of every Op token in token order, joined by "-".
std::string operator_skeleton(const Expression& expression);

// op(P). Never fails; the parent's num_params and num_vars carry over.
Expression compose_unary(const Expression& parent, std::size_t op_id, const OperatorMeta& meta);
// op(L, R) with R's Param slots shifted past L's. Refused (no value) when the
// result would hold more than 255 parameters, because slots are 8-bit.
std::optional<Expression> compose_binary(const Expression& left, const Expression& right,
                                         std::size_t op_id, const OperatorMeta& meta);

// A candidate held compactly until it has to be materialised: an operator and
// the positions of its operands in the retained levels.
struct CandidateRef {
    std::uint32_t left = 0;         // index into levels[left_level]
    std::uint32_t right = 0;        // index into levels[right_level] (binary only)
    std::uint32_t left_level = 0;   // complexity of the left (or only) operand
    std::uint16_t op_id = 0;
    std::uint8_t arity = 1;
    std::uint8_t shard = 0;         // of its fingerprint, while generation admits it
};

// The tokens of the candidate, appended to `out` (which is cleared first).
void candidate_tokens(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                      std::vector<Token>& out);
// The full expression of the candidate (tokens, text and counts).
Expression materialize(const CandidateRef& ref, std::size_t level, const std::vector<Level>& levels,
                       const OperatorRegistry& registry);
// Its skeleton, from the cached skeletons of its operands.
std::string candidate_skeleton(const CandidateRef& ref, std::size_t level,
                               const std::vector<Level>& levels);

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
// from its tokens; the keys are the same.
std::vector<CandidateRef> generate_level(std::size_t k, const std::vector<Level>& levels,
                                         const OperatorRegistry& registry, FingerprintSet& seen,
                                         GenerationCounts& counts, StopSignal* stop = nullptr,
                                         bool reuse = true);

}  // namespace vorn
