#include "engine/power_law.hpp"

#include <cmath>
#include <optional>

#include "engine/generate.hpp"

namespace vorn {

namespace {

constexpr double kMaxExponent = 4.0;

// Solves the symmetric system `a` x = b (n × n, row major) by Gaussian
// elimination with partial pivoting; none when it is singular.
std::optional<std::vector<double>> solve(std::vector<double> a, std::vector<double> b, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[pivot * n + c])) pivot = r;
        if (!(std::fabs(a[pivot * n + c]) > 1e-12)) return std::nullopt;
        if (pivot != c) {
            for (std::size_t k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
            std::swap(b[c], b[pivot]);
        }
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (std::size_t i = n; i-- > 0;) {
        double v = b[i];
        for (std::size_t k = i + 1; k < n; ++k) v -= a[i * n + k] * x[k];
        x[i] = v / a[i * n + i];
    }
    return x;
}

class Builder {
public:
    Builder(const OperatorRegistry& registry, std::uint32_t mask) : registry_(registry), mask_(mask) {}

    bool allowed(std::size_t id) const { return ((mask_ >> id) & 1u) != 0; }

    std::optional<Expression> unary(std::optional<Expression> e, std::size_t id) const {
        if (!e || !allowed(id)) return std::nullopt;
        return compose_unary(*e, id, registry_.metas()[id]);
    }
    std::optional<Expression> binary(std::optional<Expression> l, std::optional<Expression> r, std::size_t id) const {
        if (!l || !r || !allowed(id)) return std::nullopt;
        return compose_binary(*l, *r, id, registry_.metas()[id]);
    }

    // x^e for e in {1/2, 1, 3/2, 2, 5/2, 3, 4, ...} written with the unary
    // operators; none when they are not allowed.
    std::optional<Expression> power(std::size_t var, double e) const {
        const std::optional<Expression> x = Expression::variable(var);
        const int halves = static_cast<int>(std::lround(2.0 * e));
        if (halves % 2 != 0) return unary(power_whole(x, halves), op_ids::Sqrt);
        return power_whole(x, halves / 2);
    }

private:
    std::optional<Expression> power_whole(const std::optional<Expression>& x, int n) const {
        switch (n) {
            case 1: return x;
            case 2: return unary(x, op_ids::Square);
            case 3: return unary(x, op_ids::Cube);
            case 4: return unary(unary(x, op_ids::Square), op_ids::Square);
            case 5: return binary(unary(x, op_ids::Square), unary(x, op_ids::Cube), op_ids::Times);
            case 6: return unary(unary(x, op_ids::Square), op_ids::Cube);
            case 7: return binary(unary(unary(x, op_ids::Square), op_ids::Square), unary(x, op_ids::Cube), op_ids::Times);
            case 8: return unary(unary(unary(x, op_ids::Square), op_ids::Square), op_ids::Square);
            default: return std::nullopt;
        }
    }

    const OperatorRegistry& registry_;
    std::uint32_t mask_;
};

// C · numerator / denominator from exponents rounded to `step`.
std::optional<Expression> monomial(const std::vector<std::size_t>& vars, const std::vector<double>& exponents,
                                   double step, const Builder& b) {
    std::optional<Expression> numerator, denominator;
    bool any = false;
    for (std::size_t i = 0; i < vars.size(); ++i) {
        const double e = step * std::round(exponents[i] / step);
        if (e == 0.0) continue;
        if (std::fabs(e) > kMaxExponent) return std::nullopt;
        any = true;
        const auto factor = b.power(vars[i], std::fabs(e));
        if (!factor) return std::nullopt;
        std::optional<Expression>& side = e > 0 ? numerator : denominator;
        side = side ? b.binary(side, factor, op_ids::Times) : factor;
        if (!side) return std::nullopt;
    }
    if (!any) return std::nullopt;
    const std::optional<Expression> c = Expression::parameter(Complex{1.0, 0.0});
    if (numerator) {
        const auto scaled = b.binary(c, numerator, op_ids::Times);
        return denominator ? b.binary(scaled, denominator, op_ids::Divide) : scaled;
    }
    return b.binary(c, denominator, op_ids::Divide);
}

}  // namespace

std::vector<Expression> power_law_candidates(const Samples& rows, std::span<const double> targets,
                                             const OperatorRegistry& registry, std::uint32_t operator_mask) {
    std::vector<Expression> out;
    const std::size_t count = targets.size();
    if (count < 2 || rows.size() != count) return out;
    const bool negative = targets[0] < 0.0;
    for (const double y : targets)
        if (!std::isfinite(y) || y == 0.0 || (y < 0.0) != negative) return out;
    std::vector<std::size_t> vars;
    const std::size_t width = rows.first_width();
    for (std::size_t v = 0; v < width; ++v) {
        bool positive = true;
        for (std::size_t k = 0; k < count && positive; ++k) {
            const auto row = rows.row(k);
            positive = v < row.size() && row[v] > 0.0 && std::isfinite(row[v]);
        }
        if (positive) vars.push_back(v);
    }
    if (vars.empty()) return out;

    // Normal equations of log|y| = c + Σ eᵢ·log xᵢ.
    const std::size_t n = vars.size() + 1;
    std::vector<double> a(n * n, 0.0), b(n, 0.0), features(n);
    for (std::size_t k = 0; k < count; ++k) {
        features[0] = 1.0;
        for (std::size_t i = 0; i < vars.size(); ++i) features[i + 1] = std::log(rows.row(k)[vars[i]]);
        const double target = std::log(std::fabs(targets[k]));
        for (std::size_t i = 0; i < n; ++i) {
            b[i] += features[i] * target;
            for (std::size_t j = 0; j < n; ++j) a[i * n + j] += features[i] * features[j];
        }
    }
    const auto solution = solve(a, b, n);
    if (!solution) return out;
    const std::vector<double> exponents(solution->begin() + 1, solution->end());
    const Builder builder(registry, operator_mask);
    for (const double step : {1.0, 0.5}) {
        // A negative law is the same monomial with a negative constant.
        auto e = monomial(vars, exponents, step, builder);
        if (e && (out.empty() || out.back().tokens.size() != e->tokens.size() || out.back().text != e->text))
            out.push_back(std::move(*e));
    }
    return out;
}

}  // namespace vorn
