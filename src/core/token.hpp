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
// copied by the million during composition, and a trivially copyable struct
// keeps that a memcpy.
//   ComplexConst: op_id (named constant), value
//   RealConst:    value.re
//   Var:          small = variable index
//   Param:        small = slot, value = default
//   Op:           small = arity, op_id
struct Token {
    TokenKind kind = TokenKind::Var;
    std::uint8_t small = 0;
    std::size_t op_id = 0;
    Complex value{};

    static constexpr Token complex_const(std::size_t op_id, Complex value) {
        return Token{TokenKind::ComplexConst, 0, op_id, value};
    }
    static constexpr Token real_const(double value) {
        return Token{TokenKind::RealConst, 0, 0, Complex{value, 0.0}};
    }
    static constexpr Token var(std::uint8_t index) {
        return Token{TokenKind::Var, index, 0, Complex{}};
    }
    static constexpr Token param(std::uint8_t slot, Complex default_value) {
        return Token{TokenKind::Param, slot, 0, default_value};
    }
    static constexpr Token op(std::uint8_t arity, std::size_t op_id) {
        return Token{TokenKind::Op, arity, op_id, Complex{}};
    }

    constexpr std::uint8_t index() const { return small; }
    constexpr std::uint8_t slot() const { return small; }
    constexpr std::uint8_t arity() const { return small; }
    constexpr Complex default_value() const { return value; }
};

}  // namespace vorn
