// Constant refinement: the damped Gauss-Newton trajectory, its stopping rules,
// the penalty in the acceptance test, and the write-back into Param tokens.

#include <cmath>
#include <limits>
#include <vector>

#include "engine/optimizer.hpp"
#include "engine/scoring.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;

using Rows = std::vector<std::vector<double>>;
const Samples kFourEmptyRows = Samples::from_rows(Rows(4));  // no variables
const std::vector<double> kTwos(4, 2.0);

Refined refine(const Expression& e, std::size_t iterations, double alpha = 0.0, double l1_ratio = 0.5,
               const Samples& rows = kFourEmptyRows, const std::vector<double>& targets = kTwos) {
    return refine_constants(e, rows, targets, alpha, l1_ratio, builtins(), iterations);
}

// The fitted value of the Param token at `token`; refined values are real.
double fitted(const Refined& r, std::size_t token) {
    EXPECT_EQ(r.expression.tokens.at(token).kind, TokenKind::Param);
    EXPECT_TRUE(same_bits(r.expression.tokens.at(token).value.im, 0.0));
    return r.expression.tokens.at(token).value.re;
}

TEST(Refine, SingleConstantTrajectoryTowardTwo) {
    const Expression c = Expression::parameter();
    struct Step {
        std::size_t iterations;
        double value, tolerance, error_at_most;
    };
    // First step with J ≈ 1 on four rows: 0.1 + 4·1.9 / ((4 + 0.01) + 1e-6).
    const Step steps[] = {{1, 0.1 + 7.6 / 4.010001, 1e-9, 2.3e-5}, {2, 1.9999988, 1e-7, 1e-11},
                          {3, 2.0, 3e-11, 1e-20}};
    for (const Step& s : steps) {
        SCOPED_TRACE(s.iterations);
        const Refined r = refine(c, s.iterations);
        EXPECT_NEAR(fitted(r, 0), s.value, s.tolerance);
        EXPECT_LE(r.error, s.error_at_most);
        EXPECT_EQ(r.expression.text, "C");
    }
    EXPECT_NEAR(refine(c, 1).error, 2.2e-5, 0.1e-5);
    // The third improvement is below 1e-9, so a fourth iteration never runs.
    const Refined three = refine(c, 3), four = refine(c, 4);
    EXPECT_TRUE(same_bits(fitted(four, 0), fitted(three, 0)));
    EXPECT_TRUE(same_bits(four.error, three.error));
    EXPECT_TRUE(same_complex(c.tokens[0].value, {0.1, 0.0}));  // the input is untouched
    // Imaginary parts of starting values are ignored.
    const Refined tilted = refine(Expression::parameter({0.1, 7.0}), 2);
    EXPECT_TRUE(same_bits(fitted(tilted, 0), fitted(refine(c, 2), 0)));
}

TEST(Refine, ParametersWithoutEffectKeepTheirValues) {
    // Plus(C0, Times(C1, 0)): slot 1 has an all-zero Jacobian column.
    const Refined r = refine(expr({param(0), param(1, {0.37, 0}), zero(), op(Times), op(Plus)}), 30);
    EXPECT_NEAR(fitted(r, 0), 2.0, 1e-6);
    EXPECT_TRUE(same_bits(fitted(r, 1), 0.37));
    // Times(C, 0): every trial equals the start and is rejected.
    const Refined s = refine(expr({param(0), zero(), op(Times)}), 30);
    EXPECT_TRUE(same_bits(fitted(s, 0), 0.1));
    EXPECT_EQ(s.error, 4.0);
}

TEST(Refine, PenaltyCanRejectABetterFit) {
    // Error (p − 2)² + 3·|p| from p = 0.1: the trials at lambda 0.01, 0.1 and 1
    // (about 1.995, 1.954, 1.62) fit better but pay more penalty. A fourth, more
    // damped try (about 0.643) would be accepted, but three rejections end it.
    const Refined r = refine(Expression::parameter(), 30, 3.0, 1.0);
    EXPECT_TRUE(same_bits(fitted(r, 0), 0.1));
    EXPECT_DOUBLE_EQ(r.error, 1.9 * 1.9 + 3.0 * 0.1);
}

TEST(Refine, InfiniteErrorsAtTheStartAndAtTrials) {
    // Inv(C) from C = 0 cannot be evaluated; toward target 1 the first trial can.
    const Expression inv = expr({param(0, {0.0, 0.0}), op(Inv)});
    const std::vector<double> ones(4, 1.0);
    const Refined r = refine(inv, 1, 0, 0.5, kFourEmptyRows, ones);
    EXPECT_EQ(compute_raw_error(inv, kFourEmptyRows, ones, ops(), 0, 0.5, true), kInf);
    EXPECT_NE(fitted(r, 0), 0.0);
    EXPECT_TRUE(std::isfinite(r.error));
    EXPECT_EQ(r.error, compute_raw_error(r.expression, kFourEmptyRows, ones, ops(), 0, 0.5, true));
    // Toward 1e-4 the trial C ≈ 1e-16 gives 1e16, beyond the limit: never accepted.
    const Refined stuck = refine(inv, 30, 0, 0.5, kFourEmptyRows, std::vector<double>(4, 1e-4));
    EXPECT_TRUE(same_bits(fitted(stuck, 0), 0.0));
    EXPECT_EQ(stuck.error, kInf);
}

TEST(Refine, EachSlotIsWrittenBackToItsOwnToken) {
    // Plus(Times(v0, C0), Times(v1, C1)) on rows where the columns do not
    // interact, fitted to 3·v0 − 5·v1.
    const Expression e = expr({var(0), param(0), op(Times), var(1), param(1), op(Times), op(Plus)}, "t");
    const Refined r = refine(e, 30, 0, 0.5, Samples::from_rows(Rows{{1, 0}, {0, 1}, {2, 0}, {0, 2}}),
                             {3, -5, 6, -10});
    EXPECT_NEAR(fitted(r, 1), 3.0, 1e-4);
    EXPECT_NEAR(fitted(r, 4), -5.0, 1e-4);
    EXPECT_EQ(r.expression.tokens[4].param_slot, 1);
    EXPECT_EQ(r.expression.text, "t");
    EXPECT_EQ(r.expression.num_params, 2);
    // Without parameters: the expression's own error.
    Expression v = Expression::variable(0);
    const Refined plain = refine(v, 10, 0, 0.5, Samples::from_rows(Rows{{1}, {2}}), {1, 4});
    EXPECT_EQ(plain.error, 2.0);
    EXPECT_EQ(plain.expression.complexity(), 1u);
}

}  // namespace
}  // namespace vorn
