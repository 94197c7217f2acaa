#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/complex.hpp"

namespace vorn {

// A complex value rounded to a fixed number of significant bits, relative to
// the larger of its two parts; two values with one key count as one number.
// Parts below a quantum of the larger one round to zero, so a real value with
// a trace of imaginary rounding noise keys like the real value, and anything
// below kValueKeyZero in both parts keys as zero (so do NaN and infinity).
struct ValueKey {
    std::uint64_t head = 0;  // biased binary exponent above the rounded real part
    std::int64_t im = 0;     // rounded imaginary part

    friend bool operator==(const ValueKey&, const ValueKey&) = default;
    std::uint64_t hash() const;
};

inline constexpr double kValueKeyZero = 1e-13;

// `bits` significant bits, 8 to 42.
ValueKey value_key(Complex value, int bits);

// An insert-only open-addressing map from keys to a 32-bit value. Not
// thread-safe: a level's keys are admitted by one thread walking them in
// generation order.
class ValueKeyMap {
public:
    // The value stored under the key, after storing `value` there if the key
    // is new; `inserted` says which. The reference lasts until the next insert.
    std::uint32_t& insert(const ValueKey& key, std::uint32_t value, bool& inserted) {
        return insert(key, key.hash(), value, inserted);
    }
    bool contains(const ValueKey& key) const { return contains(key, key.hash()); }
    // The same with the key's hash already at hand.
    std::uint32_t& insert(const ValueKey& key, std::uint64_t hash, std::uint32_t value, bool& inserted);
    bool contains(const ValueKey& key, std::uint64_t hash) const;
    std::size_t size() const { return count_; }
    void reserve(std::size_t keys);

private:
    struct Slot {
        ValueKey key;
        std::uint32_t value = 0;
    };
    void rehash(std::size_t slots);
    std::size_t slot_of(const ValueKey& key, std::uint64_t hash) const;

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

}  // namespace vorn
