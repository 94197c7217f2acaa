#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/expression.hpp"
#include "engine/skeleton_hash.hpp"
#include "eval/point_values.hpp"
#include "eval/row_values.hpp"

namespace vorn {

// The retained expressions of one level, with the hashes of their operator
// skeletons (kept so that a composition's hash costs O(1)).
struct Level {
    std::vector<Expression> expressions;
    std::vector<SkeletonHash> skeletons;
    // The expressions' values at the probes and at the data rows, once
    // computed (empty before, or when the rows do not fit the memory budget).
    PointValues probe_values;
    RowValues row_values;

    std::size_t size() const { return expressions.size(); }
    void push(Expression expression);
    OperandValues at_probes(std::size_t i) const {
        return {probe_values.values(i), probe_values.defined(i)};
    }
    RowOperand at_rows(std::size_t i) const { return row_values.operand(i); }
};

// The hash of the op_id of every Op token, in token order.
SkeletonHash operator_skeleton_hash(const Expression& expression);

// A candidate held compactly until it has to be materialised: an operator and
// the positions of its operands in the retained levels.
struct CandidateRef {
    std::uint32_t left = 0;         // index into levels[left_level]
    std::uint32_t right = 0;        // index into levels[right_level] (binary only)
    std::uint32_t left_level = 0;   // complexity of the left (or only) operand
    std::uint16_t op_id = 0;
    std::uint8_t arity = 1;
    std::uint8_t shard = 0;         // of its fingerprint, while generation admits it

    // The level of the right operand of a binary candidate of level k: the
    // operator and the left operand take the rest of the k tokens.
    std::size_t right_level(std::size_t k) const { return k - 1 - left_level; }
};

}  // namespace vorn
