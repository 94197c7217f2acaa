#include "engine/constant_fitting.hpp"

#include <cmath>

namespace vorn {

namespace {

// Mean squared errors this far below mean(y²) are a relative error of about
// 1e-14 per row: rounding, not a worse fit.
constexpr double kExactRelativeMse = 1e-28;

// Start 1 sets every constant to 1, start 2 to -1, further starts alternate
// the signs: scale-free values that reach both sides of a pole.
void fixed_start(std::size_t index, std::size_t n, std::vector<double>& p) {
    p.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const bool negative = index == 2 || (index > 2 && (j + index) % 2 == 1);
        p[j] = negative ? -1.0 : 1.0;
    }
}

// Measures the error at every start and fits from the best one only: the
// starts cost one evaluation each, the fit its iterations once.
RefinedError fit_from_best_start(std::span<const Token> tokens, const Samples& rows,
                                 std::span<const double> targets, double alpha, double l1_ratio,
                                 OperatorTable operators, ValueSource reuse, const FitBudget& budget,
                                 std::vector<double>& fitted) {
    const std::size_t n = fitted.size();
    thread_local std::vector<double> trial, best_start;
    best_start = fitted;
    trial = fitted;
    const RefinedError own = fit_values_lm(tokens, rows, targets, alpha, l1_ratio, operators, 0, reuse,
                                           budget.exact_error, trial);
    double best_error = own.start_error;
    for (std::size_t start = 1; start < budget.starts; ++start) {
        fixed_start(start, n, trial);
        const RefinedError at = fit_values_lm(tokens, rows, targets, alpha, l1_ratio, operators, 0, reuse,
                                              budget.exact_error, trial);
        if (at.start_error < best_error) {
            best_error = at.start_error;
            best_start = trial;
        }
    }
    fitted = best_start;
    RefinedError out = fit_values_lm(tokens, rows, targets, alpha, l1_ratio, operators, budget.iterations, reuse,
                                     budget.exact_error, fitted);
    out.start_error = own.start_error;
    return out;
}

}  // namespace

double exact_error_of(std::span<const double> targets) {
    double sum = 0.0;
    for (const double y : targets) sum += y * y;
    const double mean_square = targets.empty() ? 0.0 : sum / static_cast<double>(targets.size());
    return kExactRelativeMse * mean_square;
}

RefinedError fit_constants_lm(std::span<const Token> tokens, const Samples& rows,
                              std::span<const double> targets, double alpha, double l1_ratio,
                              OperatorTable operators, ValueSource reuse, const FitBudget& budget,
                              std::vector<double>& fitted) {
    fitted.clear();
    for (const Token& t : tokens)
        if (t.kind == TokenKind::Param) fitted.push_back(t.value.re);
    const std::size_t n = fitted.size();
    if (budget.screen_starts && n != 0) return fit_from_best_start(tokens, rows, targets, alpha, l1_ratio,
                                                                   operators, reuse, budget, fitted);
    RefinedError best = fit_values_lm(tokens, rows, targets, alpha, l1_ratio, operators, budget.iterations,
                                      reuse, budget.exact_error, fitted);
    if (n == 0) return best;
    thread_local std::vector<double> trial;
    for (std::size_t start = 1; start < budget.starts && !(best.error <= budget.exact_error); ++start) {
        fixed_start(start, n, trial);
        const RefinedError other = fit_values_lm(tokens, rows, targets, alpha, l1_ratio, operators,
                                                 budget.iterations, reuse, budget.exact_error, trial);
        if (other.error < best.error) {
            best.error = other.error;
            fitted = trial;
        }
    }
    return best;
}

}  // namespace vorn
