#include "engine/join_algebra.hpp"

#include <cmath>

#include "core/expression.hpp"
#include "ops/builtin.hpp"
#include "ops/registry.hpp"

namespace vorn {

bool MatchTarget::matches(Complex v) const {
    return within_value_limit(v) && std::fabs(v.re - value) <= tolerance && std::fabs(v.im) <= tolerance;
}

namespace {

constexpr double kPi = 3.141592653589793;

Complex minus(Complex u, Complex v) { return {u.re - v.re, u.im - v.im}; }
Complex plus(Complex u, Complex v) { return {u.re + v.re, u.im + v.im}; }

}  // namespace

std::optional<Complex> left_operand_for(std::size_t op_id, Complex right, Complex t) {
    switch (op_id) {
        case op_ids::Plus: return minus(t, right);
        case op_ids::Times: return cx::div(t, right);
        case op_ids::Subtract: return plus(t, right);
        case op_ids::Divide: return cx::mul(t, right);
        case op_ids::Vorn: {
            // e^a = t + ln b: a = ln(t + ln b) is one of its solutions.
            const auto l = cx::ln(right);
            if (!l) return std::nullopt;
            return cx::ln(plus(t, *l));
        }
        default: return std::nullopt;
    }
}

std::optional<Complex> right_operand_for(std::size_t op_id, Complex left, Complex t) {
    switch (op_id) {
        case op_ids::Plus: return minus(t, left);
        case op_ids::Times: return cx::div(t, left);
        case op_ids::Subtract: return minus(left, t);
        case op_ids::Divide: return cx::div(left, t);
        case op_ids::Vorn: {
            // ln b = e^a − t, which the principal logarithm returns only
            // inside its strip.
            const Complex w = minus(cx::exp(left), t);
            if (!(std::fabs(w.im) < kPi)) return std::nullopt;
            return cx::exp(w);
        }
        default: return std::nullopt;
    }
}

namespace {

void add(std::vector<Aim>& aims, std::size_t op, std::optional<Complex> value) {
    if (value && within_value_limit(*value)) aims.push_back({*value, static_cast<std::uint16_t>(op)});
}

}  // namespace

std::vector<Aim> outer_aims(double t) {
    std::vector<Aim> aims;
    add(aims, op_ids::Exp, cx::ln({t, 0.0}));
    // e^t reaches the value limit long before it overflows.
    if (t < 40.0) add(aims, op_ids::Log, Complex{std::exp(t), 0.0});
    if (t > 0.0) add(aims, op_ids::Sqrt, Complex{t * t, 0.0});
    const double root = std::sqrt(std::fabs(t));
    if (t > 0.0) {
        add(aims, op_ids::Square, Complex{root, 0.0});
        add(aims, op_ids::Square, Complex{-root, 0.0});
    } else if (t < 0.0) {
        add(aims, op_ids::Square, Complex{0.0, root});
        add(aims, op_ids::Square, Complex{0.0, -root});
    }
    if (t != 0.0) add(aims, op_ids::Cube, Complex{std::cbrt(t), 0.0});
    add(aims, op_ids::Inv, cx::div({1.0, 0.0}, {t, 0.0}));
    return aims;
}

}  // namespace vorn
