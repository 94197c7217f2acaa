#include "core/expression.hpp"

#include <string>

#include "core/internal_error.hpp"

namespace vorn {

Expression Expression::variable(std::size_t index) {
    if (index >= kMaxVars)
        throw InternalError("variable index " + std::to_string(index) + " exceeds the limit of 254");
    Expression e;
    e.tokens.push_back(Token::var(static_cast<std::uint8_t>(index)));
    e.text = "v_{" + std::to_string(index) + "}";
    e.num_vars = static_cast<std::uint8_t>(index + 1);
    return e;
}

Expression Expression::parameter(Complex default_value) {
    return Expression{{Token::param(0, default_value)}, std::string("C"), 0, 1};
}

}  // namespace vorn
