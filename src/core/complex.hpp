#pragma once

#include <bit>

namespace vorn {

// A complex number as two doubles. All formula evaluation happens in this
// type so that intermediate values such as ln(-1) stay defined; the
// arithmetic itself lives with the operators, where its bit-exact rules are.
struct Complex {
    double re = 0.0;
    double im = 0.0;
};

// x + 0i, built as one 16-byte value. Evaluation stores a data value and an
// operator loads it whole right after; written as two 8-byte halves, the
// value cannot be forwarded to that load, which then waits for both stores
// to reach the cache.
inline Complex real_complex(double x) {
#if defined(__GNUC__)
    using Pair = double __attribute__((vector_size(16)));
    return std::bit_cast<Complex>(Pair{x, 0.0});
#else
    return Complex{x, 0.0};
#endif
}

}  // namespace vorn
