#pragma once

#include <algorithm>
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

// The mean squared error of a·f + b against the targets for the best scale a
// and offset b (least squares), from the values f at every row; +infinity
// when a value is missing. `scale` receives a and b. Used only to rank
// structures: a formula that is right up to a factor and a shift ranks as
// the law it is.
struct ScaledFit {
    double error = std::numeric_limits<double>::infinity();
    double scale = 1.0;
    double offset = 0.0;
    // The same for a/f + b: a structure that is the law's denominator
    // (ω0² − ω² for 1/(ω0² − ω²)) ranks as the law one Inv away. +infinity
    // when f vanishes at a row.
    double reciprocal_error = std::numeric_limits<double>::infinity();

    double rank_error() const { return std::min(error, reciprocal_error); }
};

namespace detail {
// The residual mean square of the centred targets after the best a·g + b,
// from the sums of g, g², g·(y − ȳ) and (y − ȳ)².
inline double residual_after_line(double g_sum, double gg, double gy, double yy, double count) {
    const double spread = gg - g_sum * (g_sum / count);
    if (!(spread > 0.0) || !std::isfinite(spread) || !std::isfinite(gy)) return yy / count;
    return std::max(0.0, yy - gy * gy / spread) / count;
}
}  // namespace detail

template <class ValueAt>
ScaledFit scaled_mse(ValueAt&& value, std::span<const double> targets) {
    ScaledFit out;
    const std::size_t n = targets.size();
    if (n == 0) return out;
    const double count = static_cast<double>(n);
    double y_sum = 0.0;
    for (const double y : targets) y_sum += y;
    const double y_mean = y_sum / count;
    // Sums against the centred targets: Σ f·(y − ȳ) is the covariance sum
    // exactly, since the centred targets sum to zero.
    double f_sum = 0.0, ff = 0.0, fy = 0.0, yy = 0.0;
    double g_sum = 0.0, gg = 0.0, gy = 0.0;
    bool vanishes = false;
    for (std::size_t k = 0; k < n; ++k) {
        const std::optional<Complex> v = value(k);
        if (!v) return out;
        const double f = v->re, y = targets[k] - y_mean;
        f_sum += f;
        ff += f * f;
        fy += f * y;
        yy += y * y;
        vanishes = vanishes || f == 0.0;
        const double g = 1.0 / f;
        g_sum += g;
        gg += g * g;
        gy += g * y;
    }
    if (!vanishes) out.reciprocal_error = detail::residual_after_line(g_sum, gg, gy, yy, count);
    const double f_mean = f_sum / count;
    const double spread = ff - f_sum * f_mean;
    if (!(spread > 0.0) || !std::isfinite(spread) || !std::isfinite(fy)) {
        out.scale = 0.0;
        out.offset = y_mean;
        out.error = yy / count;
        return out;
    }
    out.scale = fy / spread;
    out.offset = y_mean - out.scale * f_mean;
    out.error = detail::residual_after_line(f_sum, ff, fy, yy, count);
    return out;
}

}  // namespace vorn
