#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "ops/operator.hpp"

namespace vorn {

// What is known of one stored value besides its real part.
inline constexpr std::uint8_t kValueDefined = 1;        // eval_internal gives a value there
inline constexpr std::uint8_t kImaginaryZeroNegative = 2;  // on the real axis, imaginary part −0

// One expression's values at the data rows. Most formulas stay on the real
// axis at every row, where the imaginary parts are zeros: then only the real
// parts are kept, one double per row, with the zeros' signs among the flags,
// so the exact complex value is still at hand.
struct RowOperand {
    const double* re = nullptr;
    const double* im = nullptr;  // none when every defined value is on the real axis
    const std::uint8_t* flags = nullptr;

    bool on_real_axis() const { return im == nullptr; }
    bool defined(std::size_t k) const { return (flags[k] & kValueDefined) != 0; }
    Complex value(std::size_t k) const {
        if (im) return {re[k], im[k]};
        return {re[k], (flags[k] & kImaginaryZeroNegative) ? -0.0 : 0.0};
    }
};

// The values of a level's expressions at the data rows, for composing
// candidates from them.
class RowValues {
public:
    bool empty() const { return rows_ == 0; }
    RowOperand operand(std::size_t expression) const {
        const std::vector<double>& im = im_[expression];
        return {re_.data() + expression * rows_, im.empty() ? nullptr : im.data(),
                flags_.data() + expression * rows_};
    }

    // Evaluates every expression on every row. With `real_axis` off, every
    // expression keeps its imaginary parts, so that all composition takes
    // the complex path.
    static RowValues at_rows(std::span<const Expression> expressions, const Samples& rows,
                             OperatorTable operators, bool real_axis = true);
    // The most bytes at_rows can take for this many expressions and rows.
    static std::size_t bytes_at_most(std::size_t expressions, std::size_t rows) {
        return expressions * rows * (2 * sizeof(double) + 1);
    }

private:
    std::size_t rows_ = 0;
    std::vector<double> re_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::vector<double>> im_;  // per expression, empty when on the real axis
};

// The value of op(left) or op(left, right) at row k by the complex kernel, or
// none where an operand or the operator is undefined, or the value reaches
// the limit.
inline std::optional<Complex> composed_value(const OperatorCall& op, const RowOperand& left,
                                             const RowOperand& right, std::size_t k) {
    Complex operands[2] = {};
    if (op.arity() >= 1) {
        if (!left.defined(k)) return std::nullopt;
        operands[0] = left.value(k);
    }
    if (op.arity() == 2) {
        if (!right.defined(k)) return std::nullopt;
        operands[1] = right.value(k);
    }
    Complex value;
    if (!op(operands, value) || !within_value_limit(value)) return std::nullopt;
    return value;
}

// The values of op(left) or op(left, right) at rows 0, 1, 2, ..., asked for
// in that order, exactly as composed_value gives them. Where the operands are
// on the real axis, a block of rows at a time goes through the operator's
// real kernel, and only the rows it leaves go through the complex one; the
// imaginary part of a value from the real kernel is left +0 (callers read the
// real part only).
class ComposedRows {
public:
    ComposedRows(const OperatorCall& op, const RowOperand& left, const RowOperand& right,
                 std::size_t count)
        : op_(op),
          left_(left),
          right_(op.arity() == 2 ? right : left),
          count_(count),
          real_(op.has_real() && op.arity() >= 1 && left.on_real_axis() &&
                (op.arity() < 2 || right.on_real_axis())) {}

    std::optional<Complex> operator()(std::size_t k) {
        if (!real_) return composed_value(op_, left_, right_, k);
        const std::size_t r = k % kBlock;
        if (r == 0) fill(k);
        if (!left_.defined(k) || !right_.defined(k)) return std::nullopt;
        const double v = block_[r];
        const double magnitude = v < 0.0 ? -v : v;
        // Zeros, NaN and values beyond the limit are where the real kernel
        // may have declined; the complex kernel settles them.
        if (magnitude > 0.0 && magnitude < kValueLimit) return Complex{v, 0.0};
        return composed_value(op_, left_, right_, k);
    }

private:
    static constexpr std::size_t kBlock = 64;

    void fill(std::size_t begin) {
        const double* operands[2] = {left_.re + begin, right_.re + begin};
        op_.real_rows(operands, block_.data(), std::min(kBlock, count_ - begin));
    }

    const OperatorCall& op_;
    RowOperand left_, right_;
    std::size_t count_;
    bool real_;
    std::array<double, kBlock> block_;
};

}  // namespace vorn
