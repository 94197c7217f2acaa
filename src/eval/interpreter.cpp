#include "eval/interpreter.hpp"

#include <algorithm>
#include <string>

#include "core/internal_error.hpp"

namespace vorn {

void CompiledFormula::compile(std::span<const Token> tokens, OperatorTable operators) {
    steps_.clear();
    depth_ = 0;
    inputs_needed_ = 0;
    well_formed_ = false;
    real_ready_ = true;
    std::size_t height = 0;
    for (const Token& token : tokens) {
        Step step;
        switch (token.kind) {
            case TokenKind::ComplexConst:
                step.value = token.value;
                break;
            case TokenKind::RealConst:
                step.value = Complex{token.value.re, 0.0};
                break;
            case TokenKind::Var:
                step.kind = StepKind::Var;
                step.index = token.var_index;
                inputs_needed_ = std::max<std::size_t>(inputs_needed_, token.var_index + std::size_t{1});
                break;
            case TokenKind::Param:
                step.kind = StepKind::Param;
                step.index = token.param_slot;
                step.value = token.value;
                break;
            case TokenKind::Op: {
                // The checks run in the order evaluation once met them, so a
                // sequence that went wrong earlier stays without a value.
                if (height < token.arity) return;
                if (token.op_id >= operators.size())
                    throw InternalError("operator id " + std::to_string(token.op_id) +
                                        " is outside the operator table");
                const Operator& op = *operators[token.op_id];
                if (token.arity < op.arity())
                    throw InternalError("operator " + std::string(op.name()) + " received too few operands");
                step.kind = StepKind::Apply;
                step.operands = token.arity;
                step.call.emplace(op);
                real_ready_ = real_ready_ && step.call->has_real();
                height -= token.arity;
                break;
            }
        }
        real_ready_ = real_ready_ && step.value.im == 0.0;
        steps_.push_back(step);
        ++height;
        depth_ = std::max(depth_, height);
    }
    well_formed_ = height == 1;
}

namespace {

Complex as_complex(Complex v) { return v; }
Complex as_complex(double v) { return real_complex(v); }

}  // namespace

template <class Input>
std::optional<Complex> CompiledFormula::run(std::span<const Input> inputs, std::span<const Complex> params,
                                            std::vector<Complex>& stack) const {
    if (!well_formed_ || inputs.size() < inputs_needed_) return std::nullopt;
    if (stack.size() < depth_) stack.resize(depth_);
    Complex* const bottom = stack.data();
    Complex* top = bottom;  // one past the topmost value
    for (const Step& step : steps_) {
        switch (step.kind) {
            case StepKind::Push:
                *top++ = step.value;
                break;
            case StepKind::Var:
                *top++ = as_complex(inputs[step.index]);
                break;
            case StepKind::Param:
                *top++ = step.index < params.size() ? params[step.index] : step.value;
                break;
            case StepKind::Apply: {
                // The operands are the top of the stack, read in place; the
                // value replaces them.
                Complex* const base = top - step.operands;
                Complex value;
                if (!(*step.call)(base, value) || !within_value_limit(value)) return std::nullopt;
                *base = value;
                top = base + 1;
                break;
            }
        }
    }
    return *bottom;
}

std::optional<Complex> CompiledFormula::eval(std::span<const Complex> inputs, std::span<const Complex> params,
                                             std::vector<Complex>& stack) const {
    return run(inputs, params, stack);
}

CompiledFormula::RealOutcome CompiledFormula::eval_real(std::span<const double> inputs, double& out,
                                                        std::vector<double>& stack) const {
    if (!real_ready_) return RealOutcome::OffAxis;
    if (!well_formed_ || inputs.size() < inputs_needed_) return RealOutcome::Undefined;
    if (stack.size() < depth_) stack.resize(depth_);
    double* const bottom = stack.data();
    double* top = bottom;
    for (const Step& step : steps_) {
        switch (step.kind) {
            case StepKind::Push:
            case StepKind::Param:
                *top++ = step.value.re;
                break;
            case StepKind::Var:
                *top++ = inputs[step.index];
                break;
            case StepKind::Apply: {
                double* const base = top - step.operands;
                double value = 0.0;
                if (!step.call->real(base, value)) return RealOutcome::OffAxis;
                if (!within_value_limit(Complex{value, 0.0})) return RealOutcome::Undefined;
                *base = value;
                top = base + 1;
                break;
            }
        }
    }
    out = *bottom;
    return RealOutcome::Value;
}

std::optional<Complex> CompiledFormula::eval(std::span<const double> inputs, std::span<const Complex> params,
                                             std::vector<Complex>& stack) const {
    return run(inputs, params, stack);
}

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack) {
    return CompiledFormula(tokens, operators).eval(inputs, params, stack);
}

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const double> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack) {
    return CompiledFormula(tokens, operators).eval(inputs, params, stack);
}

std::optional<Complex> eval(const Expression& expression, std::span<const Complex> inputs,
                            OperatorTable operators) {
    return eval_with_params(expression, inputs, {}, operators);
}

std::optional<Complex> eval_with_params(const Expression& expression,
                                        std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorTable operators) {
    std::vector<Complex> stack;
    return eval_internal(expression.tokens, inputs, params, operators, stack);
}

}  // namespace vorn
