#include "engine/extended_eval.hpp"

#include <cmath>
#include <vector>

#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace vorn {

namespace {

using W = long double;
using Z = WideComplex;

constexpr W kHalfPi = 1.57079632679489661923132169163975144L;

Z mul(Z u, Z v) { return {u.re * v.re - u.im * v.im, u.im * v.re + u.re * v.im}; }
bool is_zero(Z u) { return u.re == 0.0L && u.im == 0.0L; }

std::optional<Z> div(Z u, Z v) {
    if (is_zero(v)) return std::nullopt;
    const W n = v.re * v.re + v.im * v.im;
    return Z{(u.re * v.re + u.im * v.im) / n, (u.im * v.re - u.re * v.im) / n};
}

std::optional<Z> ln(Z u) {
    const W modulus = u.im == 0.0L ? std::fabs(u.re) : std::hypot(u.re, u.im);
    if (modulus == 0.0L) return std::nullopt;
    return Z{std::log(modulus), std::atan2(u.im, u.re)};
}

Z sqrt(Z u) {
    if (u.im == 0.0L) {
        if (!std::signbit(u.re)) return {std::sqrt(u.re), u.im};
        return {0.0L, std::copysign(std::sqrt(-u.re), u.im)};
    }
    if (u.re == 0.0L) {
        const W t = std::sqrt(std::fabs(u.im) * 0.5L);
        return std::signbit(u.im) ? Z{t, -t} : Z{t, t};
    }
    const W r = std::hypot(u.re, u.im);
    const W theta = std::atan2(u.im, u.re);
    const W root = std::sqrt(r);
    return {root * std::cos(theta * 0.5L), root * std::sin(theta * 0.5L)};
}

Z exp(Z u) {
    const W m = std::exp(u.re);
    if (u.im == 0.0L) return {m, m * u.im};
    return {m * std::cos(u.im), m * std::sin(u.im)};
}

Z sin(Z z) {
    if (z.im == 0.0L) return {std::sin(z.re), std::cos(z.re) * z.im};
    return {std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

Z cos(Z z) {
    if (z.im == 0.0L) return {std::cos(z.re), -std::sin(z.re) * z.im};
    return {std::cos(z.re) * std::cosh(z.im), -std::sin(z.re) * std::sinh(z.im)};
}

Z square(Z z) { return {z.re * z.re - z.im * z.im, z.re * z.im + z.re * z.im}; }

std::optional<Z> arc_log(Z z) {
    const Z one_minus_zz{(z.im * z.im - z.re * z.re) + 1.0L, 0.0L - (z.re * z.im + z.re * z.im)};
    const Z iz = mul({0.0L, 1.0L}, z);
    const Z root = sqrt(one_minus_zz);
    return ln({iz.re + root.re, iz.im + root.im});
}

std::optional<Z> apply(std::size_t op, const Z* a) {
    switch (op) {
        case op_ids::Vorn: {
            const Z e = exp(a[0]);
            const auto l = ln(a[1]);
            if (!l) return std::nullopt;
            return Z{e.re - l->re, e.im - l->im};
        }
        case op_ids::Neg: return Z{-a[0].re, -a[0].im};
        case op_ids::Inv: return div({1.0L, 0.0L}, a[0]);
        case op_ids::Plus: return Z{a[0].re + a[1].re, a[0].im + a[1].im};
        case op_ids::Times: return mul(a[0], a[1]);
        case op_ids::Subtract: return Z{a[0].re - a[1].re, a[0].im - a[1].im};
        case op_ids::Divide: return div(a[0], a[1]);
        case op_ids::Exp: return exp(a[0]);
        case op_ids::Log: return ln(a[0]);
        case op_ids::Sqrt: return sqrt(a[0]);
        case op_ids::Sin: return sin(a[0]);
        case op_ids::Cos: return cos(a[0]);
        case op_ids::Tan: {
            const Z c = cos(a[0]);
            if (is_zero(c)) return std::nullopt;
            return div(sin(a[0]), c);
        }
        case op_ids::ArcSin: {
            const auto l = arc_log(a[0]);
            if (!l) return std::nullopt;
            return mul({-0.0L, -1.0L}, *l);
        }
        case op_ids::ArcCos: {
            const auto l = arc_log(a[0]);
            if (!l) return std::nullopt;
            const Z il = mul({0.0L, 1.0L}, *l);
            return Z{kHalfPi + il.re, 0.0L + il.im};
        }
        case op_ids::ArcTan: {
            const Z w = mul({0.0L, 1.0L}, a[0]);
            const Z lower{1.0L - w.re, 0.0L - w.im};
            const Z upper{w.re + 1.0L, w.im + 0.0L};
            const auto la = ln(lower);
            const auto lb = ln(upper);
            if (!la || !lb) return std::nullopt;
            const Z d{la->re - lb->re, la->im - lb->im};
            return Z{0.0L * d.re - 0.5L * d.im, 0.5L * d.re + 0.0L * d.im};
        }
        case op_ids::Square: return square(a[0]);
        case op_ids::Cube: return mul(square(a[0]), a[0]);
        default: return std::nullopt;
    }
}

bool within_limit(Z v) {
    const W limit = kValueLimit;
    return v.re < limit && v.re > -limit && v.im < limit && v.im > -limit;
}

}  // namespace

std::optional<WideComplex> eval_extended(std::span<const Token> tokens) {
    std::vector<Z> stack;
    stack.reserve(tokens.size());
    for (const Token& token : tokens) {
        if (token.kind == TokenKind::Var) {
            stack.push_back({0.0L, 0.0L});
            continue;
        }
        if (token.kind != TokenKind::Op || stack.size() < token.arity) return std::nullopt;
        const std::size_t base = stack.size() - token.arity;
        const auto value = apply(token.op_id, stack.data() + base);
        if (!value || !within_limit(*value)) return std::nullopt;
        stack.resize(base);
        stack.push_back(*value);
    }
    if (stack.size() != 1) return std::nullopt;
    return stack.front();
}

}  // namespace vorn
