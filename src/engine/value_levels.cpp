#include "engine/value_levels.hpp"

#include <algorithm>
#include <cmath>

#include "core/internal_error.hpp"
#include "engine/generate.hpp"
#include "core/parallel.hpp"

namespace vorn {

ValueLevels::ValueLevels(int key_bits) : key_bits_(key_bits) {
    nodes_.push_back(ValueNode{});
    begins_ = {0, 1};
    bool inserted = false;
    kept_keys_.insert(value_key(nodes_.front().value, key_bits_), 0, inserted);
}

std::size_t ValueLevels::level_of(std::uint32_t node) const {
    return static_cast<std::size_t>(std::upper_bound(begins_.begin(), begins_.end(), node) - begins_.begin());
}

std::vector<ValueNode> ValueLevels::compose_next(const OperatorRegistry& registry, StopSignal* stop) const {
    const std::size_t k = levels() + 1;
    std::vector<OperatorCall> calls;
    for (const OperatorPtr& op : registry.operators()) calls.emplace_back(*op);
    const auto& metas = registry.metas();
    const std::vector<std::size_t> unary = registry.ids_by_arity(1);
    const std::vector<std::size_t> binary = registry.ids_by_arity(2);

    std::vector<ValueNode> out;
    // One pass: compose(i, part) appends the compositions of outer node i in
    // order; the parts are joined in outer order whatever the thread timing.
    const auto run = [&](std::uint32_t first, std::uint32_t last, auto&& compose) {
        std::vector<std::vector<ValueNode>> parts(last - first);
        parallel_for(parts.size(), 16, [&](std::size_t i) { compose(first + static_cast<std::uint32_t>(i), parts[i]); },
                     stop);
        if (stop && stop->stopped()) return false;
        std::size_t total = out.size();
        for (const auto& part : parts) total += part.size();
        out.reserve(total);
        // Each part is released once copied, so the level is held about once.
        for (auto& part : parts) {
            out.insert(out.end(), part.begin(), part.end());
            std::vector<ValueNode>().swap(part);
        }
        return true;
    };

    const bool unary_done = run(begin(k - 1), end(k - 1), [&](std::uint32_t p, std::vector<ValueNode>& part) {
        for (const std::size_t u : unary) {
            Complex v;
            if (calls[u](&nodes_[p].value, v) && within_value_limit(v))
                part.push_back({v, p, 0, static_cast<std::uint16_t>(u), 1});
        }
    });
    if (!unary_done) return {};

    for (std::size_t l = 1; l + 2 <= k; ++l) {
        const std::size_t r = k - 1 - l;
        const std::uint32_t right_begin = begin(r), right_end = end(r);
        const bool done = run(begin(l), end(l), [&](std::uint32_t a, std::vector<ValueNode>& part) {
            Complex operands[2] = {nodes_[a].value, {}};
            for (std::uint32_t b = right_begin; b < right_end; ++b) {
                operands[1] = nodes_[b].value;
                // The other order of a commutative pair came in an earlier pass
                // (l > r) or earlier in this one (l == r, b < a).
                const bool mirrored = l > r || (l == r && b < a);
                for (const std::size_t op : binary) {
                    if (mirrored && metas[op].is_commutative) continue;
                    Complex v;
                    if (calls[op](operands, v) && within_value_limit(v))
                        part.push_back({v, a, b, static_cast<std::uint16_t>(op), 2});
                }
            }
        });
        if (!done) return {};
    }
    return out;
}

std::uint64_t ValueLevels::next_size(const OperatorRegistry& registry) const {
    const std::size_t k = levels() + 1;
    const std::uint64_t unary = registry.ids_by_arity(1).size();
    std::uint64_t binary = 0, commutative = 0;
    for (const std::size_t op : registry.ids_by_arity(2)) {
        ++binary;
        commutative += registry.metas()[op].is_commutative ? 1 : 0;
    }
    std::uint64_t total = size(k - 1) * unary;
    for (std::size_t l = 1; l + 2 <= k; ++l) {
        const std::size_t r = k - 1 - l;
        total += static_cast<std::uint64_t>(size(l)) * size(r) * (l <= r ? binary : binary - commutative);
    }
    return total;
}

DistinctValues ValueLevels::distinct(std::span<const ValueNode> candidates, StopSignal* stop) const {
    // Keys are computed in parallel, then the candidates are split by their
    // key's hash into partitions small enough for a cache-resident map; each
    // partition is walked in candidate order, so the first of equal values
    // wins, on any number of threads.
    constexpr std::size_t kPartitionBits = 8;
    constexpr std::size_t kPartitions = std::size_t{1} << kPartitionBits;
    constexpr std::size_t kBlock = 4096;
    const std::size_t n = candidates.size();
    std::vector<ValueKey> keys(n);
    std::vector<std::uint64_t> hashes(n);
    std::vector<std::uint8_t> known(n);
    parallel_for(
        (n + kBlock - 1) / kBlock, 1,
        [&](std::size_t block) {
            for (std::size_t i = block * kBlock; i < std::min(n, (block + 1) * kBlock); ++i) {
                keys[i] = value_key(candidates[i].value, key_bits_);
                hashes[i] = keys[i].hash();
                known[i] = kept_keys_.contains(keys[i], hashes[i]) ? 1 : 0;
            }
        },
        stop);
    if (stop && stop->stopped()) return {};
    const auto partition = [&](std::size_t i) { return static_cast<std::size_t>(hashes[i] >> (64 - kPartitionBits)); };

    std::vector<std::size_t> starts(kPartitions + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (!known[i]) ++starts[partition(i) + 1];
    for (std::size_t p = 0; p < kPartitions; ++p) starts[p + 1] += starts[p];
    std::vector<std::uint32_t> members(starts.back());
    {
        std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            if (!known[i]) members[fill[partition(i)]++] = static_cast<std::uint32_t>(i);
    }
    std::vector<std::uint8_t>().swap(known);

    // count[i]: for the first candidate of a value, how many candidates have
    // that value; 0 for every other candidate.
    std::vector<std::uint32_t> count(n, 0);
    parallel_for(
        kPartitions, 1,
        [&](std::size_t p) {
            ValueKeyMap firsts;  // key -> first candidate
            firsts.reserve(starts[p + 1] - starts[p]);
            for (std::size_t m = starts[p]; m < starts[p + 1]; ++m) {
                const std::uint32_t i = members[m];
                bool inserted = false;
                ++count[firsts.insert(keys[i], hashes[i], i, inserted)];
            }
        },
        stop);
    if (stop && stop->stopped()) return {};

    DistinctValues out;
    for (std::size_t i = 0; i < n; ++i) {
        if (count[i] == 0) continue;
        out.ids.push_back(static_cast<std::uint32_t>(i));
        out.counts.push_back(count[i]);
    }
    return out;
}

void ValueLevels::keep(std::span<const ValueNode> candidates, std::span<const std::uint32_t> chosen) {
    for (const std::uint32_t i : chosen) {
        nodes_.push_back(candidates[i]);
        bool inserted = false;
        kept_keys_.insert(value_key(candidates[i].value, key_bits_), 0, inserted);
    }
    begins_.push_back(static_cast<std::uint32_t>(nodes_.size()));
}

Expression ValueLevels::expression(std::uint32_t node, const OperatorRegistry& registry) const {
    return expression_of(nodes_.at(node), registry);
}

Expression ValueLevels::expression_of(const ValueNode& n, const OperatorRegistry& registry) const {
    if (n.arity == 0) return Expression::variable(0);
    const OperatorMeta& meta = registry.metas().at(n.op_id);
    if (n.arity == 1) return compose_unary(expression(n.left, registry), n.op_id, meta);
    auto e = compose_binary(expression(n.left, registry), expression(n.right, registry), n.op_id, meta);
    if (!e) throw InternalError("a closed form cannot hold parameters");
    return std::move(*e);
}

}  // namespace vorn
