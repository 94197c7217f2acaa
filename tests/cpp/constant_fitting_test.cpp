// Levenberg–Marquardt fitting: coupled constants reach rounding level from a
// fresh leaf's value, the tape and plain evaluation agree bit for bit, and the
// reported error is the error of the returned constants.

#include <cmath>
#include <vector>

#include "engine/constant_fitting.hpp"
#include "engine/scoring.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;

struct Case {
    const char* name;
    std::vector<Token> tokens;   // constants start at 0.1
    std::vector<double> truth;   // the constants the targets come from
};

std::vector<Case> cases() {
    return {
        {"C*(s+C)", {param(0), var(0), param(1), op(Plus), op(Times)}, {0.5, 1.0}},
        {"C/(s-C)", {param(0), var(0), param(1), op(Subtract), op(Divide)}, {1.0, 1.0}},
        {"C*exp(C*s)", {param(0), param(1), var(0), op(Times), op(Exp), op(Times)}, {2.5, -0.7}},
        {"C/(s^2+C)", {param(0), var(0), op(Square), param(1), op(Plus), op(Divide)}, {3.0, 1.5}},
    };
}

struct Data {
    Samples rows;
    std::vector<double> targets;
};

Data sample(const Case& c) {
    std::vector<std::vector<double>> table;
    for (int i = 0; i < 60; ++i) table.push_back({1.5 + 3.5 * i / 59.0});
    Data d{Samples::from_rows(table), {}};
    std::vector<Complex> truth;
    for (const double v : c.truth) truth.push_back({v, 0.0});
    std::vector<Complex> stack;
    for (std::size_t k = 0; k < d.rows.size(); ++k)
        d.targets.push_back(CompiledFormula(c.tokens, ops()).eval(d.rows.row(k), truth, stack)->re);
    return d;
}

class Fit : public ::testing::TestWithParam<Case> {};

TEST_P(Fit, CoupledConstantsReachRoundingLevelAndTapeMatchesPlain) {
    const Case& c = GetParam();
    const Data d = sample(c);
    const FitBudget budget{20, 3, exact_error_of(d.targets)};
    std::vector<double> tape_fit, plain_fit;
    const RefinedError tape = fit_constants_lm(c.tokens, d.rows, d.targets, 0.0, 0.5, ops(), true, budget, tape_fit);
    const RefinedError plain = fit_constants_lm(c.tokens, d.rows, d.targets, 0.0, 0.5, ops(), false, budget, plain_fit);
    EXPECT_LE(tape.error, budget.exact_error);
    for (std::size_t j = 0; j < c.truth.size(); ++j) EXPECT_NEAR(tape_fit[j], c.truth[j], 1e-9) << j;
    EXPECT_TRUE(same_bits(tape.error, plain.error));
    EXPECT_EQ(tape_fit, plain_fit);
    // The error is that of the returned constants.
    Expression fitted = expr(c.tokens);
    write_fitted(fitted.tokens, tape_fit);
    EXPECT_TRUE(same_bits(tape.error, compute_raw_error(fitted, d.rows, d.targets, ops(), 0.0, 0.5, true)));
}

INSTANTIATE_TEST_SUITE_P(Laws, Fit, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(Fit, NeverWorseThanTheStartAndConstantsWithoutEffectStay) {
    // The second constant multiplies zero: its column is all zero.
    const std::vector<Token> tokens = {param(0, {2.0, 0.0}), param(1, {0.7, 0.0}), zero(), op(Times), op(Plus)};
    const Samples rows = Samples::from_rows(std::vector<std::vector<double>>(4));
    const std::vector<double> targets(4, 2.0);
    std::vector<double> fitted;
    const RefinedError out =
        fit_constants_lm(tokens, rows, targets, 0.0, 0.5, ops(), true, FitBudget{20, 3, 0.0}, fitted);
    EXPECT_LE(out.error, out.start_error);
    EXPECT_EQ(out.start_error, 0.0);
    EXPECT_EQ(fitted, (std::vector<double>{2.0, 0.7}));
}

}  // namespace
}  // namespace vorn
