#include "engine/optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "engine/formula_tape.hpp"

namespace vorn {

namespace {

constexpr double kStep = 1e-6;
constexpr double kDiagonalFloor = 1e-6;
constexpr double kInitialLambda = 0.01;
constexpr double kLambdaCeiling = 1e4;
constexpr double kTolerance = 1e-9;
constexpr int kMaxConsecutiveRejections = 2;
// Above this many bytes of stored node values per thread, refinement
// evaluates the plain way instead, so memory stays bounded for huge data.
constexpr std::size_t kTapeBudgetBytes = std::size_t{256} << 20;
// Buffers larger than this are released after use rather than kept per thread.
constexpr std::size_t kKeepBytes = std::size_t{16} << 20;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double penalty(std::span<const double> p, std::span<const Token> tokens, double alpha,
               double l1_ratio) {
    double l1 = 0.0, l2 = 0.0;
    for (const double c : p) {
        l1 += std::fabs(c);
        l2 += c * c;
    }
    for (const Token& t : tokens) {
        if (t.kind != TokenKind::RealConst) continue;
        l1 += std::fabs(t.value.re);
        l2 += t.value.re * t.value.re;
    }
    return elastic_net_penalty(alpha, l1_ratio, l1, l2);
}

void load_params(std::span<const double> p, std::vector<Complex>& out) {
    out.resize(p.size());
    for (std::size_t j = 0; j < p.size(); ++j) out[j] = Complex{p[j], 0.0};
}

// Buffers of the plain refinement, allocated once per call so that no row or
// iteration allocates.
struct PlainScratch {
    std::vector<Complex> stack;
    std::vector<Complex> params;     // p as complex values
    std::vector<Complex> perturbed;  // p with one element moved by kStep
    std::vector<double> d, g, trial;

    PlainScratch(std::size_t complexity, std::size_t n)
        : params(n), perturbed(n), d(n), g(n), trial(n) {
        stack.reserve(complexity);
    }
};

double plain_error(std::span<const Token> tokens, std::span<const double> p, const Samples& rows,
                   std::span<const double> targets, OperatorTable operators, double alpha,
                   double l1_ratio, PlainScratch& scratch) {
    load_params(p, scratch.params);
    double sum = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        scratch.stack.clear();
        const auto v = eval_internal(tokens, rows.row(k), scratch.params, operators, scratch.stack);
        if (!v) return kInfinity;
        const double diff = v->re - targets[k];
        sum += diff * diff;
    }
    const double mse = sum / static_cast<double>(rows.size());
    return mse + penalty(p, tokens, alpha, l1_ratio);
}

double predict(std::span<const Token> tokens, std::span<const Complex> row,
               std::span<const Complex> params, OperatorTable operators, std::vector<Complex>& stack) {
    stack.clear();
    const auto v = eval_internal(tokens, row, params, operators, stack);
    return v ? v->re : 0.0;
}

// The reference: every prediction evaluates the whole formula.
RefinedError refine_plain(std::span<const Token> tokens, const Samples& rows,
                          std::span<const double> targets, double alpha, double l1_ratio,
                          OperatorTable operators, std::size_t max_iterations,
                          std::vector<double>& p) {
    const std::size_t n = p.size();
    PlainScratch scratch(tokens.size(), n);
    double error = plain_error(tokens, p, rows, targets, operators, alpha, l1_ratio, scratch);
    const double start_error = error;
    if (n == 0) return {error, start_error};

    double lambda = kInitialLambda;
    int rejected = 0;
    for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
        if (lambda > kLambdaCeiling) break;
        std::fill(scratch.d.begin(), scratch.d.end(), 0.0);
        std::fill(scratch.g.begin(), scratch.g.end(), 0.0);
        load_params(p, scratch.params);
        // Accumulating d and g row by row keeps each column's sums in sample
        // order without storing the N × n Jacobian.
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const auto row = rows.row(k);
            const double base = predict(tokens, row, scratch.params, operators, scratch.stack);
            const double residual = base - targets[k];
            for (std::size_t j = 0; j < n; ++j) {
                scratch.perturbed = scratch.params;
                scratch.perturbed[j] = Complex{p[j] + kStep, 0.0};
                const double moved = predict(tokens, row, scratch.perturbed, operators, scratch.stack);
                const double jac = (moved - base) / kStep;
                scratch.d[j] += jac * jac;
                scratch.g[j] += jac * residual;
            }
        }
        for (std::size_t j = 0; j < n; ++j)
            scratch.trial[j] = p[j] - scratch.g[j] / ((scratch.d[j] + lambda) + kDiagonalFloor);
        const double trial_error =
            plain_error(tokens, scratch.trial, rows, targets, operators, alpha, l1_ratio, scratch);
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
    return {error, start_error};
}

// What a row's stored values allow.
enum class RowState : std::uint8_t {
    Complete,    // every node evaluated at the current parameters
    Incomplete,  // a node depending on a parameter was undefined there
    Dead,        // a node without parameters is undefined: no values can help
};

// Per-thread buffers of the tape refinement, reused across candidates.
struct TapeScratch {
    FormulaTape tape;
    std::vector<Complex> base, trial_values, work;  // rows × nodes, and one row
    std::vector<RowState> state;
    std::vector<Complex> params;
    std::vector<double> d, g, trial;

    void release_if_large() {
        if (base.capacity() * sizeof(Complex) <= kKeepBytes) return;
        std::vector<Complex>().swap(base);
        std::vector<Complex>().swap(trial_values);
    }
};

TapeScratch& tape_scratch() {
    thread_local TapeScratch scratch;
    return scratch;
}

// The same steps as refine_plain, value for value, with fewer evaluations.
RefinedError refine_on_tape(std::span<const Token> tokens, const Samples& rows,
                            std::span<const double> targets, double alpha, double l1_ratio,
                            std::size_t max_iterations, TapeScratch& s, std::vector<double>& p) {
    const FormulaTape& tape = s.tape;
    const std::size_t n = p.size();
    const std::size_t width = tape.size();
    const std::size_t root = tape.root();
    const std::size_t count = rows.size();
    s.base.resize(count * width);
    s.trial_values.resize(count * width);
    s.state.resize(count);
    s.d.resize(n);
    s.g.resize(n);
    s.trial.resize(n);

    // Starting values: every row fully evaluated where it can be. The error
    // is that of the first undefined row on, exactly as the plain error.
    load_params(p, s.params);
    double sum = 0.0;
    bool defined = true;
    for (std::size_t k = 0; k < count; ++k) {
        Complex* values = s.base.data() + k * width;
        if (!tape.eval_static(rows.row(k), values)) {
            s.state[k] = RowState::Dead;
        } else {
            s.state[k] = tape.eval_dynamic(s.params, values) ? RowState::Complete : RowState::Incomplete;
        }
        if (s.state[k] != RowState::Complete) defined = false;
        if (defined) {
            const double diff = values[root].re - targets[k];
            sum += diff * diff;
        }
    }
    double error = defined ? sum / static_cast<double>(count) + penalty(p, tokens, alpha, l1_ratio)
                           : kInfinity;
    const double start_error = error;
    // Nodes without parameters are the same in both buffers from here on.
    std::copy(s.base.begin(), s.base.end(), s.trial_values.begin());

    double lambda = kInitialLambda;
    int rejected = 0;
    bool jacobian_current = false;
    for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
        if (lambda > kLambdaCeiling) break;
        // After a rejected step the parameters and the base values are
        // unchanged, so d and g would come out the same.
        if (!jacobian_current) {
            std::fill(s.d.begin(), s.d.end(), 0.0);
            std::fill(s.g.begin(), s.g.end(), 0.0);
            load_params(p, s.params);
            for (std::size_t k = 0; k < count; ++k) {
                Complex* values = s.base.data() + k * width;
                const RowState state = s.state[k];
                const double base = state == RowState::Complete ? values[root].re : 0.0;
                const double residual = base - targets[k];
                for (std::size_t j = 0; j < n; ++j) {
                    const Complex moved_param{p[j] + kStep, 0.0};
                    double moved = 0.0;
                    if (state == RowState::Complete) {
                        const auto v = s.tape.eval_moved(j, moved_param, values);
                        moved = v ? v->re : 0.0;
                    } else if (state == RowState::Incomplete) {
                        // The base values stop at the undefined node, so this
                        // row is evaluated in full with the moved parameter.
                        s.work.assign(values, values + width);
                        const Complex kept = s.params[j];
                        s.params[j] = moved_param;
                        moved = tape.eval_dynamic(s.params, s.work.data()) ? s.work[root].re : 0.0;
                        s.params[j] = kept;
                    }
                    const double jac = (moved - base) / kStep;
                    s.d[j] += jac * jac;
                    s.g[j] += jac * residual;
                }
            }
            jacobian_current = true;
        }
        for (std::size_t j = 0; j < n; ++j)
            s.trial[j] = p[j] - s.g[j] / ((s.d[j] + lambda) + kDiagonalFloor);

        load_params(s.trial, s.params);
        const double trial_penalty = penalty(s.trial, tokens, alpha, l1_ratio);
        double trial_sum = 0.0;
        bool trial_defined = true;
        bool hopeless = false;
        for (std::size_t k = 0; k < count; ++k) {
            Complex* values = s.trial_values.data() + k * width;
            trial_defined = s.state[k] != RowState::Dead && tape.eval_dynamic(s.params, values);
            if (!trial_defined) break;
            const double diff = values[root].re - targets[k];
            trial_sum += diff * diff;
            // The sum only grows, and so do the division and the addition
            // after it: once the partial error reaches the current one, the
            // step is rejected whatever the remaining rows hold.
            if (k % 8 == 7 && trial_sum / static_cast<double>(count) + trial_penalty >= error) {
                hopeless = true;
                break;
            }
        }
        const double trial_error = trial_defined && !hopeless
                                       ? trial_sum / static_cast<double>(count) + trial_penalty
                                       : kInfinity;
        if (trial_error < error) {
            const double previous = error;
            p = s.trial;
            error = trial_error;
            // The trial values are the next base values, on every row.
            std::swap(s.base, s.trial_values);
            std::fill(s.state.begin(), s.state.end(), RowState::Complete);
            jacobian_current = false;
            lambda /= 10.0;
            rejected = 0;
            if (std::fabs(previous - trial_error) < kTolerance) break;
        } else {
            if (rejected >= kMaxConsecutiveRejections) break;
            ++rejected;
            lambda *= 10.0;
        }
    }
    return {error, start_error};
}

}  // namespace

double compute_error_with_params(const Expression& expression, std::span<const double> p,
                                 const Samples& rows, std::span<const double> targets,
                                 OperatorTable operators, double alpha, double l1_ratio) {
    PlainScratch scratch(expression.complexity, p.size());
    return plain_error(expression.tokens, p, rows, targets, operators, alpha, l1_ratio, scratch);
}

RefinedError refine_values(std::span<const Token> tokens, const Samples& rows,
                           std::span<const double> targets, double alpha, double l1_ratio,
                           OperatorTable operators, std::size_t max_iterations, bool reuse,
                           std::vector<double>& p) {
    p.clear();
    for (const Token& t : tokens)
        if (t.kind == TokenKind::Param) p.push_back(t.value.re);
    if (reuse && !p.empty() && !rows.empty()) {
        TapeScratch& s = tape_scratch();
        const std::size_t bytes = 2 * rows.size() * tokens.size() * sizeof(Complex);
        if (bytes <= kTapeBudgetBytes && s.tape.compile(tokens, operators)) {
            const RefinedError out =
                refine_on_tape(tokens, rows, targets, alpha, l1_ratio, max_iterations, s, p);
            s.release_if_large();
            return out;
        }
    }
    return refine_plain(tokens, rows, targets, alpha, l1_ratio, operators, max_iterations, p);
}

Refined refine_constants(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, double alpha, double l1_ratio,
                         const OperatorRegistry& registry, std::size_t max_iterations, bool reuse) {
    std::vector<double> p;
    const RefinedError result = refine_values(expression.tokens, rows, targets, alpha, l1_ratio,
                                              registry.operators(), max_iterations, reuse, p);
    Refined out{expression, result.error};
    std::size_t j = 0;
    for (Token& t : out.expression.tokens)
        if (t.kind == TokenKind::Param) t.value = Complex{p[j++], 0.0};
    out.expression.complexity = out.expression.tokens.size();
    return out;
}

}  // namespace vorn
