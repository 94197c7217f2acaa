#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "core/token.hpp"

namespace vorn {

// Slots and variable indices are 8-bit: a formula can use variables 0..254
// and hold at most 255 parameters.
inline constexpr std::size_t kMaxParams = 255;
inline constexpr std::size_t kMaxVars = 255;

// Every value an operator produces must be finite and strictly below this in
// magnitude, in both parts; anything else makes the formula invalid there.
inline constexpr double kValueLimit = 1e15;

inline bool within_value_limit(Complex v) {
    // NaN fails every comparison, infinities fail the bound.
    return v.re < kValueLimit && v.re > -kValueLimit && v.im < kValueLimit && v.im > -kValueLimit;
}

// A formula as a postfix token sequence with the facts cached at build time.
// Built once, never modified in place.
struct Expression {
    std::vector<Token> tokens;
    std::string text;
    std::uint8_t num_vars = 0;
    std::uint8_t num_params = 0;

    // The number of tokens, so it can never disagree with them.
    std::size_t complexity() const { return tokens.size(); }

    // The leaf v_{index}. Indices above 254 cannot be represented (num_vars
    // would wrap), so they are refused with InternalError rather than wrapped.
    static Expression variable(std::size_t index);
    static Expression parameter(Complex default_value = Complex{0.1, 0.0});
};

}  // namespace vorn
