#include "engine/meet_in_middle.hpp"

#include <algorithm>
#include <vector>

#include "core/internal_error.hpp"
#include "engine/generate.hpp"
#include "core/parallel.hpp"

namespace vorn {

bool JoinedForm::better_than(const JoinedForm& other) const {
    if (complexity != other.complexity) return complexity < other.complexity;
    return order < other.order;
}

namespace {

// The operators, resolved once for a scan.
struct Calls {
    std::vector<OperatorCall> calls;
    explicit Calls(const OperatorRegistry& registry) {
        for (const OperatorPtr& op : registry.operators()) calls.emplace_back(*op);
    }

    // outer(op(a, b)) as the stack machine computes it, or none where it is
    // undefined or reaches the value limit.
    std::optional<Complex> compose(Complex a, Complex b, std::size_t op, std::optional<std::uint16_t> outer) const {
        const Complex operands[2] = {a, b};
        Complex v;
        if (!calls[op](operands, v) || !within_value_limit(v)) return std::nullopt;
        if (!outer) return v;
        Complex w;
        if (!calls[*outer](&v, w) || !within_value_limit(w)) return std::nullopt;
        return w;
    }
};

// The per-slot finds joined, best first.
std::vector<JoinedForm> sorted(std::vector<std::vector<JoinedForm>> found) {
    std::vector<JoinedForm> all;
    for (auto& part : found) all.insert(all.end(), part.begin(), part.end());
    std::sort(all.begin(), all.end(), [](const JoinedForm& a, const JoinedForm& b) { return a.better_than(b); });
    return all;
}

}  // namespace

std::vector<JoinedForm> candidate_joins(std::span<const ValueNode> candidates, std::size_t level,
                                        const ValueLevels& levels, const JoinAims& aims, const MatchTarget& target,
                                        std::size_t max_complexity, const OperatorRegistry& registry,
                                        StopSignal* stop) {
    if (level + 3 > max_complexity) return {};  // a join needs a partner and an operator
    const Calls calls(registry);
    const std::span<const ValueNode> nodes = levels.nodes();
    constexpr std::size_t kBlock = 4096;
    std::vector<std::vector<JoinedForm>> found((candidates.size() + kBlock - 1) / kBlock);
    parallel_for(
        found.size(), 1,
        [&](std::size_t block) {
            const std::size_t end = std::min(candidates.size(), (block + 1) * kBlock);
            for (std::size_t i = block * kBlock; i < end; ++i) {
                const ValueNode& x = candidates[i];
                aims.visit(x.value, [&](const JoinAims::Entry& aim) {
                    const std::size_t complexity = level + levels.level_of(aim.partner) + 1;
                    if (complexity > max_complexity) return;
                    const ValueNode& y = nodes[aim.partner];
                    const ValueNode& left = aim.looked_up_left ? x : y;
                    const ValueNode& right = aim.looked_up_left ? y : x;
                    const auto v = calls.compose(left.value, right.value, aim.op_id, std::nullopt);
                    if (!v || !target.matches(*v)) return;
                    found[block].push_back(JoinedForm{
                        left, right, aim.op_id, std::nullopt, complexity,
                        {0, static_cast<std::uint32_t>(i), aim.partner,
                         static_cast<std::uint32_t>(2 * aim.op_id + aim.looked_up_left)}});
                });
            }
        },
        stop);
    if (stop && stop->stopped()) return {};
    return sorted(std::move(found));
}

std::vector<JoinedForm> outer_joins(const ValueLevels& levels, const ValueIndex& index, std::uint32_t first,
                                    std::uint32_t last, const MatchTarget& target, std::size_t max_complexity,
                                    const OperatorRegistry& registry, StopSignal* stop) {
    const Calls calls(registry);
    const std::span<const ValueNode> nodes = levels.nodes();
    const auto& metas = registry.metas();
    const std::vector<std::size_t> binary = registry.ids_by_arity(2);
    const std::vector<Aim> aims = outer_aims(target.value);

    std::vector<std::vector<JoinedForm>> found(last - first);
    parallel_for(
        found.size(), 64,
        [&](std::size_t slot) {
            const std::uint32_t x = first + static_cast<std::uint32_t>(slot);
            const auto consider = [&](std::uint32_t a, std::uint32_t b, std::size_t op, const Aim& aim) {
                const std::size_t complexity = levels.level_of(a) + levels.level_of(b) + 2;
                if (complexity > max_complexity) return;
                const auto v = calls.compose(nodes[a].value, nodes[b].value, op, aim.outer);
                if (!v || !target.matches(*v)) return;
                found[slot].push_back(JoinedForm{nodes[a], nodes[b], static_cast<std::uint16_t>(op), aim.outer,
                                                 complexity, {1, a, b, static_cast<std::uint32_t>(op << 8 | *aim.outer)}});
            };
            for (const Aim& aim : aims) {
                for (const std::size_t op : binary) {
                    // x on the left; a commutative operator's other order has the same value.
                    const auto b = right_operand_for(op, nodes[x].value, aim.value);
                    if (b && within_value_limit(*b))
                        for (const std::uint32_t y : index.near(*b)) consider(x, y, op, aim);
                    if (metas[op].is_commutative) continue;
                    const auto a = left_operand_for(op, nodes[x].value, aim.value);
                    if (a && within_value_limit(*a))
                        for (const std::uint32_t y : index.near(*a)) consider(y, x, op, aim);
                }
            }
        },
        stop);
    if (stop && stop->stopped()) return {};
    return sorted(std::move(found));
}

Expression joined_expression(const ValueLevels& levels, const JoinedForm& join, const OperatorRegistry& registry) {
    const auto& metas = registry.metas();
    auto e = compose_binary(levels.expression_of(join.left, registry), levels.expression_of(join.right, registry),
                            join.op_id, metas.at(join.op_id));
    if (!e) throw InternalError("a closed form cannot hold parameters");
    if (!join.outer) return std::move(*e);
    return compose_unary(*e, *join.outer, metas.at(*join.outer));
}

}  // namespace vorn
