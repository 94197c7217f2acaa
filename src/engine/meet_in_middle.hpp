#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/join_algebra.hpp"
#include "engine/join_tables.hpp"
#include "engine/stop.hpp"
#include "engine/value_levels.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Two closed forms joined by a binary operator, optionally under one unary
// operator: outer(op(left, right)). Each part is a kept node or a
// composition of the level at hand; either way its operands are kept nodes.
struct JoinedForm {
    ValueNode left;
    ValueNode right;
    std::uint16_t op_id = 0;
    std::optional<std::uint16_t> outer;
    std::size_t complexity = 0;
    // Where it was found, as a fixed order among the joins of one level.
    std::array<std::uint32_t, 4> order{};

    // Lowest complexity first, then the fixed order, so the choice among
    // equally simple joins never depends on thread timing.
    bool better_than(const JoinedForm& other) const;
};

// The joins hitting `target` of a composition of level `level` (one of
// `candidates`, whose complexity is `level`) with a kept node, of complexity
// at most `max_complexity`, best first: each candidate looks its own value
// up among the aims of the kept nodes. Empty when `stop` ends the scan.
std::vector<JoinedForm> candidate_joins(std::span<const ValueNode> candidates, std::size_t level,
                                        const ValueLevels& levels, const JoinAims& aims, const MatchTarget& target,
                                        std::size_t max_complexity, const OperatorRegistry& registry,
                                        StopSignal* stop);

// The joins under an outer unary operator (Exp, Log, Sqrt, Square, Cube, Inv)
// of a kept node of [first, last) with any indexed kept node, best first: for
// each preimage of the target under that operator, the partner a node needs
// is computed and looked up.
std::vector<JoinedForm> outer_joins(const ValueLevels& levels, const ValueIndex& index, std::uint32_t first,
                                    std::uint32_t last, const MatchTarget& target, std::size_t max_complexity,
                                    const OperatorRegistry& registry, StopSignal* stop);

// The join as a formula (tokens, text, counts).
Expression joined_expression(const ValueLevels& levels, const JoinedForm& join, const OperatorRegistry& registry);

}  // namespace vorn
