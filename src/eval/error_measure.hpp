#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include "core/complex.hpp"
#include "core/token.hpp"

namespace vorn {

// The error a search minimises: the mean squared error of a formula's real
// parts against the targets, plus an elastic-net penalty on its constants.
// Scoring, composition from stored values and refinement all measure with
// these two, so an error computed one way equals the same error computed
// another way to the last bit. It sits with evaluation because it needs
// nothing but values and tokens, whoever computed them.

// The penalty's L1 and L2 sums, added to in token order.
struct ConstantSums {
    double l1 = 0.0;
    double l2 = 0.0;

    void add(double c) {
        l1 += std::fabs(c);
        l2 += c * c;
    }
    // Adds the constants of `tokens` in order: each RealConst's value, and
    // each Param's as the next entry of `params` when those are given (one
    // per Param token), else as the real part of its default, which is where
    // refinement starts from. Out of line on purpose: inlined, the compiler
    // defers the penalty past the rows of mse and carries both sums across
    // every row's evaluation call.
    void add(std::span<const Token> tokens, std::span<const double> params = {});
    // alpha × (((1 − l1_ratio) × 0.5) × L2 + L1 × l1_ratio), in exactly that order.
    double penalty(double alpha, double l1_ratio) const {
        return alpha * (((1.0 - l1_ratio) * 0.5) * l2 + l1 * l1_ratio);
    }
};

// The elastic-net penalty of one formula's constants, as ConstantSums adds them.
inline double penalty(std::span<const Token> tokens, std::span<const double> params, double alpha,
                      double l1_ratio) {
    ConstantSums sums;
    sums.add(tokens, params);
    return sums.penalty(alpha, l1_ratio);
}

// The mean squared error over the rows plus `penalty`: the squares of
// re(value) − target summed in row order, the sum divided by the row count,
// then the penalty added. `value(k)` gives the formula's value at row k, or
// none where it has none; the error is +infinity from the first such row on.
//
// With `reject_at`, the rows stop as soon as the error so far reaches it and
// the result is +infinity: the sum only grows, and so do the division and the
// addition after it, so the full error would reach it too. A caller that
// only wants to know whether the error falls below `reject_at` learns the
// same, and gets the same error when it does.
template <class ValueAt>
double mse(ValueAt&& value, std::span<const double> targets, double penalty,
           std::optional<double> reject_at = std::nullopt) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const double count = static_cast<double>(targets.size());
    double sum = 0.0;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const std::optional<Complex> v = value(k);
        if (!v) return kInfinity;
        const double diff = v->re - targets[k];
        sum += diff * diff;
        if (reject_at && sum / count + penalty >= *reject_at) return kInfinity;
    }
    return sum / count + penalty;
}

}  // namespace vorn
