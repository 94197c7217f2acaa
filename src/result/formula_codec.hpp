#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/byte_io.hpp"
#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vorn {

// A formula's tokens as bytes: kind (u8), index / slot / arity (u8),
// operator id (u16), value (2 × f64), at full precision.
inline constexpr std::size_t kTokenBytes = 1 + 1 + 2 + 8 + 8;

void encode_tokens(ByteWriter& out, std::span<const Token> tokens);

// Reads `count` tokens and rebuilds the formula (text and counts included).
// Only what a search builds is accepted: variables 0..254, fitted constants
// with finite values in slot order 0, 1, 2, ..., and operators of the
// registry with their own arity, forming exactly one formula. Anything else
// leaves `problem` saying what is wrong and gives no value. A search's own
// state may hold constants that a fit drove out of range, so
// `finite_constants` false accepts any value for them.
std::optional<Expression> decode_formula(ByteReader& in, std::size_t count,
                                         const OperatorRegistry& registry, std::string& problem,
                                         bool finite_constants = true);

}  // namespace vorn
