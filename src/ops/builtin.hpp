#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "ops/operator.hpp"

namespace vorn {

// The complex arithmetic shared by the operators. Every formula here is
// written out exactly, operand order and all, because the search compares
// results bit for bit (signed zeros decide the branch of ln and sqrt).
namespace cx {
inline Complex mul(Complex u, Complex v) {
    return {u.re * v.re - u.im * v.im, u.im * v.re + u.re * v.im};
}
// |u| == 0. hypot is zero exactly when both parts are zero (it is never below
// the larger magnitude, and NaN or infinity never give zero), so the test
// compares the parts directly instead of paying for hypot.
inline bool is_zero(Complex u) { return u.re == 0.0 && u.im == 0.0; }
std::optional<Complex> div(Complex u, Complex v);
std::optional<Complex> ln(Complex u);
Complex sqrt(Complex u);
Complex exp(Complex u);
}  // namespace cx

// A nullary operator standing for a named constant (0, 1, I, Pi, E).
class ConstOp final : public Operator {
public:
    constexpr ConstOp(const char* name, const char* latex, const char* python, Complex value)
        : name_(name), latex_(latex), python_(python), value_(value) {}

    bool fmt(std::string& sink) const override;
    std::string_view name() const override { return name_; }
    std::uint8_t arity() const override { return 0; }
    std::optional<Complex> eval(std::span<const Complex>) const override { return value_; }
    std::string to_latex(std::span<const std::string_view>) const override { return latex_; }
    std::string to_python(std::span<const std::string_view>) const override { return python_; }

    Complex value() const { return value_; }

private:
    const char* name_;
    const char* latex_;
    const char* python_;
    Complex value_;
};

// Both lists are built from the rows of builtin_operators.def.
// The five named constants, ids 0-4 of the built-in registry.
std::vector<OperatorPtr> named_constants();
// The eighteen built-in operators, ids 5-22 of the built-in registry.
std::vector<OperatorPtr> all_builtins();

}  // namespace vorn
