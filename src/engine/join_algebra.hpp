#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/complex.hpp"

namespace vorn {

// The number a closed form must reproduce: its real part within `tolerance`
// of the target and its imaginary part within `tolerance` of zero, so that a
// formula whose real part matches by way of a complex detour (ln π + iπ/2 for
// ln π) is not taken for the number.
struct MatchTarget {
    double value = 0.0;
    double tolerance = 0.0;

    bool matches(Complex v) const;
};

// The operand that makes op(left, right) equal `t` when the other operand is
// known, for the binary operators that invert cleanly: Plus, Times,
// Subtract, Divide, and Vorn where the principal logarithm gives the value
// back. None where there is no such operand (a division by zero, a
// logarithm outside its strip). Rounding makes the result approximate; a
// join found with it is always confirmed by composing it exactly.
std::optional<Complex> left_operand_for(std::size_t op_id, Complex right, Complex t);
std::optional<Complex> right_operand_for(std::size_t op_id, Complex left, Complex t);

// A value a join must take so that `outer` (when set) maps it to the target.
struct Aim {
    Complex value;
    std::optional<std::uint16_t> outer;
};

// The preimages of a real target under the unary operators with a clean
// inverse: Exp (ln t), Log (e^t), Sqrt (t², t ≥ 0), Square (±√t), Cube (the
// real cube root) and Inv (1/t); those within the value limit.
std::vector<Aim> outer_aims(double t);

}  // namespace vorn
