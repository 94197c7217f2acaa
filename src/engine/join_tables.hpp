#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/complex.hpp"
#include "engine/value_levels.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Joins look values up by a coarse key: far wider than rounding noise, so a
// value computed from the target lands in the bucket of the kept value it
// stands for. Every hit is then confirmed by composing the join exactly.
inline constexpr int kJoinKeyBits = 36;

// The kept nodes by the coarse key of their values.
class ValueIndex {
public:
    void build(std::span<const ValueNode> nodes);
    // The nodes whose coarse key hashes like that of `value`, ascending.
    std::span<const std::uint32_t> near(Complex value) const;

private:
    std::vector<std::pair<std::uint64_t, std::uint32_t>> entries_;  // (key hash, node), sorted
    std::vector<std::uint32_t> nodes_;                               // node ids in entry order
    std::vector<std::uint32_t> directory_;  // first entry of each top-bits slot, and the end
    int shift_ = 64;                        // hash >> shift_ is the slot
};

// For every kept node and every invertible binary operator, the value the
// other operand must have for the join to hit the target, by coarse key: a
// composition is then joined with all kept nodes by one lookup of its own
// value, without ever being kept itself.
class JoinAims {
public:
    struct Entry {
        std::uint32_t partner = 0;   // the kept node
        std::uint16_t op_id = 0;
        bool looked_up_left = true;  // the looked-up value is the left operand
    };

    // Adds the aims of nodes [first, last) for the target `t`.
    void add(std::span<const ValueNode> nodes, std::uint32_t first, std::uint32_t last, Complex t,
             const OperatorRegistry& registry);

    // Calls visit(entry) for every aim whose coarse key hashes like `value`'s.
    template <class Visit>
    void visit(Complex value, Visit&& visit) const {
        if (slots_.empty()) return;
        const std::uint64_t hash = value_key(value, kJoinKeyBits).hash();
        // Nearly every lookup misses: a bit per hash prefix answers most of
        // them from a table small enough to stay in cache.
        if (!(filter_[hash >> (64 - kFilterBits) >> 6] >> (hash >> (64 - kFilterBits) & 63) & 1)) return;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = static_cast<std::size_t>(hash) & mask; slots_[s].head != kNone; s = (s + 1) & mask) {
            if (slots_[s].hash != hash) continue;
            for (std::uint32_t i = slots_[s].head; i != kNone; i = next_[i]) visit(entries_[i]);
            return;
        }
    }

    std::size_t size() const { return entries_.size(); }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr int kFilterBits = 23;
    void insert(std::uint64_t hash, const Entry& entry);
    void rehash(std::size_t slots);

    // One slot per distinct hash, its entries chained through next_.
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t head = kNone;  // kNone: an empty slot
    };

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> next_;
    std::vector<Slot> slots_;
    std::size_t used_slots_ = 0;
    std::vector<std::uint64_t> filter_ = std::vector<std::uint64_t>(std::size_t{1} << (kFilterBits - 6), 0);
};

}  // namespace vorn
