// The number format of a Python SearchResult's repr. The formatter has no
// Python dependency, so it is checked here with exact values that a search
// could not be steered to produce.

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "python/format.hpp"

namespace {

using vorn::python::format_exponent6;

TEST(PythonReprFormat, ExponentNotation) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0.000000e0"},
        {0.00123456789, "1.234568e-3"},
        {1234.5, "1.234500e3"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {-0.0, "-0.000000e0"},
        {1.0, "1.000000e0"},
        {-2.5e-7, "-2.500000e-7"},
        {9.9999996, "1.000000e1"},  // rounding carries into the exponent
        {1e100, "1.000000e100"},
        {123456.25, "1.234562e5"},  // an exact tie rounds to even
        {4.9406564584124654e-324, "4.940656e-324"},  // smallest subnormal
        {1.7976931348623157e308, "1.797693e308"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_exponent6(c.value), c.text) << c.text;
}

}  // namespace
