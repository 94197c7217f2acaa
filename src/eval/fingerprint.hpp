#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "eval/interpreter.hpp"

namespace vorn {

// The five probe points: the doubles nearest to the Euler-Mascheroni,
// Glaisher-Kinkelin, golden-ratio, ln 2 and Apery constants. Irrational and
// unrelated, so distinct functions rarely agree at all five.
inline constexpr std::array<double, 5> kProbes = {
    0.5772156649015329, 1.2824271291006226, 1.618033988749895, 0.6931471805599453,
    1.202056903159594,
};
inline constexpr double kFingerprintScale = 1e10;
inline constexpr double kProbeImaginaryStep = 0.1;

// Five (re, im) pairs of quantised values, one per probe, stored flat.
struct FingerprintKey {
    std::array<std::int64_t, 10> values{};

    friend bool operator==(const FingerprintKey&, const FingerprintKey&) = default;
    std::size_t hash() const;
};

struct FingerprintKeyHash {
    std::size_t operator()(const FingerprintKey& key) const { return key.hash(); }
};

// Input of variable j at probe k: the probe constant (k + j) mod 5, so that
// each variable sees a different constant, plus an imaginary part of
// 0.1·(j + 1) on the odd probes, so that real and complex behaviour both count.
Complex probe_input(std::size_t probe, std::size_t variable);

// The inputs of probe k for the first `num_vars` variables (at most 255).
std::span<const Complex> probe_inputs(std::size_t probe, std::size_t num_vars);

// Round half away from zero, then saturate into int64 (NaN gives 0).
std::int64_t quantize(double value);

// The same for a bare token sequence reading `num_vars` variables; `scratch`
// is the caller's, so a worker can fingerprint many candidates without
// allocating.
std::optional<FingerprintKey> fingerprint_tokens(std::span<const Token> tokens, std::size_t num_vars,
                                                 OperatorTable operators, EvalScratch& scratch);

// The key of a formula, or none when it cannot be evaluated (or is not finite,
// or reaches 1e15) at any probe.
std::optional<FingerprintKey> fingerprint(const Expression& expression, OperatorTable operators);

}  // namespace vorn
