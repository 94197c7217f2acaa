#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/complex.hpp"

namespace vorn {

// A function that can appear in a formula: a named constant, a unary or a
// binary operator. Operators are immutable and called concurrently from all
// worker threads, so none of them may hold mutable state.
class Operator {
public:
    virtual ~Operator() = default;

    // Debug form, appended to `sink`. Nothing in the system's output uses it.
    virtual bool fmt(std::string& sink) const = 0;
    virtual std::string_view name() const = 0;
    virtual std::uint8_t arity() const = 0;
    virtual bool is_commutative() const { return false; }
    // `operands` holds exactly arity() values in push order (element 0 is the
    // left operand). No value means the operator is undefined at that point.
    virtual std::optional<Complex> eval(std::span<const Complex> operands) const = 0;
    // The same arithmetic as a plain function reading arity() operands, for
    // loops that apply one operator to many values without a virtual call
    // each: false where the operator is undefined, else the value is stored
    // in `out`. Null when the operator has none, and then eval serves.
    using Kernel = bool (*)(const Complex* operands, Complex& out);
    virtual Kernel kernel() const { return nullptr; }
    // The arithmetic on the real axis, for operands whose imaginary parts are
    // zeros of either sign: their real parts in, the value's real part out.
    // True only where the complex kernel, whichever signs those zeros have,
    // gives a value whose real part is `out` to the last bit and whose
    // imaginary part is a zero, or where `out` is beyond the value limit and
    // the complex value is too (or is none). Anywhere else false, "declined":
    // the caller applies the complex kernel to the operands' exact values.
    // Null when the operator has none, which declines everything.
    using RealKernel = bool (*)(const double* operands, double& out);
    virtual RealKernel real_kernel() const { return nullptr; }
    // The same over n rows at once: operand k of row r is operands[k][r].
    // Where out[r] is a value other than zero within the value limit, the
    // one-row kernel accepts row r with exactly that value; any other out[r]
    // (a zero, NaN, a value beyond the limit) tells nothing, and the one-row
    // kernel says what holds there. That lets the arithmetic operators write
    // their formula alone, in loops the compiler vectorises: where they
    // decline, the formula gives a zero or NaN anyway.
    using RealRowsKernel = void (*)(const double* const* operands, double* out, std::size_t n);
    virtual RealRowsKernel real_rows_kernel() const { return nullptr; }
    virtual std::string to_latex(std::span<const std::string_view> operands) const = 0;
    virtual std::string to_python(std::span<const std::string_view> operands) const = 0;
    // Default: Name, or Name[a, b, ...].
    virtual std::string to_mathematica(std::span<const std::string_view> operands) const;
};

// An operator resolved once for repeated application. The caller guarantees
// that `operands` holds arity() values.
class OperatorCall {
public:
    explicit OperatorCall(const Operator& op)
        : op_(&op),
          kernel_(op.kernel()),
          real_(op.real_kernel()),
          real_rows_(op.real_rows_kernel()),
          arity_(op.arity()) {}
    // False where the operator is undefined, else the value is in `out`.
    bool operator()(const Complex* operands, Complex& out) const {
        if (kernel_) return kernel_(operands, out);
        const auto value = op_->eval(std::span<const Complex>(operands, arity_));
        if (value) out = *value;
        return value.has_value();
    }
    // The real-axis kernel; false (declined) where it has none.
    bool real(const double* operands, double& out) const { return real_ && real_(operands, out); }
    bool has_real() const { return real_ != nullptr; }
    // The real-axis kernel over n rows; NaN everywhere where it has none.
    void real_rows(const double* const* operands, double* out, std::size_t n) const;
    std::uint8_t arity() const { return arity_; }
    // The complex kernel itself, for loops that call it on many rows; null
    // when the operator has none and only operator() serves.
    Operator::Kernel kernel() const { return kernel_; }

private:
    const Operator* op_;
    Operator::Kernel kernel_;
    Operator::RealKernel real_;
    Operator::RealRowsKernel real_rows_;
    std::uint8_t arity_;
};

inline void OperatorCall::real_rows(const double* const* operands, double* out, std::size_t n) const {
    if (real_rows_) {
        real_rows_(operands, out, n);
        return;
    }
    for (std::size_t r = 0; r < n; ++r) {
        const double row[2] = {arity_ >= 1 ? operands[0][r] : 0.0, arity_ >= 2 ? operands[1][r] : 0.0};
        double value = 0.0;
        out[r] = real(row, value) ? value : std::numeric_limits<double>::quiet_NaN();
    }
}

using OperatorPtr = std::unique_ptr<Operator>;
// The operator table that evaluation indexes by op_id.
using OperatorTable = std::span<const OperatorPtr>;

}  // namespace vorn
