#include "eval/interpreter.hpp"
#include "engine/optimizer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "eval/error_measure.hpp"
#include "eval/formula_tape.hpp"

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
    return mse(
        [&](std::size_t k) {
            scratch.stack.clear();
            return eval_internal(tokens, rows.row(k), scratch.params, operators, scratch.stack);
        },
        targets, penalty(tokens, p, alpha, l1_ratio));
}

double predict(std::span<const Token> tokens, std::span<const double> row,
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

// Rows are evaluated in blocks, one node at a time across the block.
constexpr std::size_t kBlock = 32;

// Per-thread buffers of the tape refinement, reused across candidates.
struct TapeScratch {
    FormulaTape tape;
    std::vector<Complex> base, trial_values, work;  // rows × nodes, and one row
    std::vector<RowState> state;
    std::vector<std::uint8_t> complete;  // state == Complete, as the tape's row mask
    std::vector<Complex> params;
    std::vector<double> d, g, trial;
    std::array<Complex, kBlock> moved;
    std::array<std::uint8_t, kBlock> moved_defined;
    std::array<std::uint8_t, kBlock> alive;

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

// The moved prediction of a row whose stored values stop at an undefined
// node: the whole dynamic part is evaluated again with parameter j moved.
double moved_from_scratch(TapeScratch& s, const Complex* values, std::size_t j, Complex moved) {
    const std::size_t width = s.tape.size();
    s.work.assign(values, values + width);
    const Complex kept = s.params[j];
    s.params[j] = moved;
    const bool defined = s.tape.eval_dynamic(s.params, s.work.data());
    s.params[j] = kept;
    return defined ? s.work[s.tape.root()].re : 0.0;
}

// d and g at the current parameters, each column's sums in row order as the
// plain refinement accumulates them.
void accumulate_jacobian(TapeScratch& s, std::span<const double> p, std::span<const double> targets) {
    const FormulaTape& tape = s.tape;
    const std::size_t n = p.size(), width = tape.size(), root = tape.root(), count = targets.size();
    std::fill(s.d.begin(), s.d.end(), 0.0);
    std::fill(s.g.begin(), s.g.end(), 0.0);
    load_params(p, s.params);
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
        const std::size_t rows = std::min(kBlock, count - begin);
        const Complex* values = s.base.data() + begin * width;
        for (std::size_t j = 0; j < n; ++j) {
            const Complex moved_param{p[j] + kStep, 0.0};
            tape.eval_moved_rows(j, moved_param, values, rows, s.complete.data() + begin, s.moved.data(),
                                 s.moved_defined.data());
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t k = begin + r;
                const Complex* row_values = values + r * width;
                double base = 0.0, moved = 0.0;
                if (s.state[k] == RowState::Complete) {
                    base = row_values[root].re;
                    moved = s.moved_defined[r] ? s.moved[r].re : 0.0;
                } else if (s.state[k] == RowState::Incomplete) {
                    moved = moved_from_scratch(s, row_values, j, moved_param);
                }
                const double residual = base - targets[k];
                const double jac = (moved - base) / kStep;
                s.d[j] += jac * jac;
                s.g[j] += jac * residual;
            }
        }
    }
}

// The error at the trial parameters, evaluated into trial_values. Stops as
// soon as the step is certain to be rejected: the sum only grows, and so do
// the division and the addition after it, so once the partial error reaches
// `current` the full one would too. Returns +infinity then, or when a row is
// undefined.
double trial_error(TapeScratch& s, std::span<const Token> tokens, std::span<const double> targets,
                   double alpha, double l1_ratio, double current) {
    const FormulaTape& tape = s.tape;
    const std::size_t width = tape.size(), root = tape.root(), count = targets.size();
    load_params(s.trial, s.params);
    const double trial_penalty = penalty(tokens, s.trial, alpha, l1_ratio);
    double sum = 0.0;
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
        const std::size_t rows = std::min(kBlock, count - begin);
        Complex* values = s.trial_values.data() + begin * width;
        for (std::size_t r = 0; r < rows; ++r) s.alive[r] = s.state[begin + r] != RowState::Dead;
        tape.eval_dynamic_rows(s.params, values, rows, s.alive.data());
        for (std::size_t r = 0; r < rows; ++r) {
            if (!s.alive[r]) return kInfinity;
            const double diff = values[r * width + root].re - targets[begin + r];
            sum += diff * diff;
            if (sum / static_cast<double>(count) + trial_penalty >= current) return kInfinity;
        }
    }
    return sum / static_cast<double>(count) + trial_penalty;
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
    s.complete.resize(count);
    s.d.resize(n);
    s.g.resize(n);
    s.trial.resize(n);

    // Starting values: every row fully evaluated where it can be. The error
    // is +infinity when any row is undefined, exactly as the plain error.
    load_params(p, s.params);
    double sum = 0.0;
    bool defined = true;
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
        const std::size_t block = std::min(kBlock, count - begin);
        Complex* values = s.base.data() + begin * width;
        for (std::size_t r = 0; r < block; ++r) {
            s.alive[r] = tape.eval_static(rows.row(begin + r), values + r * width);
            s.state[begin + r] = s.alive[r] ? RowState::Incomplete : RowState::Dead;
        }
        tape.eval_dynamic_rows(s.params, values, block, s.alive.data());
        for (std::size_t r = 0; r < block; ++r) {
            const std::size_t k = begin + r;
            if (s.alive[r]) s.state[k] = RowState::Complete;
            s.complete[k] = s.alive[r];
            if (!s.complete[k]) defined = false;
            if (defined) {
                const double diff = values[r * width + root].re - targets[k];
                sum += diff * diff;
            }
        }
    }
    double error = defined ? sum / static_cast<double>(count) + penalty(tokens, p, alpha, l1_ratio)
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
            accumulate_jacobian(s, p, targets);
            jacobian_current = true;
        }
        for (std::size_t j = 0; j < n; ++j)
            s.trial[j] = p[j] - s.g[j] / ((s.d[j] + lambda) + kDiagonalFloor);
        const double trial = trial_error(s, tokens, targets, alpha, l1_ratio, error);
        if (trial < error) {
            const double previous = error;
            p = s.trial;
            error = trial;
            // The trial values are the next base values, on every row.
            std::swap(s.base, s.trial_values);
            std::fill(s.state.begin(), s.state.end(), RowState::Complete);
            std::fill(s.complete.begin(), s.complete.end(), 1);
            jacobian_current = false;
            lambda /= 10.0;
            rejected = 0;
            if (std::fabs(previous - trial) < kTolerance) break;
        } else {
            if (rejected >= kMaxConsecutiveRejections) break;
            ++rejected;
            lambda *= 10.0;
        }
    }
    return {error, start_error};
}

}  // namespace

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
    write_fitted(out.expression.tokens, p);
    return out;
}

void write_fitted(std::span<Token> tokens, std::span<const double> fitted) {
    std::size_t j = 0;
    for (Token& t : tokens)
        if (t.kind == TokenKind::Param) t.value = Complex{fitted[j++], 0.0};
}

}  // namespace vorn
