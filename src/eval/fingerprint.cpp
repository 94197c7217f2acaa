#include "eval/fingerprint.hpp"

#include <cmath>
#include <vector>

namespace vorn {

std::size_t FingerprintKey::hash() const {
    // 64-bit mix of the ten integers; good enough spread for a sharded set.
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (const std::int64_t v : values) {
        std::uint64_t x = static_cast<std::uint64_t>(v) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBull;
        x ^= x >> 31;
        h ^= x;
    }
    return static_cast<std::size_t>(h);
}

Complex probe_input(std::size_t probe, std::size_t variable) {
    const double re = kProbes[(probe + variable) % kProbes.size()];
    const double im = (probe % 2 == 1) ? static_cast<double>(variable + 1) * kProbeImaginaryStep : 0.0;
    return {re, im};
}

std::int64_t quantize(double value) {
    const double q = std::round(value * kFingerprintScale);
    if (std::isnan(q)) return 0;
    // 2^63 is exactly representable; anything at or above it saturates.
    if (q >= 9223372036854775808.0) return INT64_MAX;
    if (q < -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(q);
}

namespace {

// Probe inputs for every variable index, computed once: row k holds the inputs
// of probe k for variables 0 .. 254.
struct ProbeTable {
    std::array<std::array<Complex, kMaxVars>, 5> rows{};
    ProbeTable() {
        for (std::size_t k = 0; k < rows.size(); ++k)
            for (std::size_t j = 0; j < kMaxVars; ++j) rows[k][j] = probe_input(k, j);
    }
};

const ProbeTable& probe_table() {
    static const ProbeTable table;
    return table;
}

}  // namespace

std::span<const Complex> probe_inputs(std::size_t probe, std::size_t num_vars) {
    const std::size_t n = num_vars < kMaxVars ? num_vars : kMaxVars;
    return {probe_table().rows[probe].data(), n};
}

std::optional<FingerprintKey> fingerprint_tokens(std::span<const Token> tokens, std::size_t num_vars,
                                                 OperatorTable operators, EvalScratch& scratch) {
    scratch.formula.compile(tokens, operators);
    FingerprintKey key;
    for (std::size_t k = 0; k < kProbes.size(); ++k) {
        const auto value = scratch.formula.eval(probe_inputs(k, num_vars), {}, scratch.stack);
        // Leaves are not limited by evaluation, so the bound is checked here too.
        if (!value || !within_value_limit(*value)) return std::nullopt;
        key.values[2 * k] = quantize(value->re);
        key.values[2 * k + 1] = quantize(value->im);
    }
    return key;
}

std::optional<FingerprintKey> fingerprint(const Expression& expression, OperatorTable operators) {
    EvalScratch scratch;
    return fingerprint_tokens(expression.tokens, expression.num_vars, operators, scratch);
}

}  // namespace vorn
