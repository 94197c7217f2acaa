#pragma once

#include <cstdint>

namespace vorn {

// The hash of a formula's operator skeleton: the ids of its operators in
// postfix order. A composition's skeleton is its operands' skeletons one after
// the other, then its own operator, so the tree shape is not part of it:
// Plus(Sin(x), y) and Plus(x, Sin(y)) share one. What is hashed is therefore a
// sequence, with a hash that composes under concatenation, a polynomial hash
// mod 2^64:
//     H(a ++ b) = H(a)·B^|b| + H(b)
// Each formula carries B^|a| along, so joining two hashes costs two
// multiplications and an addition, whatever their lengths.
struct SkeletonHash {
    std::uint64_t value = 0;  // Σ mix(id_i)·B^(n-1-i); equal skeletons share it
    std::uint64_t scale = 1;  // B^n

    // The one-operator sequence.
    static constexpr SkeletonHash of_op(std::uint64_t op_id) { return {mix(op_id), kBase}; }

    // This sequence followed by `next`.
    constexpr SkeletonHash then(const SkeletonHash& next) const {
        return {value * next.scale + next.value, scale * next.scale};
    }

    friend constexpr bool operator==(const SkeletonHash&, const SkeletonHash&) = default;

private:
    // Odd, so that multiplying by B^n is a bijection mod 2^64 and no prefix
    // is ever shifted out.
    static constexpr std::uint64_t kBase = 0x9E3779B97F4A7C15ull;

    // Spreads the small ids over 64 bits before they enter the sum (SplitMix64
    // finaliser). Never 0 for an id, so a sequence does not hash like itself
    // with an operator in front.
    static constexpr std::uint64_t mix(std::uint64_t x) {
        x += 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }
};

}  // namespace vorn
