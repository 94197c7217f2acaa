#pragma once

#include <cstddef>
#include <span>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Elastic-net penalty on the constants: alpha × (((1 − l1_ratio) × 0.5) × L2 + L1 × l1_ratio).
inline double elastic_net_penalty(double alpha, double l1_ratio, double l1, double l2) {
    return alpha * (((1.0 - l1_ratio) * 0.5) * l2 + l1 * l1_ratio);
}

// Mean squared error of the real parts with Param slot j set to p[j] + 0i, plus
// the penalty over the trial values and then the RealConst values. +infinity as
// soon as one row cannot be evaluated.
double compute_error_with_params(const Expression& expression, std::span<const double> p,
                                 const Samples& rows, std::span<const double> targets,
                                 OperatorTable operators, double alpha, double l1_ratio);

struct Refined {
    Expression expression;
    double error = 0.0;
};

// Damped Gauss-Newton on the Param values with a forward-difference Jacobian,
// using only the diagonal of JᵀJ. Only strictly better steps are accepted, so
// the returned error never exceeds the starting one and is the error of the
// returned values. The input expression is left untouched.
Refined refine_constants(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, double alpha, double l1_ratio,
                         const OperatorRegistry& registry, std::size_t max_iterations);

}  // namespace vorn
