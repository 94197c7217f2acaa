#pragma once

#include <cstddef>
#include <cstdint>

#include "core/complex.hpp"

namespace vorn {

// Kind numbers are part of the model and must not be reordered.
enum class TokenKind : std::uint8_t {
    ComplexConst = 0,
    RealConst = 1,
    Var = 2,
    Param = 3,
    Op = 4,
};

// One postfix token. A flat tagged value rather than a variant: tokens are
// copied by the million during composition, and a trivially copyable struct of
// 24 bytes keeps that a short memcpy. Each field means one thing; the kind
// says which of them are in use:
//   ComplexConst: op_id (the named constant), value
//   RealConst:    value.re
//   Var:          var_index
//   Param:        param_slot, value (the default)
//   Op:           arity, op_id
struct Token {
    TokenKind kind = TokenKind::Var;
    std::uint8_t arity = 0;
    std::uint8_t var_index = 0;
    std::uint8_t param_slot = 0;
    std::uint16_t op_id = 0;
    Complex value{};

    static constexpr Token complex_const(std::uint16_t op_id, Complex value) {
        return Token{TokenKind::ComplexConst, 0, 0, 0, op_id, value};
    }
    static constexpr Token real_const(double value) {
        return Token{TokenKind::RealConst, 0, 0, 0, 0, Complex{value, 0.0}};
    }
    static constexpr Token var(std::uint8_t index) {
        return Token{TokenKind::Var, 0, index, 0, 0, Complex{}};
    }
    static constexpr Token param(std::uint8_t slot, Complex default_value) {
        return Token{TokenKind::Param, 0, 0, slot, 0, default_value};
    }
    static constexpr Token op(std::uint8_t arity, std::uint16_t op_id) {
        return Token{TokenKind::Op, arity, 0, 0, op_id, Complex{}};
    }
};

static_assert(sizeof(Token) <= 24, "tokens are copied by the million: keep them small");

}  // namespace vorn
