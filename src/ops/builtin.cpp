#include "ops/builtin.hpp"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include "core/expression.hpp"
#include "core/internal_error.hpp"
#include "ops/registry.hpp"

namespace vorn {

namespace cx {

namespace {
constexpr double kPi = 3.141592653589793;
}  // namespace

std::optional<Complex> div(Complex u, Complex v) {
    if (is_zero(v)) return std::nullopt;
    const double n = v.re * v.re + v.im * v.im;
    return Complex{(u.re * v.re + u.im * v.im) / n, (u.im * v.re - u.re * v.im) / n};
}

std::optional<Complex> ln(Complex u) {
    // Real arguments are the common case and skip two library calls whose
    // results are fixed there: hypot(x, ±0) is |x|, and atan2(±0, x) is ±0
    // for x > 0 and ±π for x < 0 (infinities included), with π rounded to
    // the nearest double. Only NaN goes through atan2 for its payload.
    if (u.im == 0.0) {
        const double modulus = std::fabs(u.re);
        if (modulus == 0.0) return std::nullopt;
        if (std::isnan(u.re)) return Complex{std::log(modulus), std::atan2(u.im, u.re)};
        return Complex{std::log(modulus), std::signbit(u.re) ? std::copysign(kPi, u.im) : u.im};
    }
    const double modulus = std::hypot(u.re, u.im);
    if (modulus == 0.0) return std::nullopt;
    return Complex{std::log(modulus), std::atan2(u.im, u.re)};
}

Complex sqrt(Complex u) {
    if (u.im == 0.0) {
        if (!std::signbit(u.re)) return {std::sqrt(u.re), u.im};
        return {0.0, std::copysign(std::sqrt(-u.re), u.im)};
    }
    if (u.re == 0.0) {
        const double t = std::sqrt(std::fabs(u.im) * 0.5);
        return std::signbit(u.im) ? Complex{t, -t} : Complex{t, t};
    }
    const double r = std::hypot(u.re, u.im);
    const double theta = std::atan2(u.im, u.re);
    const double root = std::sqrt(r);
    return {root * std::cos(theta * 0.5), root * std::sin(theta * 0.5)};
}

Complex exp(Complex u) {
    if (std::isinf(u.re) && u.re < 0.0) {
        if (std::isinf(u.im) || std::isnan(u.im)) return {0.0, 0.0};
    } else if (std::isinf(u.re)) {
        if (u.im == 0.0 || std::isnan(u.im)) return u;
        if (std::isinf(u.im)) return {INFINITY, NAN};
    } else if (std::isnan(u.re) && u.im == 0.0) {
        return u;
    }
    const double m = std::exp(u.re);
    // cos(±0) is exactly 1 and sin(±0) is ±0, so a real argument needs
    // neither call.
    if (u.im == 0.0) return {m, m * u.im};
    return {m * std::cos(u.im), m * std::sin(u.im)};
}

}  // namespace cx

namespace {

constexpr Complex kI{0.0, 1.0};
constexpr Complex kMinusI{-0.0, -1.0};
constexpr double kHalfPi = 1.5707963267948966;

// For a real argument cosh(±0) is exactly 1 and sinh(±0) is ±0, so both
// hyperbolic calls are skipped there.
Complex sin_of(Complex z) {
    if (z.im == 0.0) return {std::sin(z.re), std::cos(z.re) * z.im};
    return {std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

Complex cos_of(Complex z) {
    if (z.im == 0.0) return {std::cos(z.re), -std::sin(z.re) * z.im};
    return {std::cos(z.re) * std::cosh(z.im), -std::sin(z.re) * std::sinh(z.im)};
}

Complex square_of(Complex z) { return {z.re * z.re - z.im * z.im, z.re * z.im + z.re * z.im}; }

// ln(i·z + sqrt(1 − z·z)), the common core of ArcSin and ArcCos.
std::optional<Complex> arc_log(Complex z) {
    const Complex one_minus_zz{(z.im * z.im - z.re * z.re) + 1.0, 0.0 - (z.re * z.im + z.re * z.im)};
    const Complex iz = cx::mul(kI, z);
    const Complex root = cx::sqrt(one_minus_zz);
    const Complex u{iz.re + root.re, iz.im + root.im};
    return cx::ln(u);  // ln refuses exactly when u = 0
}

// Render a template in which '\x01' and '\x02' stand for the first and second
// operand. The operands are inserted as they are, never rescanned.
std::string render(std::string_view pattern, std::span<const std::string_view> operands) {
    std::string out;
    out.reserve(pattern.size() + 16);
    for (const char c : pattern) {
        if (c == '\x01' || c == '\x02') {
            const std::size_t k = static_cast<std::size_t>(c - '\x01');
            if (k < operands.size()) out += operands[k];
        } else {
            out += c;
        }
    }
    return out;
}

// The arithmetic of each built-in, named in its row of builtin_operators.def.
// Operands arrive in push order and there are exactly arity() of them.
namespace arith {

std::optional<Complex> vorn(const Complex* a) {
    const Complex e = cx::exp(a[0]);
    const auto l = cx::ln(a[1]);
    if (!l) return std::nullopt;
    return Complex{e.re - l->re, e.im - l->im};
}

std::optional<Complex> neg(const Complex* a) { return Complex{-a[0].re, -a[0].im}; }

std::optional<Complex> inv(const Complex* a) { return cx::div({1.0, 0.0}, a[0]); }

std::optional<Complex> plus(const Complex* a) { return Complex{a[0].re + a[1].re, a[0].im + a[1].im}; }

std::optional<Complex> times(const Complex* a) { return cx::mul(a[0], a[1]); }

std::optional<Complex> subtract(const Complex* a) {
    return Complex{a[0].re - a[1].re, a[0].im - a[1].im};
}

std::optional<Complex> divide(const Complex* a) { return cx::div(a[0], a[1]); }

std::optional<Complex> exp(const Complex* a) { return cx::exp(a[0]); }

std::optional<Complex> log(const Complex* a) { return cx::ln(a[0]); }

std::optional<Complex> sqrt(const Complex* a) { return cx::sqrt(a[0]); }

std::optional<Complex> sin(const Complex* a) { return sin_of(a[0]); }

std::optional<Complex> cos(const Complex* a) { return cos_of(a[0]); }

std::optional<Complex> tan(const Complex* a) {
    const Complex c = cos_of(a[0]);
    if (cx::is_zero(c)) return std::nullopt;
    return cx::div(sin_of(a[0]), c);
}

std::optional<Complex> arcsin(const Complex* a) {
    const auto l = arc_log(a[0]);
    if (!l) return std::nullopt;
    return cx::mul(kMinusI, *l);
}

std::optional<Complex> arccos(const Complex* a) {
    const auto l = arc_log(a[0]);
    if (!l) return std::nullopt;
    const Complex il = cx::mul(kI, *l);
    return Complex{kHalfPi + il.re, 0.0 + il.im};
}

std::optional<Complex> arctan(const Complex* a) {
    const Complex w = cx::mul(kI, a[0]);
    const Complex lower{1.0 - w.re, 0.0 - w.im};
    const Complex upper{w.re + 1.0, w.im + 0.0};
    if (cx::is_zero(lower) || cx::is_zero(upper)) return std::nullopt;
    const Complex la = *cx::ln(lower);
    const Complex lb = *cx::ln(upper);
    const Complex d{la.re - lb.re, la.im - lb.im};
    return Complex{0.0 * d.re - 0.5 * d.im, 0.5 * d.re + 0.0 * d.im};
}

std::optional<Complex> square(const Complex* a) { return square_of(a[0]); }

std::optional<Complex> cube(const Complex* a) { return cx::mul(square_of(a[0]), a[0]); }

}  // namespace arith

using Arithmetic = std::optional<Complex> (*)(const Complex* operands);

// The kernel of an arithmetic function: the same call, its value stored
// rather than returned. One instance per operator, so `apply` is a constant
// the compiler inlines. Opaque to its callers (noipa): the real-axis kernels
// of Sin, Cos and Tan call these very instructions, so no caller may get a
// copy specialised to its arguments, which could pick other library calls.
template <Arithmetic apply>
[[gnu::noipa]] bool kernel_of(const Complex* operands, Complex& out) {
    const auto value = apply(operands);
    if (value) out = *value;
    return value.has_value();
}

// The arithmetic on the real axis (Operator::RealKernel): operands' real
// parts in, true with the value's real part where the complex formula's value
// is on the axis whatever the signs of the operands' zero imaginary parts.
// z below stands for (x, ±0). Each reduction is the complex formula with
// those zeros put in; where a zero's sign could reach the real part, or the
// value leaves the axis, the kernel declines.
namespace real {

// exp(x) = (e^x, e^x·(±0)) and ln(y) = (log y, atan2(±0, y)) = (log y, ±0)
// for y > 0 (its modulus is |y| = y); ln of anything else is off the axis or
// undefined.
inline bool vorn(double x, double y, double& out) {
    if (!(y > 0.0)) return false;
    out = std::exp(x) - std::log(y);
    return true;
}

inline bool neg(double x, double, double& out) {
    out = -x;
    return true;
}

// (1 + 0i)/z: n = x·x + (±0)² = x·x, and the real part's numerator is
// 1·x + 0·(±0) = x for x ≠ 0. Not 1/x: the complex formula divides by x·x.
inline bool inv(double x, double, double& out) {
    out = x / (x * x);
    return x != 0.0;
}

inline bool plus(double x, double y, double& out) {
    out = x + y;
    return true;
}

// x·y − (±0)(±0) is x·y unless x·y is a zero, whose sign the imaginary zeros
// then decide.
inline bool times(double x, double y, double& out) {
    out = x * y;
    return out != 0.0;
}

inline bool subtract(double x, double y, double& out) {
    out = x - y;
    return true;
}

// (x·y + (±0)(±0)) / (y·y + (±0)²), with the same zero caveat as times.
inline bool divide(double x, double y, double& out) {
    const double p = x * y;
    out = p / (y * y);
    return (y != 0.0) & (p != 0.0);
}

// e^x·(cos ±0, sin ±0) = (e^x, e^x·(±0)); the infinite and NaN cases of the
// complex formula give the same real part or fail the value limit alike.
inline bool exp(double x, double, double& out) {
    out = std::exp(x);
    return true;
}

inline bool log(double x, double, double& out) {
    if (!(x > 0.0)) return false;
    out = std::log(x);
    return true;
}

// The complex root of (x, ±0) with the sign bit of x clear is (sqrt x, ±0);
// with it set the value is off the axis, or +0 for −0, which sqrt would
// make −0.
inline bool sqrt(double x, double, double& out) {
    if (std::signbit(x)) return false;
    out = std::sqrt(x);
    return true;
}

// Sin, Cos and Tan call the complex kernels themselves, so that the real part
// comes from exactly the library calls the complex path makes (which of sin,
// cos and sincos those are is the compiler's choice there). Sin and Cos of
// (x, ±0) take the real branch either way, whose imaginary part is a zero,
// or NaN when x is not finite, and then so is the real part.
template <Arithmetic apply>
bool through_complex(double x, double& out) {
    const Complex z{x, 0.0};
    Complex value;
    if (!kernel_of<apply>(&z, value)) return false;
    out = value.re;
    return value.im == 0.0 || !(std::fabs(value.re) < kValueLimit);
}

inline bool sin(double x, double, double& out) { return through_complex<&arith::sin>(x, out); }

inline bool cos(double x, double, double& out) { return through_complex<&arith::cos>(x, out); }

// Sin(z)/Cos(z) has real part (S·C + (±0)(±0)) / (C·C + (±0)²): S·C unless
// that is a zero, in which case the real part is a zero too.
inline bool tan(double x, double, double& out) {
    return through_complex<&arith::tan>(x, out) && out != 0.0;
}

// ArcSin and ArcCos for 0 < |x| ≤ 1: 1 − z·z = ((+0 − x·x) + 1, +0), whose
// root is (r, +0) with r = sqrt of that; u = i·z + root = (r, x) exactly
// (the zeros drop out against r and x); ln u = (log h, atan2(x, r)) with
// h = hypot(r, x). The value is on the axis exactly when log h = 0, h = 1.
inline bool arc_angle(double x, double& angle) {
    if (!(x != 0.0 && std::fabs(x) <= 1.0)) return false;
    const double r = std::sqrt((0.0 - x * x) + 1.0);
    if (std::hypot(r, x) != 1.0) return false;
    angle = std::atan2(x, r);
    return true;
}

// −i·(+0, L) = (−0·(+0) − (−1)·L, …) = L.
inline bool arcsin(double x, double, double& out) { return arc_angle(x, out); }

// π/2 + i·(+0, L) = π/2 + (0·(+0) − 1·L) = π/2 + (−L).
inline bool arccos(double x, double, double& out) {
    double angle;
    if (!arc_angle(x, angle)) return false;
    out = kHalfPi + -angle;
    return true;
}

// For finite x ≠ 0: i·z = (±0, x), so A = (1, −x) and B = (1, x); their
// moduli agree (hypot ignores signs), so D = (+0, atan2(−x, 1) − atan2(x, 1))
// and (i/2)·D = (0·(+0) − 0.5·D.im, 0.5·(+0) + 0·D.im). An infinite x makes
// D's real part inf − inf.
inline bool arctan(double x, double, double& out) {
    if (!(x != 0.0 && std::isfinite(x))) return false;
    const double d = std::atan2(-x, 1.0) - std::atan2(x, 1.0);
    out = 0.0 - 0.5 * d;
    return true;
}

// (x·x − (±0)², x·(±0) + x·(±0)).
inline bool square(double x, double, double& out) {
    out = x * x;
    return true;
}

// (Square(z))·z: (x·x)·x − (±0)(±0), zero caveat as in times.
inline bool cube(double x, double, double& out) {
    out = (x * x) * x;
    return out != 0.0;
}

using Arithmetic = bool (*)(double x, double y, double& out);

// One row: operands[0], and operands[1] for binary operators.
template <Arithmetic apply, std::uint8_t arity>
bool kernel_of(const double* operands, double& out) {
    return apply(operands[0], arity == 2 ? operands[1] : 0.0, out);
}

// The kernels that decline exactly where their formula gives a zero or NaN
// (a zero product, 0/0), or never: their rows need no test, so their loops
// vectorise.
constexpr bool declines_off_the_fast_range(Arithmetic apply) {
    return apply == &neg || apply == &inv || apply == &plus || apply == &times ||
           apply == &subtract || apply == &divide || apply == &square || apply == &cube;
}

// Many rows in one loop (Operator::RealRowsKernel).
template <Arithmetic apply, std::uint8_t arity>
void rows_of(const double* const* operands, double* __restrict out, std::size_t n) {
    const double* __restrict x = operands[0];
    const double* __restrict y = arity == 2 ? operands[1] : operands[0];
    for (std::size_t r = 0; r < n; ++r) {
        double value = 0.0;
        const bool accepted = apply(x[r], y[r], value);
        if constexpr (declines_off_the_fast_range(apply))
            out[r] = value;
        else
            out[r] = accepted ? value : std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace real

struct BuiltinRow {
    const char* id;  // the debug form
    const char* name;
    std::uint8_t arity;
    bool commutative;
    const char* latex;
    const char* python;
    Arithmetic apply;
    Operator::Kernel kernel;
    Operator::RealKernel real_kernel;
    Operator::RealRowsKernel real_rows_kernel;
};

// The operand markers of the rows' templates, as render reads them.
#define A "\x01"
#define B "\x02"

constexpr BuiltinRow kBuiltinRows[] = {
#define BUILTIN_OPERATOR(Id, name, arity, commutative, latex, python, function)          \
    {#Id, name, arity, commutative, latex, python, &arith::function,                      \
     &kernel_of<&arith::function>, &real::kernel_of<&real::function, arity>,             \
     &real::rows_of<&real::function, arity>},
#include "ops/builtin_operators.def"
};

#undef A
#undef B

// Rows and op_ids must agree: a row's position in the table is its id.
constexpr std::size_t kRowIds[] = {
#define NAMED_CONSTANT(Id, ...) op_ids::Id,
#define BUILTIN_OPERATOR(Id, ...) op_ids::Id,
#include "ops/builtin_operators.def"
};

constexpr bool ids_follow_row_order() {
    for (std::size_t k = 0; k < std::size(kRowIds); ++k)
        if (kRowIds[k] != k) return false;
    return std::size(kRowIds) == op_ids::Count;
}
static_assert(ids_follow_row_order(), "builtin_operators.def rows must be in op_ids order");

// Every built-in is this one type, configured by its row.
class BuiltinOperator final : public Operator {
public:
    explicit BuiltinOperator(const BuiltinRow& row) : row_(row) {}

    bool fmt(std::string& sink) const override {
        sink += row_.id;
        return true;
    }
    std::string_view name() const override { return row_.name; }
    std::uint8_t arity() const override { return row_.arity; }
    bool is_commutative() const override { return row_.commutative; }
    std::optional<Complex> eval(std::span<const Complex> operands) const override {
        if (operands.size() < row_.arity)
            throw InternalError(std::string("operator ") + row_.name + " received too few operands");
        return row_.apply(operands.data());
    }
    Kernel kernel() const override { return row_.kernel; }
    RealKernel real_kernel() const override { return row_.real_kernel; }
    RealRowsKernel real_rows_kernel() const override { return row_.real_rows_kernel; }
    std::string to_latex(std::span<const std::string_view> operands) const override {
        return render(row_.latex, operands);
    }
    std::string to_python(std::span<const std::string_view> operands) const override {
        return render(row_.python, operands);
    }

private:
    const BuiltinRow& row_;
};

void append_double(std::string& sink, double v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    sink += buffer;
}

}  // namespace

bool ConstOp::fmt(std::string& sink) const {
    sink += "ConstOp { name: \"";
    sink += name_;
    sink += "\", latex: \"";
    sink += latex_;
    sink += "\", python: \"";
    sink += python_;
    sink += "\", value: Complex { re: ";
    append_double(sink, value_.re);
    sink += ", im: ";
    append_double(sink, value_.im);
    sink += " } }";
    return true;
}

std::vector<OperatorPtr> named_constants() {
    std::vector<OperatorPtr> ops;
#define NAMED_CONSTANT(Id, name, latex, python, re, im) \
    ops.push_back(std::make_unique<ConstOp>(name, latex, python, Complex{re, im}));
#include "ops/builtin_operators.def"
    return ops;
}

std::vector<OperatorPtr> all_builtins() {
    std::vector<OperatorPtr> ops;
    for (const BuiltinRow& row : kBuiltinRows) ops.push_back(std::make_unique<BuiltinOperator>(row));
    return ops;
}

}  // namespace vorn
