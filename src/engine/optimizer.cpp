#include "engine/optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace vorn {

namespace {

constexpr double kStep = 1e-6;
constexpr double kDiagonalFloor = 1e-6;
constexpr double kInitialLambda = 0.01;
constexpr double kLambdaCeiling = 1e4;
constexpr double kTolerance = 1e-9;
constexpr int kMaxConsecutiveRejections = 2;

// Buffers of one refinement, allocated once so that no row or iteration
// allocates.
struct Scratch {
    std::vector<Complex> stack;
    std::vector<Complex> params;     // p as complex values
    std::vector<Complex> perturbed;  // p with one element moved by kStep
    std::vector<double> d, g, trial;

    Scratch(std::size_t complexity, std::size_t n)
        : params(n), perturbed(n), d(n), g(n), trial(n) {
        stack.reserve(complexity);
    }
};

void load_params(std::span<const double> p, std::vector<Complex>& out) {
    for (std::size_t j = 0; j < p.size(); ++j) out[j] = Complex{p[j], 0.0};
}

double error_with_params(const Expression& expression, std::span<const double> p,
                         const Samples& rows, std::span<const double> targets,
                         OperatorTable operators, double alpha, double l1_ratio, Scratch& scratch) {
    load_params(p, scratch.params);
    double sum = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        scratch.stack.clear();
        const auto v =
            eval_internal(expression.tokens, rows.row(k), scratch.params, operators, scratch.stack);
        if (!v) return std::numeric_limits<double>::infinity();
        const double diff = v->re - targets[k];
        sum += diff * diff;
    }
    const double mse = sum / static_cast<double>(rows.size());
    double l1 = 0.0, l2 = 0.0;
    for (const double c : p) {
        l1 += std::fabs(c);
        l2 += c * c;
    }
    for (const Token& t : expression.tokens) {
        if (t.kind != TokenKind::RealConst) continue;
        l1 += std::fabs(t.value.re);
        l2 += t.value.re * t.value.re;
    }
    return mse + elastic_net_penalty(alpha, l1_ratio, l1, l2);
}

double predict(const Expression& expression, std::span<const Complex> row,
               std::span<const Complex> params, OperatorTable operators, std::vector<Complex>& stack) {
    stack.clear();
    const auto v = eval_internal(expression.tokens, row, params, operators, stack);
    return v ? v->re : 0.0;
}

}  // namespace

double compute_error_with_params(const Expression& expression, std::span<const double> p,
                                 const Samples& rows, std::span<const double> targets,
                                 OperatorTable operators, double alpha, double l1_ratio) {
    Scratch scratch(expression.complexity, p.size());
    return error_with_params(expression, p, rows, targets, operators, alpha, l1_ratio, scratch);
}

Refined refine_constants(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, double alpha, double l1_ratio,
                         const OperatorRegistry& registry, std::size_t max_iterations) {
    const OperatorTable operators = registry.operators();
    std::vector<double> p;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < expression.tokens.size(); ++i) {
        if (expression.tokens[i].kind != TokenKind::Param) continue;
        p.push_back(expression.tokens[i].value.re);
        positions.push_back(i);
    }
    const std::size_t n = p.size();
    Scratch scratch(expression.complexity, n);
    double error = error_with_params(expression, p, rows, targets, operators, alpha, l1_ratio, scratch);

    if (n > 0) {
        double lambda = kInitialLambda;
        int rejected = 0;
        for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
            if (lambda > kLambdaCeiling) break;
            std::fill(scratch.d.begin(), scratch.d.end(), 0.0);
            std::fill(scratch.g.begin(), scratch.g.end(), 0.0);
            load_params(p, scratch.params);
            // Accumulating d and g row by row keeps each column's sums in
            // sample order without storing the N × n Jacobian.
            for (std::size_t k = 0; k < rows.size(); ++k) {
                const auto row = rows.row(k);
                const double base = predict(expression, row, scratch.params, operators, scratch.stack);
                const double residual = base - targets[k];
                for (std::size_t j = 0; j < n; ++j) {
                    scratch.perturbed = scratch.params;
                    scratch.perturbed[j] = Complex{p[j] + kStep, 0.0};
                    const double moved =
                        predict(expression, row, scratch.perturbed, operators, scratch.stack);
                    const double jac = (moved - base) / kStep;
                    scratch.d[j] += jac * jac;
                    scratch.g[j] += jac * residual;
                }
            }
            for (std::size_t j = 0; j < n; ++j)
                scratch.trial[j] = p[j] - scratch.g[j] / ((scratch.d[j] + lambda) + kDiagonalFloor);
            const double trial_error = error_with_params(expression, scratch.trial, rows, targets,
                                                         operators, alpha, l1_ratio, scratch);
            if (trial_error < error) {
                const double previous = error;
                p = scratch.trial;
                error = trial_error;
                lambda /= 10.0;
                rejected = 0;
                if (std::fabs(previous - trial_error) < kTolerance) break;
            } else {
                if (rejected >= kMaxConsecutiveRejections) break;
                ++rejected;
                lambda *= 10.0;
            }
        }
    }

    Refined out{expression, error};
    for (std::size_t j = 0; j < n; ++j) out.expression.tokens[positions[j]].value = Complex{p[j], 0.0};
    out.expression.complexity = out.expression.tokens.size();
    return out;
}

}  // namespace vorn
