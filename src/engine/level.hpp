#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "eval/point_values.hpp"

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

}  // namespace vorn
