#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "eval/interpreter.hpp"
#include "eval/fingerprint.hpp"

namespace vorn {

// The values of a level's expressions at the five probes, with a flag per
// probe telling whether the expression is defined there in the sense of
// eval_internal. A composition's
// value at a point is then one operator application on its operands' values,
// which is exactly what evaluating its whole token sequence computes.
class PointValues {
public:
    bool empty() const { return points_ == 0; }

    const Complex* values(std::size_t expression) const { return values_.data() + expression * points_; }
    const std::uint8_t* defined(std::size_t expression) const {
        return defined_.data() + expression * points_;
    }

    // Evaluates every expression at every probe.
    static PointValues at_probes(std::span<const Expression> expressions, OperatorTable operators);

private:
    std::size_t points_ = 0;
    std::vector<Complex> values_;
    std::vector<std::uint8_t> defined_;
};

// One operand of a composition: its values at the points, or none.
struct OperandValues {
    const Complex* values = nullptr;
    const std::uint8_t* defined = nullptr;
};

// The value of op(left) or op(left, right) at probe k, or none where an
// operand or the operator is undefined, or the value reaches the limit.
inline std::optional<Complex> composed_value(const OperatorCall& op, const OperandValues& left,
                                             const OperandValues& right, std::size_t k) {
    Complex operands[2] = {};
    if (op.arity() >= 1) {
        if (!left.defined[k]) return std::nullopt;
        operands[0] = left.values[k];
    }
    if (op.arity() == 2) {
        if (!right.defined[k]) return std::nullopt;
        operands[1] = right.values[k];
    }
    Complex value;
    if (!op(operands, value) || !within_value_limit(value)) return std::nullopt;
    return value;
}

// The fingerprint of a composition from its operands' probe values; the same
// key as fingerprint_tokens on its tokens.
std::optional<FingerprintKey> composed_fingerprint(const OperatorCall& op, const OperandValues& left,
                                                   const OperandValues& right);

}  // namespace vorn
