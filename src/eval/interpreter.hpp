#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/expression.hpp"
#include "ops/operator.hpp"

namespace vorn {

// A token sequence checked once and resolved to steps for evaluation at many
// points: each operator is resolved to its call, so evaluating a point makes
// no virtual call, checks no bounds and throws nothing. Compiling again
// reuses the storage, so a loop over many formulas allocates only while it
// grows.
class CompiledFormula {
public:
    CompiledFormula() = default;  // no value anywhere, like an empty sequence
    CompiledFormula(std::span<const Token> tokens, OperatorTable operators) { compile(tokens, operators); }

    // Replaces the steps with those of `tokens`. A sequence that is not one
    // formula (an operator short of operands, values left over) has no value
    // at any point. Throws InternalError for an operator id outside
    // `operators` or an operator given fewer operands than its arity, unless
    // the sequence went wrong before that token.
    void compile(std::span<const Token> tokens, OperatorTable operators);

    // The value at one point: Var j reads inputs[j] (no value when there is
    // none), Param slot k takes params[k] when supplied, else its default.
    // `stack` is scratch, grown as needed and left with arbitrary contents.
    std::optional<Complex> eval(std::span<const Complex> inputs, std::span<const Complex> params,
                                std::vector<Complex>& stack) const;
    // The same on a data row, whose values are read as x + 0i.
    std::optional<Complex> eval(std::span<const double> inputs, std::span<const Complex> params,
                                std::vector<Complex>& stack) const;

    // The same on a data row with every Param at its default, in real
    // arithmetic through the operators' real kernels while every value stays
    // on the real axis: Value with the value's real part in `out` (its
    // imaginary part is a zero), Undefined where eval has no value, OffAxis
    // where a value may leave the axis and only eval can tell.
    enum class RealOutcome : std::uint8_t { Value, Undefined, OffAxis };
    RealOutcome eval_real(std::span<const double> inputs, double& out, std::vector<double>& stack) const;

private:
    enum class StepKind : std::uint8_t { Push, Var, Param, Apply };
    struct Step {
        StepKind kind = StepKind::Push;
        std::uint8_t operands = 0;  // Apply: values taken off the stack
        std::uint8_t index = 0;     // Var: variable index; Param: slot
        Complex value{};            // Push: the constant; Param: the default
        std::optional<OperatorCall> call;  // Apply only
    };

    template <class Input>
    std::optional<Complex> run(std::span<const Input> inputs, std::span<const Complex> params,
                               std::vector<Complex>& stack) const;

    std::vector<Step> steps_;
    std::size_t depth_ = 0;          // stack slots the steps need
    std::size_t inputs_needed_ = 0;  // one more than the highest variable index
    bool well_formed_ = false;
    bool real_ready_ = false;  // every operator has a real kernel, every constant is real
};

// Buffers for evaluating one formula after another, owned by the caller.
struct EvalScratch {
    CompiledFormula formula;
    std::vector<Complex> stack;
};

// One-off evaluation: compiles `tokens`, then evaluates at one point. Loops
// over many points compile once instead. `stack` is scratch as above.
std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack);
// The same on a data row, whose values are read as x + 0i.
std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const double> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack);

// Every Param takes its stored default.
std::optional<Complex> eval(const Expression& expression, std::span<const Complex> inputs,
                            OperatorTable operators);

// Param slot k takes params[k] when supplied, else its default.
std::optional<Complex> eval_with_params(const Expression& expression,
                                        std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorTable operators);

}  // namespace vorn
