#include "engine/join_tables.hpp"

#include <algorithm>

#include "engine/join_algebra.hpp"
#include "ops/registry.hpp"

namespace vorn {

void ValueIndex::build(std::span<const ValueNode> nodes) {
    entries_.clear();
    entries_.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        entries_.emplace_back(value_key(nodes[i].value, kJoinKeyBits).hash(), static_cast<std::uint32_t>(i));
    std::sort(entries_.begin(), entries_.end());
    nodes_.clear();
    for (const auto& entry : entries_) nodes_.push_back(entry.second);
    // A directory over the top bits of the hash, about one entry per slot.
    shift_ = 64;
    while (shift_ > 40 && (std::size_t{1} << (64 - shift_)) < entries_.size()) --shift_;
    const auto slot_of = [&](std::uint64_t hash) {
        return shift_ == 64 ? std::size_t{0} : static_cast<std::size_t>(hash >> shift_);
    };
    directory_.assign((std::size_t{1} << (64 - shift_)) + 1, 0);
    for (const auto& entry : entries_) ++directory_[slot_of(entry.first) + 1];
    for (std::size_t d = 1; d < directory_.size(); ++d) directory_[d] += directory_[d - 1];
}

std::span<const std::uint32_t> ValueIndex::near(Complex value) const {
    if (entries_.empty()) return {};
    const std::uint64_t hash = value_key(value, kJoinKeyBits).hash();
    const std::size_t slot = shift_ == 64 ? 0 : static_cast<std::size_t>(hash >> shift_);
    std::size_t lo = directory_[slot];
    const std::size_t end = directory_[slot + 1];
    while (lo < end && entries_[lo].first < hash) ++lo;
    std::size_t hi = lo;
    while (hi < end && entries_[hi].first == hash) ++hi;
    return {nodes_.data() + lo, hi - lo};
}

namespace {

// The partner under which an operator leaves the other operand as the target
// requires it (0 for Plus, 1 for Times, e^a = 0 for the left of Vorn, ...).
// An aim that rounds like the aim of this partner only retouches digits
// below the lookup's resolution: the kept node barely matters, and aims of
// many such nodes would pile up in one bucket, so they are left out.
Complex neutral_partner(std::size_t op_id, bool looked_up_left) {
    if (looked_up_left) return op_id == op_ids::Plus || op_id == op_ids::Subtract ? Complex{0.0, 0.0} : Complex{1.0, 0.0};
    // The partner is the left operand: 0 for Subtract and Divide; for Vorn one
    // whose exponential is 0.
    return op_id == op_ids::Vorn ? Complex{-1000.0, 0.0} : Complex{0.0, 0.0};
}

}  // namespace

void JoinAims::add(std::span<const ValueNode> nodes, std::uint32_t first, std::uint32_t last, Complex t,
                   const OperatorRegistry& registry) {
    const auto& metas = registry.metas();
    const std::vector<std::size_t> binary = registry.ids_by_arity(2);
    const ValueKey zero{};
    const auto consider = [&](std::uint32_t y, std::size_t op, bool looked_up_left) {
        const auto solve = [&](Complex partner) {
            return looked_up_left ? left_operand_for(op, partner, t) : right_operand_for(op, partner, t);
        };
        const auto x = solve(nodes[y].value);
        // No composition reaches the value limit, so such an aim is never met.
        if (!x || !within_value_limit(*x)) return;
        const ValueKey key = value_key(*x, kJoinKeyBits);
        // A join with an operand of (nearly) zero is trivial or a cancellation.
        if (key == zero) return;
        if (const auto neutral = solve(neutral_partner(op, looked_up_left));
            neutral && value_key(*neutral, kJoinKeyBits) == key)
            return;
        insert(key.hash(), {y, static_cast<std::uint16_t>(op), looked_up_left});
    };
    for (std::uint32_t y = first; y < last; ++y) {
        for (const std::size_t op : binary) {
            consider(y, op, true);
            // A commutative operator's other order has the same value.
            if (!metas[op].is_commutative) consider(y, op, false);
        }
    }
}

void JoinAims::insert(std::uint64_t hash, const Entry& entry) {
    if (2 * (used_slots_ + 1) > slots_.size()) rehash(std::max<std::size_t>(1024, 2 * slots_.size()));
    const std::uint64_t prefix = hash >> (64 - kFilterBits);
    filter_[prefix >> 6] |= std::uint64_t{1} << (prefix & 63);
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = static_cast<std::size_t>(hash) & mask;
    while (slots_[s].head != kNone && slots_[s].hash != hash) s = (s + 1) & mask;
    if (slots_[s].head == kNone) {
        slots_[s].hash = hash;
        ++used_slots_;
    }
    entries_.push_back(entry);
    next_.push_back(slots_[s].head);
    slots_[s].head = static_cast<std::uint32_t>(entries_.size() - 1);
}

void JoinAims::rehash(std::size_t size) {
    std::vector<Slot> slots(size);
    const std::size_t mask = size - 1;
    for (const Slot& slot : slots_) {
        if (slot.head == kNone) continue;
        std::size_t t = static_cast<std::size_t>(slot.hash) & mask;
        while (slots[t].head != kNone) t = (t + 1) & mask;
        slots[t] = slot;
    }
    slots_.swap(slots);
}

}  // namespace vorn
