#pragma once

#include <limits>

// Small builders shared by the C++ tests: postfix token sequences for the
// built-in registry, and bit-exact comparison of doubles (signed zeros count).

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vorn::test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();


inline const OperatorRegistry& builtins() {
    static const OperatorRegistry registry = OperatorRegistry::with_builtins();
    return registry;
}
inline OperatorTable ops() { return builtins().operators(); }

inline Token op(std::size_t id) { return Token::op(builtins().metas().at(id).arity, id); }
inline Token var(std::uint8_t index) { return Token::var(index); }
inline Token param(std::uint8_t slot, Complex value = {0.1, 0.0}) { return Token::param(slot, value); }
inline Token zero() { return Token::complex_const(op_ids::Zero, {0.0, 0.0}); }

// An expression whose cached facts are derived from its tokens.
inline Expression expr(std::vector<Token> tokens, std::string text = "") {
    Expression e;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Var)
            e.num_vars = std::max<std::uint8_t>(e.num_vars, static_cast<std::uint8_t>(t.var_index + 1));
        if (t.kind == TokenKind::Param) ++e.num_params;
    }
    e.tokens = std::move(tokens);
    e.text = std::move(text);
    return e;
}

// Equal bit patterns; any two NaNs count as equal.
inline ::testing::AssertionResult same_bits(double actual, double expected) {
    if (std::isnan(actual) && std::isnan(expected)) return ::testing::AssertionSuccess();
    if (std::bit_cast<std::uint64_t>(actual) == std::bit_cast<std::uint64_t>(expected))
        return ::testing::AssertionSuccess();
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "got %.17g (sign %d), expected %.17g (sign %d)", actual,
                  static_cast<int>(std::signbit(actual)), expected,
                  static_cast<int>(std::signbit(expected)));
    return ::testing::AssertionFailure() << buffer;
}

inline ::testing::AssertionResult same_complex(Complex actual, Complex expected) {
    if (auto re = same_bits(actual.re, expected.re); !re) return re << " in the real part";
    if (auto im = same_bits(actual.im, expected.im); !im) return im << " in the imaginary part";
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_complex(const std::optional<Complex>& actual, Complex expected) {
    if (!actual) return ::testing::AssertionFailure() << "no value";
    return same_complex(*actual, expected);
}

}  // namespace vorn::test
