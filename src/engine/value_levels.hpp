#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/stop.hpp"
#include "engine/value_key.hpp"
#include "ops/registry.hpp"

namespace vorn {

// A closed form of the operators over the one variable, which reads 0: its
// value there and how it is built from earlier nodes. The value is what the
// engine's evaluation of the formula gives, because it is the operator applied
// to its operands' values, in postfix order, exactly as the stack machine does.
struct ValueNode {
    Complex value;
    std::uint32_t left = 0;   // operand node (unary and binary)
    std::uint32_t right = 0;  // second operand node (binary)
    std::uint16_t op_id = 0;
    std::uint8_t arity = 0;   // 0: the variable leaf
};

// The new numbers among a level's candidates: the id of the first candidate
// of each, in generation order, and how many candidates compose it.
struct DistinctValues {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
};

// The kept closed forms, level by level (level = complexity). Level 1 is the
// variable alone; every further level is composed from the kept lower ones.
class ValueLevels {
public:
    explicit ValueLevels(int key_bits);

    std::span<const ValueNode> nodes() const { return nodes_; }
    std::size_t levels() const { return begins_.size() - 1; }
    // Node ids of level k: [begin(k), end(k)).
    std::uint32_t begin(std::size_t k) const { return begins_[k - 1]; }
    std::uint32_t end(std::size_t k) const { return k < begins_.size() ? begins_[k] : begins_.back(); }
    std::size_t size(std::size_t k) const { return end(k) - begin(k); }
    // The complexity of a node.
    std::size_t level_of(std::uint32_t node) const;

    // Every composition of the next level, in generation order: the unary
    // pass over the last level, then the binary passes by ascending left
    // level, each in (left, right, operator) order. A commutative operator is
    // applied once per unordered pair, the earlier pass's order, since the
    // other order computes the same value bit for bit. Compositions that are
    // undefined or reach the value limit are left out. Empty when `stop` ends
    // the pass.
    std::vector<ValueNode> compose_next(const OperatorRegistry& registry, StopSignal* stop) const;

    // The candidates that are new numbers: not the value of any kept node,
    // and the first of their value in generation order. Empty when `stop`
    // ends the pass.
    DistinctValues distinct(std::span<const ValueNode> candidates, StopSignal* stop) const;

    // Keeps `chosen` (ids into `candidates`) as the next level.
    void keep(std::span<const ValueNode> candidates, std::span<const std::uint32_t> chosen);

    // An upper bound on the number of compositions of the next level.
    std::uint64_t next_size(const OperatorRegistry& registry) const;

    // The node as a formula (tokens, text, counts).
    Expression expression(std::uint32_t node, const OperatorRegistry& registry) const;
    // The same for a candidate whose operands are kept nodes.
    Expression expression_of(const ValueNode& node, const OperatorRegistry& registry) const;

private:
    int key_bits_;
    std::vector<ValueNode> nodes_;
    std::vector<std::uint32_t> begins_;  // begins_[k - 1]: first node of level k; last: end
    ValueKeyMap kept_keys_;
};

}  // namespace vorn
