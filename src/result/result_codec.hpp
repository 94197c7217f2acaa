#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "result/search_result.hpp"

namespace vorn {

// A SearchResult as bytes and back, for saving fitted models (Python's
// pickle). The bytes hold a format version, the error and the tokens at full
// precision; the text, complexity and counts are rebuilt from the tokens.
inline constexpr std::uint16_t kResultFormatVersion = 1;
// The deepest formula a restore accepts; searches stay far below it, and the
// bound keeps a crafted payload from costing more than a moment to refuse.
inline constexpr std::size_t kMaxRestoredTokens = 4096;

std::string encode_result(const SearchResult& result);

// The restored result, or why the bytes were refused.
struct DecodedResult {
    std::optional<SearchResult> result;
    std::string problem;
};

// Validates everything it reads: the header and version, the length, every
// token (kind, operator id and arity, variable index, parameter slot order,
// finite values), the stack balance, and a finite non-negative error. Bytes
// that a search could not have produced are refused, never trusted.
DecodedResult decode_result(std::span<const std::uint8_t> bytes);

}  // namespace vorn
