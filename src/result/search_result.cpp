#include "eval/interpreter.hpp"
#include "result/search_result.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "core/internal_error.hpp"

namespace vorn {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class Form { Latex, Python };

std::string render(const Expression& expression, const OperatorRegistry& registry, Form form) {
    const OperatorTable operators = registry.operators();
    std::vector<std::string> texts;
    texts.reserve(expression.complexity());
    std::vector<std::string_view> args;
    for (const Token& token : expression.tokens) {
        switch (token.kind) {
            case TokenKind::ComplexConst: {
                if (token.op_id >= operators.size())
                    throw InternalError("constant id outside the operator table");
                const Operator& op = *operators[token.op_id];
                texts.push_back(form == Form::Latex ? op.to_latex({}) : op.to_python({}));
                break;
            }
            case TokenKind::RealConst:
            case TokenKind::Param:
                texts.push_back(format_fixed4(token.value.re));
                break;
            case TokenKind::Var:
                texts.push_back("v_{" + std::to_string(token.var_index) + "}");
                break;
            case TokenKind::Op: {
                if (token.op_id >= operators.size())
                    throw InternalError("operator id outside the operator table");
                const std::size_t n = std::min<std::size_t>(token.arity, texts.size());
                const std::size_t base = texts.size() - n;
                args.assign(texts.begin() + static_cast<std::ptrdiff_t>(base), texts.end());
                const Operator& op = *operators[token.op_id];
                std::string out = form == Form::Latex ? op.to_latex(args) : op.to_python(args);
                texts.resize(base);
                texts.push_back(std::move(out));
                break;
            }
        }
    }
    return texts.empty() ? std::string() : texts.back();
}

}  // namespace

std::string format_fixed4(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // %.4f of the largest double needs 309 digits plus the decimals.
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return buffer;
}

double SearchResult::eval_at(std::span<const double> inputs) const {
    std::vector<Complex> stack;
    const auto v = CompiledFormula(expression.tokens, registry->operators()).eval(inputs, {}, stack);
    return v ? v->re : kNaN;
}

std::vector<double> SearchResult::eval_batch(const Samples& rows) const {
    std::vector<double> out;
    out.reserve(rows.size());
    std::vector<Complex> stack;
    const CompiledFormula formula(expression.tokens, registry->operators());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto v = formula.eval(rows.row(i), {}, stack);
        out.push_back(v ? v->re : kNaN);
    }
    return out;
}

std::string SearchResult::to_latex() const { return render(expression, *registry, Form::Latex); }
std::string SearchResult::to_python() const { return render(expression, *registry, Form::Python); }

}  // namespace vorn
