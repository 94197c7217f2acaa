// The real-axis kernels against their complex twins, bit for bit: wherever a
// real kernel accepts, the complex kernel must give that real part and a zero
// imaginary part for either sign of the operands' imaginary zeros.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "core/expression.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using test::kInf;
using test::kNaN;
using test::ops;
using test::same_bits;

std::vector<double> special_values() {
    std::vector<double> out;
    const double positive[] = {0.0,     5e-324,   DBL_MIN,  1e-310,  1e-200, 1e-160, 1e-8,   0.5,
                               std::nextafter(1.0, 0.0), 1.0, std::nextafter(1.0, 2.0), 1.5707963267948966,
                               3.141592653589793, 3.0, 2.718281828459045, 700.0, 709.7, 710.0, 745.5,
                               1e10,    std::nextafter(1e15, 0.0), 1e15, std::nextafter(1e15, 2e15),
                               1e154,   1.5e154,  1e300,    DBL_MAX, kInf,   kNaN};
    for (const double v : positive) {
        out.push_back(v);
        out.push_back(-v);
    }
    return out;
}

// Moderate values, and values of every magnitude with either sign.
std::vector<double> random_values(std::mt19937_64& rng, std::size_t count) {
    std::uniform_real_distribution<double> unit(-3.0, 3.0), exponent(-320.0, 308.0);
    std::vector<double> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(i % 2 ? unit(rng) : std::copysign(std::pow(10.0, exponent(rng)), unit(rng)));
    return out;
}

struct Checked {
    int accepted = 0;
};

// One input, every sign of the imaginary zeros.
void check_one(const Operator& op, double x, double y, Checked& tally) {
    const double operands[2] = {x, y};
    double out = 0.0;
    const bool accepted = op.real_kernel()(operands, out);
    if (!accepted) return;
    ++tally.accepted;
    for (const double sx : {0.0, -0.0}) {
        for (const double sy : {0.0, -0.0}) {
            const Complex z[2] = {{x, sx}, {y, sy}};
            const auto v = op.eval(std::span<const Complex>(z, op.arity()));
            if (within_value_limit({out, 0.0})) {
                ASSERT_TRUE(v.has_value()) << op.name() << "(" << x << ", " << y << ")";
                ASSERT_TRUE(same_bits(v->re, out)) << op.name() << "(" << x << ", " << y << ")";
                ASSERT_EQ(v->im, 0.0) << op.name() << "(" << x << ", " << y << ")";
            } else {
                ASSERT_TRUE(!v || !within_value_limit(*v)) << op.name() << "(" << x << ", " << y << ")";
            }
        }
    }
}

// The rows kernel promises the one-row kernel's value wherever it writes a
// value other than zero within the limit.
void check_rows(const Operator& op, const std::vector<double>& xs, const std::vector<double>& ys) {
    std::vector<double> out(xs.size());
    const double* operands[2] = {xs.data(), ys.data()};
    op.real_rows_kernel()(operands, out.data(), xs.size());
    for (std::size_t r = 0; r < xs.size(); ++r) {
        if (!(std::fabs(out[r]) > 0.0 && std::fabs(out[r]) < kValueLimit)) continue;
        const double row[2] = {xs[r], ys[r]};
        double one = 0.0;
        ASSERT_TRUE(op.real_kernel()(row, one)) << op.name() << "(" << xs[r] << ", " << ys[r] << ")";
        ASSERT_TRUE(same_bits(out[r], one)) << op.name() << "(" << xs[r] << ", " << ys[r] << ")";
    }
}

TEST(RealKernels, MatchTheComplexKernelsBitForBit) {
    std::mt19937_64 rng(19);
    const std::vector<double> special = special_values();
    const std::vector<double> random = random_values(rng, 20000);
    std::uniform_real_distribution<double> moderate(0.05, 0.95);
    for (std::size_t id = op_ids::Vorn; id < op_ids::Count; ++id) {
        const Operator& op = *ops()[id];
        SCOPED_TRACE(std::string(op.name()));
        ASSERT_NE(op.real_kernel(), nullptr);
        ASSERT_NE(op.real_rows_kernel(), nullptr);
        std::vector<double> xs, ys;
        const auto add = [&](double x, double y) {
            xs.push_back(x);
            ys.push_back(op.arity() == 2 ? y : 0.0);
        };
        for (const double x : special)
            for (const double y : special) add(x, y);
        for (std::size_t i = 0; i < random.size(); ++i) {
            add(random[i], random[(i * 7919 + 1) % random.size()]);
            add(special[i % special.size()], random[i]);
            add(random[i], special[i % special.size()]);
        }
        Checked tally;
        for (std::size_t r = 0; r < xs.size(); ++r) {
            check_one(op, xs[r], ys[r], tally);
            if (testing::Test::HasFatalFailure()) return;
        }
        check_rows(op, xs, ys);

        // A kernel that declined everything would pass the above: on the
        // real axis, inside every domain, all of them must accept, and
        // ArcSin and ArcCos wherever the modulus they take comes out 1.
        int accepted = 0;
        for (int i = 0; i < 1000; ++i) {
            const double operands[2] = {moderate(rng), moderate(rng)};
            double out = 0.0;
            accepted += op.real_kernel()(operands, out);
        }
        if (id == op_ids::ArcSin || id == op_ids::ArcCos)
            EXPECT_GT(accepted, 100);
        else
            EXPECT_EQ(accepted, 1000);
        EXPECT_GT(tally.accepted, 1000);
    }
}

}  // namespace
}  // namespace vorn
