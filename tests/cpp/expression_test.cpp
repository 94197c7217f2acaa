// The postfix stack machine: operand order, parameter fallback, the value
// limit on operator results (and not on leaves), and structural invalidity.

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

const double kBelowLimit = std::nextafter(1e15, 0.0);

std::optional<Complex> run(const std::vector<Token>& tokens, std::vector<Complex> inputs,
                           std::vector<Complex> params = {}) {
    return eval_with_params(expr(tokens), inputs, params, ops());
}

TEST(Expression, LeafBuildersAndTheEightBitVariableLimit) {
    const Expression v = Expression::variable(254);
    EXPECT_EQ(v.text, "v_{254}");
    EXPECT_EQ(v.num_vars, 255);
    EXPECT_EQ(v.tokens.at(0).var_index, 254);
    const Expression c = Expression::parameter();
    EXPECT_EQ(c.text, "C");
    EXPECT_EQ(c.num_params, 1);
    EXPECT_TRUE(same_complex(eval(c, {}, ops()), {0.1, 0.0}));
    // Index 255 would need num_vars 256; refusing beats wrapping to 0.
    for (std::size_t index : {255u, 256u, 511u}) EXPECT_THROW(Expression::variable(index), InternalError);
}

TEST(Expression, OperandsArriveInPushOrder) {
    EXPECT_TRUE(same_complex(run({var(0), param(0), op(Vorn)}, {{0, 0}}), {3.3025850929940455, 0}));
    EXPECT_TRUE(same_complex(run({var(0), var(1), op(Subtract)}, {{5, 0}, {3, 0}}), {2, 0}));
    EXPECT_TRUE(same_complex(run({var(1), var(0), op(Divide)}, {{3, 0}, {6, 0}}), {2, 0}));
}

TEST(Expression, ParametersFallBackToDefaultsPerSlot) {
    EXPECT_TRUE(same_complex(run({param(0)}, {}), {0.1, 0}));
    EXPECT_TRUE(same_complex(run({param(0)}, {}, {{2, 3}}), {2, 3}));
    const std::vector<Token> two = {param(0, {0.1, 0}), param(1, {0.7, 0}), op(Subtract)};
    EXPECT_TRUE(same_complex(run(two, {}, {{5, 0}}), {5 - 0.7, 0}));
    EXPECT_TRUE(same_complex(run(two, {}, {{5, 0}, {1, 0}}), {4, 0}));
    // Constant tokens push their stored value; the operator id is for rendering.
    EXPECT_TRUE(same_complex(run({Token::complex_const(Pi, {2, 5})}, {}), {2, 5}));
    EXPECT_TRUE(same_complex(run({Token::real_const(-1.5), var(0), op(Times)}, {{2, 1}}), {-3, -1.5}));
}

TEST(Expression, OperatorResultsMustStayStrictlyBelowTheLimit) {
    struct Case {
        Complex input;
        bool valid;
    };
    const Case cases[] = {
        {{1e15, 0}, false},       {{-1e15, 0}, false},      {{0, 1e15}, false},  {{0, -1e15}, false},
        {{kBelowLimit, 0}, true}, {{-kBelowLimit, 0}, true}, {{0, kBelowLimit}, true},
        {{1, kNaN}, false},       {{kNaN, 0}, false},       {{kInf, 0}, false},  {{0, -kInf}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.input.re << " + " << c.input.im << "i");
        EXPECT_EQ(run({var(0), op(Neg)}, {c.input}).has_value(), c.valid);
        // A leaf alone is exempt and comes back unchanged.
        const auto leaf = run({var(0)}, {c.input});
        ASSERT_TRUE(leaf);
        EXPECT_TRUE(same_complex(*leaf, c.input));
    }
    EXPECT_TRUE(same_complex(run({param(0, {1e300, kNaN})}, {}), {1e300, kNaN}));
}

TEST(Expression, AnyInvalidStepInvalidatesTheFormula) {
    const std::vector<Token> exp_v0 = {var(0), op(Exp)};
    EXPECT_TRUE(run(exp_v0, {{34.5, 0}}));
    EXPECT_FALSE(run(exp_v0, {{34.6, 0}}));
    EXPECT_FALSE(run({var(0), op(Exp), zero(), op(Times)}, {{34.6, 0}}));  // ×0 does not rescue it
    // cos(π/2) is not exactly zero: Tan yields ~1.633e16, then fails the limit.
    EXPECT_FALSE(run({var(0), op(Tan)}, {{1.5707963267948966, 0}}));
    EXPECT_TRUE(run({var(0), op(Tan)}, {{1.5, 0}}));
    EXPECT_FALSE(run({Token::real_const(1), var(0), op(Divide)}, {{1e-300, 0}}));
    const std::vector<std::vector<Token>> zero_divisors = {
        {var(0), var(0), var(0), op(Subtract), op(Divide)},
        {zero(), var(0), var(0), op(Subtract), op(Inv), op(Times)},
        {var(0), var(0), var(0), op(Subtract), op(Vorn), op(Sin)},
        {var(0), var(0), op(Subtract), op(Log), zero(), op(Plus)},
    };
    for (const auto& tokens : zero_divisors) EXPECT_FALSE(run(tokens, {{1, 0}}));
}

TEST(Expression, MalformedSequencesAreInvalid) {
    EXPECT_FALSE(run({}, {}));
    EXPECT_FALSE(run({var(0)}, {}));
    EXPECT_TRUE(same_complex(run({var(1)}, {{1, 0}, {7, 8}}), {7, 8}));
    EXPECT_FALSE(run({var(2)}, {{1, 0}, {7, 8}}));
    EXPECT_FALSE(run({var(0), var(0)}, {{1, 0}}));
    EXPECT_FALSE(run({var(0), op(Plus)}, {{1, 0}}));
    EXPECT_FALSE(run({op(Plus)}, {}));
}

TEST(Expression, OperatorIdOutsideTheTableIsAnInternalError) {
    EXPECT_THROW(run({var(0), Token::op(1, Count)}, {{1, 0}}), InternalError);
    EXPECT_THROW(run({Token::op(0, 60000)}, {}), InternalError);
    EXPECT_THROW(run({Token::op(0, Sin)}, {}), InternalError);  // an operator short of its operands
    // A sequence that went wrong before the bad token has no value.
    EXPECT_FALSE(run({op(Plus), Token::op(1, Count)}, {}));
}

// One compiled formula and one stack reused across sequences of different
// depth, variables and validity: nothing of an earlier sequence may linger.
TEST(CompiledFormula, RecompilingReplacesEverything) {
    struct Case {
        std::vector<Token> tokens;
        std::vector<Complex> inputs;
        std::optional<Complex> expected;
    };
    const Case cases[] = {
        {{var(0), var(1), var(2), op(Times), op(Plus)}, {{1, 0}, {2, 0}, {3, 1}}, Complex{7, 2}},
        {{var(0), var(0)}, {{1, 0}}, std::nullopt},
        {{Token::real_const(2)}, {}, Complex{2, 0}},
        {{var(2)}, {{1, 0}, {2, 0}}, std::nullopt},
        {{param(0, {4, 0}), op(Sqrt)}, {}, Complex{2, 0}},
        {{op(Neg)}, {}, std::nullopt},
        {{var(0), op(Neg)}, {{1, 0}}, Complex{-1, -0.0}},
    };
    CompiledFormula formula;
    std::vector<Complex> stack;
    for (const Case& c : cases) {
        formula.compile(c.tokens, ops());
        const auto value = formula.eval(std::span<const Complex>(c.inputs), {}, stack);
        if (c.expected) {
            EXPECT_TRUE(same_complex(value, *c.expected));
        } else {
            EXPECT_FALSE(value);
        }
    }
}

TEST(CompiledFormula, DataRowsReadAsRealWithPositiveZero) {
    struct Case {
        std::size_t op_id;
        double x;
        Complex expected;
    };
    const Case cases[] = {{Sqrt, -4, {0, 2}}, {Log, -1, {0, 3.141592653589793}}, {Neg, 0, {-0.0, -0.0}}};
    std::vector<Complex> stack;
    for (const Case& c : cases) {
        const CompiledFormula formula(std::vector<Token>{var(0), op(c.op_id)}, ops());
        const double row[1] = {c.x};
        EXPECT_TRUE(same_complex(formula.eval(std::span<const double>(row), {}, stack), c.expected));
    }
}

}  // namespace
}  // namespace vorn
