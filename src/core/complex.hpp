#pragma once

namespace vorn {

// A complex number as two doubles. All formula evaluation happens in this
// type so that intermediate values such as ln(-1) stay defined; the
// arithmetic itself lives with the operators, where its bit-exact rules are.
struct Complex {
    double re = 0.0;
    double im = 0.0;
};

}  // namespace vorn
