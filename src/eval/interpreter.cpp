#include "eval/interpreter.hpp"

#include <string>

#include "core/internal_error.hpp"

namespace vorn {

namespace {

Complex as_complex(Complex v) { return v; }
Complex as_complex(double v) { return Complex{v, 0.0}; }

template <class Input>
std::optional<Complex> run(std::span<const Token> tokens, std::span<const Input> inputs,
                           std::span<const Complex> params, OperatorTable operators,
                           std::vector<Complex>& stack) {
    for (const Token& token : tokens) {
        switch (token.kind) {
            case TokenKind::ComplexConst:
                stack.push_back(token.value);
                break;
            case TokenKind::RealConst:
                stack.push_back(Complex{token.value.re, 0.0});
                break;
            case TokenKind::Var:
                if (token.var_index >= inputs.size()) return std::nullopt;
                stack.push_back(as_complex(inputs[token.var_index]));
                break;
            case TokenKind::Param:
                stack.push_back(token.param_slot < params.size() ? params[token.param_slot] : token.value);
                break;
            case TokenKind::Op: {
                const std::size_t n = token.arity;
                if (stack.size() < n) return std::nullopt;
                if (token.op_id >= operators.size())
                    throw InternalError("operator id " + std::to_string(token.op_id) +
                                        " is outside the operator table");
                // Operands are handed over as a view of the stack top: no copy.
                const std::size_t base = stack.size() - n;
                const auto value =
                    operators[token.op_id]->eval(std::span<const Complex>(stack.data() + base, n));
                if (!value || !within_value_limit(*value)) return std::nullopt;
                stack.resize(base);
                stack.push_back(*value);
                break;
            }
        }
    }
    if (stack.size() != 1) return std::nullopt;
    return stack.front();
}

}  // namespace

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack) {
    return run(tokens, inputs, params, operators, stack);
}

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const double> inputs,
                                     std::span<const Complex> params, OperatorTable operators,
                                     std::vector<Complex>& stack) {
    return run(tokens, inputs, params, operators, stack);
}

std::optional<Complex> eval(const Expression& expression, std::span<const Complex> inputs,
                            OperatorTable operators) {
    return eval_with_params(expression, inputs, {}, operators);
}

std::optional<Complex> eval_with_params(const Expression& expression,
                                        std::span<const Complex> inputs,
                                        std::span<const Complex> params, OperatorTable operators) {
    std::vector<Complex> stack;
    stack.reserve(expression.complexity());
    return eval_internal(expression.tokens, inputs, params, operators, stack);
}

}  // namespace vorn
