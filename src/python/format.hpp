#pragma once

// Deliberately free of Python: the number format of a result's repr is tested
// on its own, without an interpreter.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn::python {

// Exponent notation with six digits after the point, a lower-case "e" and
// the exponent without plus sign or leading zeros: 1.234568e-3, 0.000000e0,
// 1.234500e3. Not-a-number is "NaN", infinities "inf" and "-inf".
inline std::string format_exponent6(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6e", value);
    std::string text(buffer);
    const std::size_t e = text.find('e');
    if (e == std::string::npos) return text;
    const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
    text.resize(e + 1);
    text += std::to_string(exponent);
    return text;
}

}  // namespace vorn::python
