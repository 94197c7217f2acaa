#include "engine/value_key.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

namespace vorn {

namespace {

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

// No key has this head: real heads stay below 2^56.
constexpr std::uint64_t kEmptyHead = ~std::uint64_t{0};

}  // namespace

std::uint64_t ValueKey::hash() const {
    return mix(head ^ (static_cast<std::uint64_t>(im) * 0x9E3779B97F4A7C15ull));
}

ValueKey value_key(Complex value, int bits) {
    const double larger = std::max(std::fabs(value.re), std::fabs(value.im));
    // NaN and infinity key as zero, like NaN's failing comparison; the search
    // never keeps either.
    if (!(larger >= kValueKeyZero) || !std::isfinite(value.re) || !std::isfinite(value.im)) return {};
    // Between kValueKeyZero and any finite double the number is normal, so
    // its binary exponent is in its bits, and scaling by a power of two
    // within the normal range is exact: this is frexp and ldexp, cheaply.
    const auto binary_exponent = [](double x) {
        return static_cast<int>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7FF) - 1022;
    };
    const auto power_of_two = [](int e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); };
    int exponent = binary_exponent(larger);
    double scale = power_of_two(bits - exponent);
    auto re = std::llround(value.re * scale);
    auto im = std::llround(value.im * scale);
    // A larger part just below a power of two can round up to it; it must key
    // like the power itself, whose exponent is one higher.
    const std::int64_t top = std::int64_t{1} << bits;
    if (std::max(std::llabs(re), std::llabs(im)) >= top) {
        ++exponent;
        scale = power_of_two(bits - exponent);
        re = std::llround(value.re * scale);
        im = std::llround(value.im * scale);
    }
    const auto biased = static_cast<std::uint64_t>(exponent + 2048);
    const auto mantissa = static_cast<std::uint64_t>(re + (std::int64_t{1} << 42));
    return {biased << 44 | mantissa, static_cast<std::int64_t>(im)};
}

std::size_t ValueKeyMap::slot_of(const ValueKey& key, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    while (slots_[i].key.head != kEmptyHead && !(slots_[i].key == key)) i = (i + 1) & mask;
    return i;
}

bool ValueKeyMap::contains(const ValueKey& key, std::uint64_t hash) const {
    return !slots_.empty() && slots_[slot_of(key, hash)].key.head != kEmptyHead;
}

std::uint32_t& ValueKeyMap::insert(const ValueKey& key, std::uint64_t hash, std::uint32_t value, bool& inserted) {
    // Kept at most half full, so probe runs stay short.
    if (2 * (count_ + 1) > slots_.size()) rehash(std::max<std::size_t>(64, 2 * slots_.size()));
    Slot& slot = slots_[slot_of(key, hash)];
    inserted = slot.key.head == kEmptyHead;
    if (inserted) {
        slot = {key, value};
        ++count_;
    }
    return slot.value;
}

void ValueKeyMap::reserve(std::size_t keys) {
    std::size_t slots = 64;
    while (slots < 2 * keys) slots *= 2;
    if (slots > slots_.size()) rehash(slots);
}

void ValueKeyMap::rehash(std::size_t slots) {
    std::vector<Slot> old(slots, Slot{ValueKey{kEmptyHead, 0}, 0});
    old.swap(slots_);
    for (const Slot& slot : old)
        if (slot.key.head != kEmptyHead) slots_[slot_of(slot.key, slot.key.hash())] = slot;
}

}  // namespace vorn
