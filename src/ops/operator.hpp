#pragma once

#include <cstdint>
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
    virtual std::string to_latex(std::span<const std::string_view> operands) const = 0;
    virtual std::string to_python(std::span<const std::string_view> operands) const = 0;
    // Default: Name, or Name[a, b, ...].
    virtual std::string to_mathematica(std::span<const std::string_view> operands) const;
};

// An operator resolved once for repeated application. The caller guarantees
// that `operands` holds arity() values.
class OperatorCall {
public:
    explicit OperatorCall(const Operator& op) : op_(&op), kernel_(op.kernel()), arity_(op.arity()) {}
    // False where the operator is undefined, else the value is in `out`.
    bool operator()(const Complex* operands, Complex& out) const {
        if (kernel_) return kernel_(operands, out);
        const auto value = op_->eval(std::span<const Complex>(operands, arity_));
        if (value) out = *value;
        return value.has_value();
    }
    std::uint8_t arity() const { return arity_; }

private:
    const Operator* op_;
    Operator::Kernel kernel_;
    std::uint8_t arity_;
};

using OperatorPtr = std::unique_ptr<Operator>;
// The operator table that evaluation indexes by op_id.
using OperatorTable = std::span<const OperatorPtr>;

}  // namespace vorn
