#include "engine/value_beam.hpp"

#include <algorithm>
#include <cmath>

namespace vorn {

namespace {

// Small rationals p/q (q up to 12, |p/q| up to 1000) rank by q, then |p|;
// everything else ranks last.
std::uint32_t rational_rank(Complex v) {
    if (std::fabs(v.im) > 1e-12 * std::max(1.0, std::fabs(v.re)) || !(std::fabs(v.re) <= 1000.0)) return UINT32_MAX;
    for (std::uint32_t q = 1; q <= 12; ++q) {
        const double scaled = v.re * q;
        const double p = std::round(scaled);
        if (std::fabs(scaled - p) <= 1e-10 * std::max(1.0, std::fabs(scaled)))
            return q * 100000u + static_cast<std::uint32_t>(std::fabs(p));
    }
    return UINT32_MAX;
}

}  // namespace

std::vector<std::uint32_t> choose_beam(std::span<const ValueNode> candidates, const DistinctValues& distinct,
                                       Complex target, const BeamRule& rule, int key_bits) {
    const std::size_t n = distinct.ids.size();
    if (n <= rule.width) return distinct.ids;
    const auto value_at = [&](std::uint32_t p) { return candidates[distinct.ids[p]].value; };

    // Positions into `distinct`, so that ties go to the earlier candidate.
    std::vector<std::uint32_t> positions(n);
    for (std::size_t p = 0; p < n; ++p) positions[p] = static_cast<std::uint32_t>(p);
    const auto take_first = [&](std::size_t m, auto&& less) {
        std::partial_sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(m), positions.end(),
                          less);
    };

    const std::size_t nearest = std::min(
        rule.width, static_cast<std::size_t>(std::llround(static_cast<double>(rule.width) * rule.nearest_share)));
    {
        std::vector<double> distance(n);
        for (std::size_t p = 0; p < n; ++p) {
            const Complex v = value_at(static_cast<std::uint32_t>(p));
            const double dr = v.re - target.re, di = v.im - target.im;
            distance[p] = dr * dr + di * di;
        }
        take_first(nearest, [&](std::uint32_t a, std::uint32_t b) {
            return distance[a] < distance[b] || (distance[a] == distance[b] && a < b);
        });
    }
    std::vector<std::uint8_t> taken(n, 0);
    for (std::size_t j = 0; j < nearest; ++j) taken[positions[j]] = 1;
    positions.clear();
    for (std::size_t p = 0; p < n; ++p)
        if (!taken[p]) positions.push_back(static_cast<std::uint32_t>(p));

    const std::size_t spread = std::min(rule.width - nearest, positions.size());
    switch (rule.spread) {
        case SpreadRule::Popular:
            take_first(spread, [&](std::uint32_t a, std::uint32_t b) {
                const std::uint32_t ca = distinct.counts[a], cb = distinct.counts[b];
                return ca > cb || (ca == cb && a < b);
            });
            break;
        case SpreadRule::RationalPopular: {
            std::vector<std::uint32_t> simplicity(n, UINT32_MAX);
            for (const std::uint32_t p : positions) simplicity[p] = rational_rank(value_at(p));
            take_first(spread, [&](std::uint32_t a, std::uint32_t b) {
                if (simplicity[a] != simplicity[b]) return simplicity[a] < simplicity[b];
                const std::uint32_t ca = distinct.counts[a], cb = distinct.counts[b];
                return ca > cb || (ca == cb && a < b);
            });
            break;
        }
        case SpreadRule::Sample: {
            std::vector<std::uint64_t> hash(n);
            for (const std::uint32_t p : positions) hash[p] = value_key(value_at(p), key_bits).hash();
            take_first(spread, [&](std::uint32_t a, std::uint32_t b) {
                return hash[a] < hash[b] || (hash[a] == hash[b] && a < b);
            });
            break;
        }
        case SpreadRule::ValueLine: {
            std::sort(positions.begin(), positions.end(), [&](std::uint32_t a, std::uint32_t b) {
                const Complex va = value_at(a), vb = value_at(b);
                if (va.re != vb.re) return va.re < vb.re;
                if (va.im != vb.im) return va.im < vb.im;
                return a < b;
            });
            for (std::size_t j = 0; j < spread; ++j)
                positions[j] = positions[(2 * j + 1) * positions.size() / (2 * spread)];
            break;
        }
        case SpreadRule::Generation:
            break;
    }
    for (std::size_t j = 0; j < spread; ++j) taken[positions[j]] = 1;
    std::vector<std::uint32_t> chosen;
    chosen.reserve(nearest + spread);
    for (std::size_t p = 0; p < n; ++p)
        if (taken[p]) chosen.push_back(distinct.ids[p]);
    return chosen;
}

}  // namespace vorn
