// The fingerprint: probe inputs, quantisation and which formulas share a key.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "eval/fingerprint.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using namespace vorn::test;
using namespace vorn::op_ids;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
using Pairs = std::array<std::int64_t, 10>;

std::optional<FingerprintKey> key_of(std::vector<Token> tokens) {
    return fingerprint(expr(std::move(tokens)), ops());
}

TEST(Fingerprint, LeavesReadTheRotatedProbes) {
    // The probes quantised: 5772156649, 12824271291, 16180339887, 6931471806, 12020569032.
    EXPECT_EQ(key_of({var(0)}).value().values, (Pairs{5772156649, 0, 12824271291, 1000000000, 16180339887, 0,
                                               6931471806, 1000000000, 12020569032, 0}));
    EXPECT_EQ(key_of({var(2)}).value().values, (Pairs{16180339887, 0, 6931471806, 3000000000, 12020569032, 0,
                                               5772156649, 3000000000, 12824271291, 0}));
    EXPECT_EQ(key_of({param(0)}).value().values,
              (Pairs{1000000000, 0, 1000000000, 0, 1000000000, 0, 1000000000, 0, 1000000000, 0}));
    // The imaginary step is (j + 1) × 0.1 in doubles, not the double nearest 0.3.
    EXPECT_TRUE(same_bits(probe_input(1, 2).im, 3.0 * 0.1));
}

TEST(Fingerprint, KeyEquality) {
    struct Case {
        const char* what;
        std::vector<Token> a, b;
        bool equal;
    };
    const Case cases[] = {
        {"Plus commutes", {var(0), var(1), op(Plus)}, {var(1), var(0), op(Plus)}, true},
        {"Subtract does not", {var(0), var(1), op(Subtract)}, {var(1), var(0), op(Subtract)}, false},
        {"Times(C,C) vs Square(C)", {param(0), param(1), op(Times)}, {param(0), op(Square)}, true},
        {"far below one unit", {var(0), param(0, {1e-14, 0}), op(Plus)}, {var(0)}, true},
        {"ten units apart", {var(0), param(0, {1e-9, 0}), op(Plus)}, {var(0)}, false},
        {"saturated real parts",
         {var(0), param(0, {1e9, 0}), op(Plus)}, {var(0), param(0, {2e9, 0}), op(Plus)}, true},
        {"saturated real parts, other imaginary parts",
         {var(0), param(0, {1e9, 0}), op(Plus)}, {var(0), var(0), op(Plus), param(0, {2e9, 0}), op(Plus)},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto a = key_of(c.a), b = key_of(c.b);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(*a == *b, c.equal);
        if (c.equal) {
            EXPECT_EQ(a->hash(), b->hash());
        }
    }
}

TEST(Fingerprint, AbsentWhenAnyProbeFailsOrReachesTheLimit) {
    EXPECT_TRUE(key_of({var(0), op(Log)}));
    EXPECT_FALSE(key_of({var(0), var(0), var(0), op(Subtract), op(Divide)}));
    // Leaves escape the evaluation limit but not the fingerprint's own check.
    for (Complex bad : {Complex{1e15, 0}, Complex{0, -1e15}, Complex{1, kNaN}, Complex{kInf, 0}})
        EXPECT_FALSE(key_of({param(0, bad)}));
    EXPECT_EQ(key_of({param(0, {std::nextafter(1e15, 0.0), 0})}).value().values[0], kMax);
    // 1/(x − P[k]) fails at probe k alone: every probe counts, not just the first.
    for (const double probe : {kProbes[2], kProbes[4]}) {
        EXPECT_FALSE(key_of({var(0), param(0, {probe, 0}), op(Subtract), op(Inv)}));
        EXPECT_TRUE(key_of({var(0), param(0, {probe + 1e-3, 0}), op(Subtract), op(Inv)}));
    }
}

TEST(Quantize, RoundsHalfAwayFromZeroAndSaturates) {
    struct Case {
        double value;
        std::int64_t expected;
    };
    // 0.5/1024 × 1e10 is exactly 4882812.5, a tie that banker's rounding sends to the even side.
    const Case cases[] = {
        {0.5 / 1024, 4882813}, {-0.5 / 1024, -4882813}, {-0.6931471805599453, -6931471806},
        {-0.0, 0},             {1e9, kMax},             {-1e9, kMin},
        {kInf, kMax},          {-kInf, kMin},           {kNaN, 0},
        {std::ldexp(1.0, 63) / 1e10, kMax},             {-std::ldexp(1.0, 63) / 1e10, kMin},
        {922337203.68547, 9223372036854700032},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(quantize(c.value), c.expected);
    }
}

}  // namespace
}  // namespace vorn
