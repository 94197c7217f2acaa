#include "result/formula_codec.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vorn {

namespace {

bool finite(Complex v) { return std::isfinite(v.re) && std::isfinite(v.im); }

// The one byte a token's kind gives meaning to: a variable's index, a
// parameter's slot or an operator's arity.
std::uint8_t operand_byte(const Token& token) {
    switch (token.kind) {
        case TokenKind::Var: return token.var_index;
        case TokenKind::Param: return token.param_slot;
        case TokenKind::Op: return token.arity;
        default: return 0;
    }
}

}  // namespace

void encode_tokens(ByteWriter& out, std::span<const Token> tokens) {
    for (const Token& token : tokens) {
        out.put(static_cast<std::uint8_t>(token.kind));
        out.put(operand_byte(token));
        out.put(static_cast<std::uint16_t>(token.op_id));
        out.put_double(token.value.re);
        out.put_double(token.value.im);
    }
}

std::optional<Expression> decode_formula(ByteReader& in, std::size_t count,
                                         const OperatorRegistry& registry, std::string& problem,
                                         bool finite_constants) {
    const auto refuse = [&](std::string why) {
        problem = std::move(why);
        return std::optional<Expression>{};
    };
    if (in.remaining() < count * kTokenBytes) return refuse("its data is truncated");
    const auto& metas = registry.metas();
    Expression e;
    e.tokens.reserve(count);
    // The display text, rebuilt the way composition writes it.
    std::vector<std::string> texts;
    std::size_t vars = 0, params = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto kind = in.get<std::uint8_t>();
        const auto small = in.get<std::uint8_t>();
        const auto op_id = in.get<std::uint16_t>();
        const Complex value{in.get_double(), in.get_double()};
        const std::string where = "token " + std::to_string(i) + " ";
        switch (static_cast<TokenKind>(kind)) {
            case TokenKind::Var:
                if (small >= kMaxVars || op_id != 0 || value.re != 0.0 || value.im != 0.0)
                    return refuse(where + "is not a valid variable");
                e.tokens.push_back(Token::var(small));
                texts.push_back("v_{" + std::to_string(small) + "}");
                vars = std::max<std::size_t>(vars, std::size_t{small} + 1);
                break;
            case TokenKind::Param:
                // Slots count up from 0 in token order.
                if (small != params || op_id != 0 || (finite_constants && !finite(value)))
                    return refuse(where + "is not a valid fitted constant");
                e.tokens.push_back(Token::param(small, value));
                texts.emplace_back("C");
                ++params;
                break;
            case TokenKind::Op: {
                if (op_id >= metas.size() || metas[op_id].arity == 0 || small != metas[op_id].arity ||
                    value.re != 0.0 || value.im != 0.0)
                    return refuse(where + "is not a valid operator");
                if (texts.size() < small) return refuse(where + "has too few operands");
                std::string text = metas[op_id].name + "(";
                const std::size_t base = texts.size() - small;
                for (std::size_t a = base; a < texts.size(); ++a) {
                    if (a != base) text += ", ";
                    text += texts[a];
                }
                text += ')';
                texts.resize(base);
                texts.push_back(std::move(text));
                e.tokens.push_back(Token::op(small, op_id));
                break;
            }
            default:
                // Searches build formulas from variables, fitted constants and
                // operators only.
                return refuse(where + "has an unknown kind " + std::to_string(kind));
        }
    }
    if (texts.size() != 1) return refuse("its tokens do not form one formula");
    e.text = std::move(texts.front());
    e.num_vars = static_cast<std::uint8_t>(vars);
    e.num_params = static_cast<std::uint8_t>(params);
    return e;
}

}  // namespace vorn
