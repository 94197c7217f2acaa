// Search results: evaluation at new points and the LaTeX / Python renderings.

#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/internal_error.hpp"
#include "engine/optimizer.hpp"
#include "result/search_result.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;


SearchResult result_of(std::vector<Token> tokens, std::string text = "") {
    return SearchResult{expr(std::move(tokens), std::move(text)), OperatorRegistry::shared_builtins(), 0.0};
}

TEST(ResultEval, SinglePoint) {
    struct Case {
        const char* what;
        std::vector<Token> tokens;
        std::vector<double> inputs;
        double expected;
    };
    const Case cases[] = {
        {"v0 at 3", {var(0)}, {3.0}, 3.0},
        {"v0 without inputs", {var(0)}, {}, kNaN},
        {"leaves pass infinities through", {var(0)}, {kInf}, kInf},
        {"v1 with one input", {var(1)}, {1.0}, kNaN},
        {"imaginary part dropped", {var(0), op(Log)}, {-1.0}, 0.0},
        {"Vorn(v0, v1) at (0, -1)", {var(0), var(1), op(Vorn)}, {0.0, -1.0}, 1.0},
        {"division by zero", {var(0), var(0), op(Divide)}, {0.0}, kNaN},
        {"parameter default", {var(0), param(0, {2.5, 4.0}), op(Times)}, {2.0}, 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(same_bits(result_of(c.tokens).eval_at(c.inputs), c.expected));
    }
}

TEST(ResultEval, BatchKeepsOneValuePerRowInOrder) {
    const auto inv = result_of({var(0), op(Inv)}).eval_batch(Samples::matrix({2.0, 0.0, 4.0}, 3, 1));
    ASSERT_EQ(inv.size(), 3u);
    EXPECT_EQ(inv[0], 0.5);
    EXPECT_TRUE(std::isnan(inv[1]));
    EXPECT_EQ(inv[2], 0.25);
    EXPECT_TRUE(result_of({var(0)}).eval_batch(Samples()).empty());
    // Matrix rows are consecutive runs of `width` values.
    const auto minus = result_of({var(0), var(1), op(Subtract)}).eval_batch(Samples::matrix({1, 2, 3, 7}, 2, 2));
    ASSERT_EQ(minus.size(), 2u);
    EXPECT_EQ(minus[0], -1.0);
    EXPECT_EQ(minus[1], -4.0);
    // Zero-width rows still give one value each.
    const auto empty_rows = result_of({var(0)}).eval_batch(Samples::matrix({}, 2, 0));
    ASSERT_EQ(empty_rows.size(), 2u);
    EXPECT_TRUE(std::isnan(empty_rows[0]) && std::isnan(empty_rows[1]));
    // Rows of different lengths, each evaluated on its own.
    const auto plus = result_of({var(0), var(1), op(Plus)}).eval_batch(
        Samples::ragged({1, 2, 1, 3, 4, 5}, {0, 2, 3, 6}));
    ASSERT_EQ(plus.size(), 3u);
    EXPECT_EQ(plus[0], 3.0);
    EXPECT_TRUE(std::isnan(plus[1]));
    EXPECT_EQ(plus[2], 7.0);
}

TEST(Rendering, FixedFourDecimals) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {3.14159265, "3.1416"}, {-0.5, "-0.5000"}, {100000.0, "100000.0000"}, {kNaN, "NaN"},
        {-kNaN, "NaN"},         {kInf, "inf"},     {-kInf, "-inf"},           {0.0, "0.0000"},
        {1e20, "100000000000000000000.0000"},      {123456789.123456, "123456789.1235"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_fixed4(c.value), c.text);
    // Never exponent notation, however large: 309 integer digits.
    const std::string max = format_fixed4(-DBL_MAX);
    EXPECT_EQ(max.size(), 1u + 309u + 5u);
    EXPECT_EQ(max.find_first_of("eE"), std::string::npos);
}

TEST(Rendering, FormulaWalk) {
    struct Case {
        const char* what;
        std::vector<Token> tokens;
        const char *latex, *python;
    };
    const Case cases[] = {
        {"variable", {var(0)}, "v_{0}", "v_{0}"},
        {"seed constant", {param(0)}, "0.1000", "0.1000"},
        {"complex default shows its real part", {param(0, {3.14159265, 9})}, "3.1416", "3.1416"},
        {"RealConst NaN", {Token::real_const(kNaN)}, "NaN", "NaN"},
        {"named constants", {Token::complex_const(I, {0, 1}), Token::complex_const(E, {}), op(Plus)},
         "i + e", "(1j)+(np.e)"},
        {"Plus(v0, 2.5)", {var(0), param(0, {2.5, 0}), op(Plus)}, "v_{0} + 2.5000", "(v_{0})+(2.5000)"},
        {"operand order", {var(0), var(12), op(Subtract)}, "v_{0} - v_{12}", "(v_{0})-(v_{12})"},
        {"nested", {var(0), op(Sin), param(0, {-0.5, 0}), op(Square), op(Divide)},
         "\\frac{\\sin(v_{0})}{{-0.5000}^2}", "((np.sin(v_{0}))/((-0.5000)**2))"},
        {"Vorn of compositions",
         {Token::complex_const(Pi, {}), var(1), op(Times), Token::real_const(1e5), op(Neg), op(Vorn)},
         "e^{\\pi \\cdot v_{1}} - \\ln((-(100000.0000)))",
         "(np.exp((np.pi)*(v_{1})) - np.log((-(100000.0000))))"},
        {"too few texts: the operator gets what is there", {var(3), op(Plus)}, "v_{3} + ", "(v_{3})+()"},
        {"leftover texts: the top one wins", {var(0), var(1)}, "v_{1}", "v_{1}"},
        {"empty", {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SearchResult r = result_of(c.tokens);
        EXPECT_EQ(r.to_latex(), c.latex);
        EXPECT_EQ(r.to_python(), c.python);
    }
}

TEST(Rendering, IdsOutsideTheTableAreInternalErrors) {
    EXPECT_THROW(result_of({var(0), var(1), Token::op(2, Count)}).to_latex(), InternalError);
    EXPECT_THROW(result_of({var(0), Token::op(1, 1000)}).to_python(), InternalError);
    EXPECT_THROW(result_of({Token::complex_const(Count, {})}).to_python(), InternalError);
}

TEST(Rendering, RefinedConstantsShowInRenderingsButNotInTheFormulaText) {
    const Expression plus = expr({var(0), param(0), op(Plus)}, "Plus(v_{0}, C)");
    const auto registry = OperatorRegistry::shared_builtins();
    const Refined refined = refine_constants(plus, Samples::from_rows(std::vector<std::vector<double>>{{0}, {1}, {2}}),
                                             std::vector<double>{2.5, 3.5, 4.5}, 0.0, 0.5, *registry, 30);
    const SearchResult r{refined.expression, registry, refined.error};
    EXPECT_EQ(r.formula(), "Plus(v_{0}, C)");
    EXPECT_EQ(r.to_latex(), "v_{0} + 2.5000");
    EXPECT_EQ(r.to_python(), "(v_{0})+(2.5000)");
}

}  // namespace
}  // namespace vorn
