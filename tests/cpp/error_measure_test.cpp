// The error measure: the penalty's constants and order, the mean squared
// error's undefined rows and early rejection, and both through the raw error
// of a formula.

#include <optional>
#include <vector>

#include "engine/scoring.hpp"
#include "eval/error_measure.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;

using Rows = std::vector<std::vector<double>>;

TEST(ErrorMeasure, PenaltyOverRealConstsAndParams) {
    constexpr double kBig = 9007199254740992.0;  // 2^53: adding 1 to it rounds back
    struct Case {
        const char* name;
        std::vector<Token> tokens;
        std::vector<double> params;
        double alpha, l1_ratio, expected;
    };
    const std::vector<Case> cases = {
        // L1 = 5, L2 = 13: 0.5·((0.75·0.5)·13 + 5·0.25).
        {"given value replaces the default", {param(0, {100, 0}), Token::real_const(-3), op(Plus)}, {2.0},
         0.5, 0.25, 3.0625},
        // L1 = 103, L2 = 10009.
        {"default's real part", {param(0, {100, 7}), Token::real_const(-3), op(Plus)}, {}, 0.5, 0.25, 1889.5625},
        {"no weight", {param(0, {100, 0}), Token::real_const(-3), op(Plus)}, {2.0}, 0.0, 0.25, 0.0},
        {"variables and named constants are free", {var(0), zero(), op(Plus)}, {}, 1.0, 0.5, 0.0},
        // The L1 sum runs in token order, (1 + 2^53) + 1 = 2^53, whether a
        // constant is a RealConst or a Param; (1 + 1) + 2^53 would be 2^53 + 2.
        {"token order", {param(0), Token::real_const(kBig), op(Plus), param(1), op(Plus)}, {1.0, 1.0}, 1.0, 1.0,
         kBig},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(same_bits(penalty(c.tokens, c.params, c.alpha, c.l1_ratio), c.expected)) << c.name;
}

TEST(ErrorMeasure, MeanSquaredErrorStopsAtUndefinedRowsAndRejections) {
    const std::vector<std::optional<Complex>> values = {Complex{1, 5}, Complex{3, 0}, Complex{2, 0}};
    const std::vector<std::optional<Complex>> with_gap = {Complex{1, 0}, std::nullopt, Complex{2, 0}};
    const std::vector<double> zeros(3, 0.0);
    struct Case {
        const char* name;
        const std::vector<std::optional<Complex>>* values;
        std::optional<double> reject_at;
        double expected;
        std::size_t rows_read;
    };
    // (1 + 9 + 4) / 3 + 0.5, the imaginary part ignored.
    const double full = 14.0 / 3.0 + 0.5;
    const Case cases[] = {
        {"all rows", &values, std::nullopt, full, 3},
        {"undefined row", &with_gap, std::nullopt, kInf, 2},
        {"below the rejection", &values, full + 1e-9, full, 3},
        {"reaches it at the end", &values, full, kInf, 3},
        // 10/3 + 0.5 after two rows already reaches 3.8.
        {"reaches it early", &values, 3.8, kInf, 2},
    };
    for (const Case& c : cases) {
        std::size_t read = 0;
        const double error = mse(
            [&](std::size_t k) {
                ++read;
                return (*c.values)[k];
            },
            zeros, 0.5, c.reject_at);
        EXPECT_TRUE(same_bits(error, c.expected)) << c.name;
        EXPECT_EQ(read, c.rows_read) << c.name;
    }
}

TEST(ErrorMeasure, RawErrorOfAFormula) {
    struct Case {
        const char* name;
        Expression e;
        Rows rows;
        std::vector<double> targets;
        double alpha, expected;
    };
    const std::vector<Case> cases = {
        // Squares 1 and 9 over two rows.
        {"mean", expr({var(0), param(0, {0, 0}), op(Plus)}), {{1}, {3}}, {0, 0}, 0.0, 5.0},
        // The same plus 0.5·((0.5·0.5)·4 + 2·0.5).
        {"penalised", expr({var(0), param(0, {2, 0}), op(Plus)}), {{-1}, {1}}, {0, 0}, 0.5, 5.0 + 1.0},
        {"undefined row", expr({var(0), op(Inv)}), {{1}, {0}}, {1, 1}, 0.0, kInf},
        // Evaluation limits operator values; a leaf is limited here.
        {"leaf beyond the limit", Expression::variable(0), {{1}, {2e15}}, {0, 0}, 0.0, kInf},
        {"variable missing from a row", expr({var(1), var(0), op(Plus)}), {{1, 1}, {1}}, {0, 0}, 0.0, kInf},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(same_bits(compute_raw_error(c.e, Samples::from_rows(c.rows), c.targets, ops(), c.alpha, 0.5, true),
                              c.expected))
            << c.name;
}

}  // namespace
}  // namespace vorn
