// The operator table: ids, metadata, renderings and the complex arithmetic of
// every built-in, down to the last bit and the sign of zero.

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "eval/interpreter.hpp"
#include "core/internal_error.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;

constexpr double kPi = 3.141592653589793;

struct OperatorRow {
    std::size_t id;
    const char *type, *name;  // debug form, formula name
    unsigned arity;
    bool commutative;
    const char *latex, *python, *mathematica;  // operands "a" and "b"
};
const OperatorRow kOperators[] = {
    {Zero, "ConstOp", "0", 0, false, "0", "0", "0"},
    {One, "ConstOp", "1", 0, false, "1", "1", "1"},
    {I, "ConstOp", "I", 0, false, "i", "1j", "I"},
    {Pi, "ConstOp", "Pi", 0, false, "\\pi", "np.pi", "Pi"},
    {E, "ConstOp", "E", 0, false, "e", "np.e", "E"},
    {Vorn, "Vorn", "VORN", 2, false, "e^{a} - \\ln(b)", "(np.exp(a) - np.log(b))", "VORN[a, b]"},
    {Neg, "Neg", "Neg", 1, false, "(-(a))", "(-(a))", "Neg[a]"},
    {Inv, "Inv", "Inv", 1, false, "\\frac{1}{a}", "(1/(a))", "Inv[a]"},
    {Plus, "Plus", "Plus", 2, true, "a + b", "(a)+(b)", "Plus[a, b]"},
    {Times, "Times", "Times", 2, true, "a \\cdot b", "(a)*(b)", "Times[a, b]"},
    {Subtract, "Subtract", "Subtract", 2, false, "a - b", "(a)-(b)", "Subtract[a, b]"},
    {Divide, "Divide", "Divide", 2, false, "\\frac{a}{b}", "((a)/(b))", "Divide[a, b]"},
    {Exp, "Exp", "Exp", 1, false, "e^{a}", "np.exp(a)", "Exp[a]"},
    {Log, "Log", "Log", 1, false, "\\ln(a)", "np.log(a)", "Log[a]"},
    {Sqrt, "Sqrt", "Sqrt", 1, false, "\\sqrt{a}", "np.sqrt(a)", "Sqrt[a]"},
    {Sin, "Sin", "Sin", 1, false, "\\sin(a)", "np.sin(a)", "Sin[a]"},
    {Cos, "Cos", "Cos", 1, false, "\\cos(a)", "np.cos(a)", "Cos[a]"},
    {Tan, "Tan", "Tan", 1, false, "\\tan(a)", "np.tan(a)", "Tan[a]"},
    {ArcSin, "ArcSin", "ArcSin", 1, false, "\\arcsin(a)", "np.arcsin(a)", "ArcSin[a]"},
    {ArcCos, "ArcCos", "ArcCos", 1, false, "\\arccos(a)", "np.arccos(a)", "ArcCos[a]"},
    {ArcTan, "ArcTan", "ArcTan", 1, false, "\\arctan(a)", "np.arctan(a)", "ArcTan[a]"},
    {Square, "Square", "Square", 1, false, "{a}^2", "(a)**2", "Square[a]"},
    {Cube, "Cube", "Cube", 1, false, "{a}^3", "(a)**3", "Cube[a]"},
};

TEST(Registry, BuiltinIdsMetasAndRenderings) {
    ASSERT_EQ(builtins().size(), 23u);
    ASSERT_EQ(builtins().metas().size(), 23u);
    const std::vector<std::string_view> operands = {"a", "b"};
    for (const OperatorRow& row : kOperators) {
        SCOPED_TRACE(row.name);
        const OperatorMeta& meta = builtins().metas()[row.id];
        EXPECT_EQ(meta.name, row.name);
        EXPECT_EQ(meta.arity, row.arity);
        EXPECT_EQ(meta.is_commutative, row.commutative);
        const Operator& op = *ops()[row.id];
        // Constants ignore any operands they are handed.
        const std::span<const std::string_view> args(operands.data(), row.arity ? row.arity : 2);
        EXPECT_EQ(op.to_latex(args), row.latex);
        EXPECT_EQ(op.to_python(args), row.python);
        EXPECT_EQ(op.to_mathematica(args.first(row.arity)), row.mathematica);
        std::string debug;
        EXPECT_TRUE(op.fmt(debug));
        EXPECT_EQ(row.arity ? debug : debug.substr(0, 7), row.type);
    }
    EXPECT_EQ(ops()[Sin]->to_mathematica({}), "Sin");
}

TEST(Registry, IdsByArity) {
    using Ids = std::vector<std::size_t>;
    EXPECT_EQ(builtins().ids_by_arity(0), (Ids{0, 1, 2, 3, 4}));
    EXPECT_EQ(builtins().ids_by_arity(1), (Ids{6, 7, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}));
    EXPECT_EQ(builtins().ids_by_arity(2), (Ids{5, 8, 9, 10, 11}));
    EXPECT_TRUE(builtins().ids_by_arity(3).empty());
    EXPECT_TRUE(builtins().ids_by_arity(255).empty());
}

// An extra operator relying on the default is_commutative and to_mathematica.
class Probe final : public Operator {
public:
    Probe(const char* name, std::uint8_t arity) : name_(name), arity_(arity) {}
    bool fmt(std::string&) const override { return true; }
    std::string_view name() const override { return name_; }
    std::uint8_t arity() const override { return arity_; }
    std::optional<Complex> eval(std::span<const Complex>) const override { return Complex{}; }
    std::string to_latex(std::span<const std::string_view>) const override { return ""; }
    std::string to_python(std::span<const std::string_view>) const override { return ""; }

private:
    const char* name_;
    std::uint8_t arity_;
};

TEST(Registry, RegisteringMoreOperatorsAppendsThem) {
    OperatorRegistry r = OperatorRegistry::with_builtins();
    r.register_operator(std::make_unique<Probe>("F", 3));
    r.register_operator(std::make_unique<Probe>("Sin", 1));  // duplicate names are kept
    ASSERT_EQ(r.metas().size(), 25u);
    EXPECT_EQ(r.metas()[23].name, "F");
    EXPECT_EQ(r.metas()[24].name, "Sin");
    EXPECT_FALSE(r.metas()[23].is_commutative);
    EXPECT_EQ(r.ids_by_arity(3), std::vector<std::size_t>{23});
    EXPECT_EQ(r.ids_by_arity(1).size(), 14u);
    EXPECT_EQ(r.ids_by_arity(1).back(), 24u);
    const std::vector<std::string_view> three = {"a", "b", "c"};
    EXPECT_EQ(r.operators()[23]->to_mathematica(three), "F[a, b, c]");
}

TEST(Registry, TooFewOperandsIsAnInternalError) {
    const std::vector<Complex> one = {{1, 0}};
    for (std::size_t id : {Vorn, Plus, Divide, Neg, Log, ArcTan, Cube}) {
        SCOPED_TRACE(id);
        EXPECT_THROW(ops()[id]->eval(std::span<const Complex>(one).first(ops()[id]->arity() - 1u)),
                     InternalError);
    }
}

struct EvalCase {
    const char* what;
    std::size_t id;
    std::vector<Complex> operands;
    std::optional<Complex> expected;  // nullopt: no value
    double tolerance = 0.0;           // 0: bit-exact, signed zeros included
};
const double kAsinh2 = 1.3169578969248166;  // ln(2 + sqrt 3)
const EvalCase kEvalCases[] = {
    {"Vorn(0,1)", Vorn, {{0, 0}, {1, 0}}, Complex{1, 0}},
    {"Vorn(1,e)", Vorn, {{1, 0}, {2.718281828459045, 0}}, Complex{1.7182818284590451, 0}},
    {"Vorn(2,-1+0i)", Vorn, {{2, 0}, {-1, 0}}, Complex{7.3890560989306504, -kPi}},
    {"Vorn(0,-1-0i)", Vorn, {{0, 0}, {-1, -0.0}}, Complex{1, kPi}},
    {"Vorn(1,0)", Vorn, {{1, 0}, {0, 0}}, std::nullopt},
    {"Vorn(1,-0-0i)", Vorn, {{1, 0}, {-0.0, -0.0}}, std::nullopt},
    {"Neg(0)", Neg, {{0, 0}}, Complex{-0.0, -0.0}},
    {"Inv(0)", Inv, {{0, 0}}, std::nullopt},
    {"Inv(-0)", Inv, {{-0.0, -0.0}}, std::nullopt},
    {"Inv(i)", Inv, {{0, 1}}, Complex{0, -1}},
    {"Plus keeps -0", Plus, {{1, -0.0}, {2, -0.0}}, Complex{3, -0.0}},
    {"Times(1+2i,3+4i)", Times, {{1, 2}, {3, 4}}, Complex{-5, 10}},
    {"Divide(1,0)", Divide, {{1, 0}, {0, 0}}, std::nullopt},
    {"Divide(0,0)", Divide, {{0, 0}, {0, 0}}, std::nullopt},
    // |v|² underflows to 0 after the guard has passed: a value, though not finite.
    {"Divide(1,1e-300)", Divide, {{1, 0}, {1e-300, 0}}, Complex{kInf, kNaN}},
    {"Divide(1,NaN)", Divide, {{1, 0}, {kNaN, 0}}, Complex{kNaN, kNaN}},  // NaN is not zero
    {"Exp(34.5)", Exp, {{34.5, 0}}, Complex{9.62e14, 0}, 1e-3},
    {"Exp(34.6)", Exp, {{34.6, 0}}, Complex{1.0631e15, 0}, 1e-3},
    {"Exp(-inf+inf i)", Exp, {{-kInf, kInf}}, Complex{0, 0}},
    {"Exp(-inf+NaN i)", Exp, {{-kInf, kNaN}}, Complex{0, 0}},
    {"Exp(-inf+1i)", Exp, {{-kInf, 1}}, Complex{0, 0}},
    {"Exp(inf-0i)", Exp, {{kInf, -0.0}}, Complex{kInf, -0.0}},
    {"Exp(inf+inf i)", Exp, {{kInf, kInf}}, Complex{kInf, kNaN}},
    {"Exp(inf+NaN i)", Exp, {{kInf, kNaN}}, Complex{kInf, kNaN}},
    {"Exp(NaN-0i)", Exp, {{kNaN, -0.0}}, Complex{kNaN, -0.0}},
    {"Log(-1+0i)", Log, {{-1, 0}}, Complex{0, kPi}},
    {"Log(-1-0i)", Log, {{-1, -0.0}}, Complex{0, -kPi}},
    {"Log(0)", Log, {{0, 0}}, std::nullopt},
    {"Log(1e-320)", Log, {{1e-320, 0}}, Complex{-736.83, 0}, 1e-4},
    {"Sqrt(-4+0i)", Sqrt, {{-4, 0}}, Complex{0, 2}},
    {"Sqrt(-4-0i)", Sqrt, {{-4, -0.0}}, Complex{0, -2}},
    {"Sqrt(4-0i)", Sqrt, {{4, -0.0}}, Complex{2, -0.0}},
    {"Sqrt(-0+0i)", Sqrt, {{-0.0, 0}}, Complex{0, 0}},
    {"Sqrt(0+2i)", Sqrt, {{0, 2}}, Complex{1, 1}},
    {"Sqrt(-0-2i)", Sqrt, {{-0.0, -2}}, Complex{1, -1}},
    {"Sqrt(-3-4i)", Sqrt, {{-3, -4}}, Complex{1, -2}, 1e-15},
    {"Sin(i)", Sin, {{0, 1}}, Complex{0, 1.1752011936438014}, 1e-15},
    {"Cos(0)", Cos, {{0, 0}}, Complex{1, -0.0}},
    {"Tan(0)", Tan, {{0, 0}}, Complex{0, 0}},
    {"Tan(pi/2)", Tan, {{1.5707963267948966, 0}}, Complex{1.633123935319537e16, 0}, 1e-12},
    {"ArcSin(0.5)", ArcSin, {{0.5, 0}}, Complex{0.5235987755982989, -0.0}},
    {"ArcSin(2)", ArcSin, {{2, 0}}, Complex{1.5707963267948966, -kAsinh2}},
    // One unit in the last place below the correctly rounded acos(0.5).
    {"ArcCos(0.5)", ArcCos, {{0.5, 0}}, Complex{1.0471975511965976, 0}},
    {"ArcCos(2)", ArcCos, {{2, 0}}, Complex{0, kAsinh2}},
    {"ArcTan(0)", ArcTan, {{0, 0}}, Complex{0, 0}},
    {"ArcTan(1)", ArcTan, {{1, 0}}, Complex{0.78539816339744828, 0}},
    {"ArcTan(2i)", ArcTan, {{0, 2}}, Complex{1.5707963267948966, 0.5493061443340549}, 1e-15},
    {"ArcTan(i)", ArcTan, {{0, 1}}, std::nullopt},
    {"ArcTan(-i)", ArcTan, {{0, -1}}, std::nullopt},
    {"Square(1+2i)", Square, {{1, 2}}, Complex{-3, 4}},
    {"Cube(i)", Cube, {{0, 1}}, Complex{-0.0, -1}},
    {"Pi", Pi, {}, Complex{kPi, 0}},
    {"I", I, {}, Complex{0, 1}},
};

TEST(BuiltinEval, ValuesGuardsBranchCutsAndSignedZeros) {
    const auto near = [](double got, double want, double tol) {
        return std::fabs(got - want) <= tol * std::max(1.0, std::fabs(want));
    };
    const auto check = [&](const EvalCase& c, const std::optional<Complex>& value) {
        ASSERT_EQ(value.has_value(), c.expected.has_value());
        if (!value) return;
        if (c.tolerance == 0.0) {
            EXPECT_TRUE(same_complex(*value, *c.expected));
        } else {
            EXPECT_TRUE(near(value->re, c.expected->re, c.tolerance)) << value->re;
            EXPECT_TRUE(near(value->im, c.expected->im, c.tolerance)) << value->im;
        }
    };
    for (const EvalCase& c : kEvalCases) {
        SCOPED_TRACE(c.what);
        const Operator& op = *ops()[c.id];
        check(c, op.eval(c.operands));
        // Evaluation calls the kernel, which every built-in operator has.
        if (op.arity() == 0) continue;
        const Operator::Kernel kernel = op.kernel();
        ASSERT_NE(kernel, nullptr);
        Complex out;
        const bool defined = kernel(c.operands.data(), out);
        check(c, defined ? std::optional<Complex>(out) : std::nullopt);
    }
}

}  // namespace
}  // namespace vorn
