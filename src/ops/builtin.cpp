#include "ops/builtin.hpp"

#include <cmath>
#include <cstdio>

#include "core/internal_error.hpp"

namespace vorn {

namespace cx {

std::optional<Complex> div(Complex u, Complex v) {
    if (is_zero(v)) return std::nullopt;
    const double n = v.re * v.re + v.im * v.im;
    return Complex{(u.re * v.re + u.im * v.im) / n, (u.im * v.re - u.re * v.im) / n};
}

std::optional<Complex> ln(Complex u) {
    // hypot(x, ±0) is |x| by definition of the C library's hypot; real
    // arguments are the common case and skip the call.
    const double modulus = u.im == 0.0 ? std::fabs(u.re) : std::hypot(u.re, u.im);
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

#define A "\x01"
#define B "\x02"

// Each built-in is a stateless type of its own; `Traits` supplies the facts and
// the arithmetic, this template the interface plumbing.
template <class Traits>
class Builtin final : public Operator {
public:
    bool fmt(std::string& sink) const override {
        sink += Traits::type_name;
        return true;
    }
    std::string_view name() const override { return Traits::name; }
    std::uint8_t arity() const override { return Traits::arity; }
    bool is_commutative() const override { return Traits::commutative; }
    std::optional<Complex> eval(std::span<const Complex> operands) const override {
        if (operands.size() < Traits::arity)
            throw InternalError(std::string("operator ") + Traits::name + " received too few operands");
        return Traits::apply(operands.data());
    }
    Kernel kernel() const override { return &apply_into; }

private:
    static bool apply_into(const Complex* operands, Complex& out) {
        const auto value = Traits::apply(operands);
        if (value) out = *value;
        return value.has_value();
    }
    std::string to_latex(std::span<const std::string_view> operands) const override {
        return render(Traits::latex, operands);
    }
    std::string to_python(std::span<const std::string_view> operands) const override {
        return render(Traits::python, operands);
    }
};

struct VornTraits {
    static constexpr const char* type_name = "Vorn";
    static constexpr const char* name = "VORN";
    static constexpr std::uint8_t arity = 2;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "e^{" A "} - \\ln(" B ")";
    static constexpr const char* python = "(np.exp(" A ") - np.log(" B "))";
    static std::optional<Complex> apply(const Complex* a) {
        const Complex e = cx::exp(a[0]);
        const auto l = cx::ln(a[1]);
        if (!l) return std::nullopt;
        return Complex{e.re - l->re, e.im - l->im};
    }
};

struct NegTraits {
    static constexpr const char* type_name = "Neg";
    static constexpr const char* name = "Neg";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "(-(" A "))";
    static constexpr const char* python = "(-(" A "))";
    static std::optional<Complex> apply(const Complex* a) { return Complex{-a[0].re, -a[0].im}; }
};

struct InvTraits {
    static constexpr const char* type_name = "Inv";
    static constexpr const char* name = "Inv";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\frac{1}{" A "}";
    static constexpr const char* python = "(1/(" A "))";
    static std::optional<Complex> apply(const Complex* a) { return cx::div({1.0, 0.0}, a[0]); }
};

struct PlusTraits {
    static constexpr const char* type_name = "Plus";
    static constexpr const char* name = "Plus";
    static constexpr std::uint8_t arity = 2;
    static constexpr bool commutative = true;
    static constexpr const char* latex = A " + " B;
    static constexpr const char* python = "(" A ")+(" B ")";
    static std::optional<Complex> apply(const Complex* a) {
        return Complex{a[0].re + a[1].re, a[0].im + a[1].im};
    }
};

struct TimesTraits {
    static constexpr const char* type_name = "Times";
    static constexpr const char* name = "Times";
    static constexpr std::uint8_t arity = 2;
    static constexpr bool commutative = true;
    static constexpr const char* latex = A " \\cdot " B;
    static constexpr const char* python = "(" A ")*(" B ")";
    static std::optional<Complex> apply(const Complex* a) { return cx::mul(a[0], a[1]); }
};

struct SubtractTraits {
    static constexpr const char* type_name = "Subtract";
    static constexpr const char* name = "Subtract";
    static constexpr std::uint8_t arity = 2;
    static constexpr bool commutative = false;
    static constexpr const char* latex = A " - " B;
    static constexpr const char* python = "(" A ")-(" B ")";
    static std::optional<Complex> apply(const Complex* a) {
        return Complex{a[0].re - a[1].re, a[0].im - a[1].im};
    }
};

struct DivideTraits {
    static constexpr const char* type_name = "Divide";
    static constexpr const char* name = "Divide";
    static constexpr std::uint8_t arity = 2;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\frac{" A "}{" B "}";
    static constexpr const char* python = "((" A ")/(" B "))";
    static std::optional<Complex> apply(const Complex* a) { return cx::div(a[0], a[1]); }
};

struct ExpTraits {
    static constexpr const char* type_name = "Exp";
    static constexpr const char* name = "Exp";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "e^{" A "}";
    static constexpr const char* python = "np.exp(" A ")";
    static std::optional<Complex> apply(const Complex* a) { return cx::exp(a[0]); }
};

struct LogTraits {
    static constexpr const char* type_name = "Log";
    static constexpr const char* name = "Log";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\ln(" A ")";
    static constexpr const char* python = "np.log(" A ")";
    static std::optional<Complex> apply(const Complex* a) { return cx::ln(a[0]); }
};

struct SqrtTraits {
    static constexpr const char* type_name = "Sqrt";
    static constexpr const char* name = "Sqrt";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\sqrt{" A "}";
    static constexpr const char* python = "np.sqrt(" A ")";
    static std::optional<Complex> apply(const Complex* a) { return cx::sqrt(a[0]); }
};

struct SinTraits {
    static constexpr const char* type_name = "Sin";
    static constexpr const char* name = "Sin";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\sin(" A ")";
    static constexpr const char* python = "np.sin(" A ")";
    static std::optional<Complex> apply(const Complex* a) { return sin_of(a[0]); }
};

struct CosTraits {
    static constexpr const char* type_name = "Cos";
    static constexpr const char* name = "Cos";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\cos(" A ")";
    static constexpr const char* python = "np.cos(" A ")";
    static std::optional<Complex> apply(const Complex* a) { return cos_of(a[0]); }
};

struct TanTraits {
    static constexpr const char* type_name = "Tan";
    static constexpr const char* name = "Tan";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\tan(" A ")";
    static constexpr const char* python = "np.tan(" A ")";
    static std::optional<Complex> apply(const Complex* a) {
        const Complex c = cos_of(a[0]);
        if (cx::is_zero(c)) return std::nullopt;
        return cx::div(sin_of(a[0]), c);
    }
};

struct ArcSinTraits {
    static constexpr const char* type_name = "ArcSin";
    static constexpr const char* name = "ArcSin";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\arcsin(" A ")";
    static constexpr const char* python = "np.arcsin(" A ")";
    static std::optional<Complex> apply(const Complex* a) {
        const auto l = arc_log(a[0]);
        if (!l) return std::nullopt;
        return cx::mul(kMinusI, *l);
    }
};

struct ArcCosTraits {
    static constexpr const char* type_name = "ArcCos";
    static constexpr const char* name = "ArcCos";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\arccos(" A ")";
    static constexpr const char* python = "np.arccos(" A ")";
    static std::optional<Complex> apply(const Complex* a) {
        const auto l = arc_log(a[0]);
        if (!l) return std::nullopt;
        const Complex il = cx::mul(kI, *l);
        return Complex{kHalfPi + il.re, 0.0 + il.im};
    }
};

struct ArcTanTraits {
    static constexpr const char* type_name = "ArcTan";
    static constexpr const char* name = "ArcTan";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "\\arctan(" A ")";
    static constexpr const char* python = "np.arctan(" A ")";
    static std::optional<Complex> apply(const Complex* a) {
        const Complex w = cx::mul(kI, a[0]);
        const Complex lower{1.0 - w.re, 0.0 - w.im};
        const Complex upper{w.re + 1.0, w.im + 0.0};
        if (cx::is_zero(lower) || cx::is_zero(upper)) return std::nullopt;
        const Complex la = *cx::ln(lower);
        const Complex lb = *cx::ln(upper);
        const Complex d{la.re - lb.re, la.im - lb.im};
        return Complex{0.0 * d.re - 0.5 * d.im, 0.5 * d.re + 0.0 * d.im};
    }
};

struct SquareTraits {
    static constexpr const char* type_name = "Square";
    static constexpr const char* name = "Square";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "{" A "}^2";
    static constexpr const char* python = "(" A ")**2";
    static std::optional<Complex> apply(const Complex* a) { return square_of(a[0]); }
};

struct CubeTraits {
    static constexpr const char* type_name = "Cube";
    static constexpr const char* name = "Cube";
    static constexpr std::uint8_t arity = 1;
    static constexpr bool commutative = false;
    static constexpr const char* latex = "{" A "}^3";
    static constexpr const char* python = "(" A ")**3";
    static std::optional<Complex> apply(const Complex* a) { return cx::mul(square_of(a[0]), a[0]); }
};

#undef A
#undef B

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
    ops.push_back(std::make_unique<ConstOp>("0", "0", "0", Complex{0.0, 0.0}));
    ops.push_back(std::make_unique<ConstOp>("1", "1", "1", Complex{1.0, 0.0}));
    ops.push_back(std::make_unique<ConstOp>("I", "i", "1j", Complex{0.0, 1.0}));
    ops.push_back(std::make_unique<ConstOp>("Pi", "\\pi", "np.pi", Complex{3.141592653589793, 0.0}));
    ops.push_back(std::make_unique<ConstOp>("E", "e", "np.e", Complex{2.718281828459045, 0.0}));
    return ops;
}

std::vector<OperatorPtr> all_builtins() {
    std::vector<OperatorPtr> ops;
    ops.push_back(std::make_unique<Builtin<VornTraits>>());
    ops.push_back(std::make_unique<Builtin<NegTraits>>());
    ops.push_back(std::make_unique<Builtin<InvTraits>>());
    ops.push_back(std::make_unique<Builtin<PlusTraits>>());
    ops.push_back(std::make_unique<Builtin<TimesTraits>>());
    ops.push_back(std::make_unique<Builtin<SubtractTraits>>());
    ops.push_back(std::make_unique<Builtin<DivideTraits>>());
    ops.push_back(std::make_unique<Builtin<ExpTraits>>());
    ops.push_back(std::make_unique<Builtin<LogTraits>>());
    ops.push_back(std::make_unique<Builtin<SqrtTraits>>());
    ops.push_back(std::make_unique<Builtin<SinTraits>>());
    ops.push_back(std::make_unique<Builtin<CosTraits>>());
    ops.push_back(std::make_unique<Builtin<TanTraits>>());
    ops.push_back(std::make_unique<Builtin<ArcSinTraits>>());
    ops.push_back(std::make_unique<Builtin<ArcCosTraits>>());
    ops.push_back(std::make_unique<Builtin<ArcTanTraits>>());
    ops.push_back(std::make_unique<Builtin<SquareTraits>>());
    ops.push_back(std::make_unique<Builtin<CubeTraits>>());
    return ops;
}

}  // namespace vorn
