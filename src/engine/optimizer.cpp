#include "engine/optimizer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <optional>
#include <utility>
#include <vector>

#include "eval/error_measure.hpp"
#include "eval/formula_tape.hpp"
#include "eval/interpreter.hpp"

namespace vorn {

namespace {

constexpr double kStep = 1e-6;
constexpr double kDiagonalFloor = 1e-6;
constexpr double kInitialLambda = 0.01;
constexpr double kLambdaCeiling = 1e4;
constexpr double kTolerance = 1e-9;
constexpr int kMaxConsecutiveRejections = 2;
// Levenberg–Marquardt: damping relative to JᵀJ's diagonal, a forward
// difference step of about √ε relative to each constant, and convergence when
// a step gains less than a relative 1e-10.
constexpr double kLmInitialLambda = 1e-3;
constexpr double kLmLambdaFloor = 1e-12;
constexpr double kLmLambdaCeiling = 1e8;
constexpr double kLmDiagonalFloor = 1e-300;
constexpr double kLmRelativeStep = 1.5e-8;
constexpr double kLmRelativeGain = 1e-10;
// Above this many bytes of stored node values per thread, refinement
// evaluates the plain way instead, so memory stays bounded for huge data.
constexpr std::size_t kTapeBudgetBytes = std::size_t{256} << 20;
// Buffers larger than this are released after use rather than kept per thread.
constexpr std::size_t kKeepBytes = std::size_t{16} << 20;

void load_params(std::span<const double> p, std::vector<Complex>& out) {
    out.resize(p.size());
    for (std::size_t j = 0; j < p.size(); ++j) out[j] = Complex{p[j], 0.0};
}

// A Jacobian entry reads an undefined value as 0.
double real_or_zero(const std::optional<Complex>& v) { return v ? v->re : 0.0; }

// A source of values for the step loop:
//   start(p), start_value(k): the values at the starting parameters;
//   accumulate(p, targets, d, g): the diagonal of JᵀJ and Jᵀr at p, each
//     column's sums in row order;
//   trial(t), trial_value(k): the values at trial parameters, rows asked for
//     in order and possibly not all of them;
//   accept(): the trial values become the current ones.
//   normal_equations(p, steps, targets, a, g): the full JᵀJ (n × n, row
//     major) and Jᵀr at p, column j moved by steps[j], in row order.
template <class V>
concept StepValues = requires(V v, std::span<const double> p, std::span<double> d, std::size_t k) {
    v.start(p);
    { v.start_value(k) } -> std::same_as<std::optional<Complex>>;
    v.accumulate(p, p, d, d);
    v.normal_equations(p, p, p, d, d);
    v.trial(p);
    { v.trial_value(k) } -> std::same_as<std::optional<Complex>>;
    v.accept();
};

// Adds one row's Jacobian entries and residual to JᵀJ (upper triangle and
// mirror) and Jᵀr.
void add_row(std::span<const double> jac, double residual, std::span<double> a, std::span<double> g) {
    const std::size_t n = jac.size();
    for (std::size_t i = 0; i < n; ++i) {
        g[i] += jac[i] * residual;
        for (std::size_t j = i; j < n; ++j) a[i * n + j] += jac[i] * jac[j];
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) a[i * n + j] = a[j * n + i];
}

// Every value from evaluating the whole formula on one row: the reference.
class PlainValues {
public:
    PlainValues(std::span<const Token> tokens, const Samples& rows, OperatorTable operators,
                std::size_t n)
        : formula_(tokens, operators), rows_(rows), params_(n), perturbed_(n) {
    }

    void start(std::span<const double> p) { load_params(p, params_); }
    std::optional<Complex> start_value(std::size_t k) { return value_at(k, params_); }

    // Accumulating d and g row by row keeps each column's sums in row order
    // without storing the N × n Jacobian.
    void accumulate(std::span<const double> p, std::span<const double> targets, std::span<double> d,
                    std::span<double> g) {
        std::fill(d.begin(), d.end(), 0.0);
        std::fill(g.begin(), g.end(), 0.0);
        load_params(p, params_);
        for (std::size_t k = 0; k < targets.size(); ++k) {
            const double base = real_or_zero(value_at(k, params_));
            const double residual = base - targets[k];
            for (std::size_t j = 0; j < p.size(); ++j) {
                perturbed_ = params_;
                perturbed_[j] = Complex{p[j] + kStep, 0.0};
                const double moved = real_or_zero(value_at(k, perturbed_));
                const double jac = (moved - base) / kStep;
                d[j] += jac * jac;
                g[j] += jac * residual;
            }
        }
    }

    void normal_equations(std::span<const double> p, std::span<const double> steps,
                          std::span<const double> targets, std::span<double> a, std::span<double> g) {
        const std::size_t n = p.size();
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(g.begin(), g.end(), 0.0);
        load_params(p, params_);
        jac_.resize(n);
        for (std::size_t k = 0; k < targets.size(); ++k) {
            const double base = real_or_zero(value_at(k, params_));
            for (std::size_t j = 0; j < n; ++j) {
                perturbed_ = params_;
                perturbed_[j] = Complex{p[j] + steps[j], 0.0};
                jac_[j] = (real_or_zero(value_at(k, perturbed_)) - base) / steps[j];
            }
            add_row(jac_, base - targets[k], a, g);
        }
    }

    void trial(std::span<const double> t) { load_params(t, params_); }
    std::optional<Complex> trial_value(std::size_t k) { return value_at(k, params_); }
    void accept() {}

private:
    // The formula's value at row k with these parameters.
    std::optional<Complex> value_at(std::size_t k, std::span<const Complex> params) {
        return formula_.eval(rows_.row(k), params, stack_);
    }

    CompiledFormula formula_;  // compiled once per refinement
    const Samples& rows_;
    std::vector<Complex> stack_;
    std::vector<Complex> params_;     // the parameters as complex values
    std::vector<Complex> perturbed_;  // the same with one of them moved by kStep
    std::vector<double> jac_;         // one row of the Jacobian
};

// What a row's stored values allow.
enum class RowState : std::uint8_t {
    Complete,    // every node evaluated at the current parameters
    Incomplete,  // a node depending on a parameter was undefined there
    Dead,        // a node without parameters is undefined: no values can help
};

// Rows are evaluated in blocks, one node at a time across the block.
constexpr std::size_t kBlock = 32;
static_assert(kBlock == FormulaTape::kRealBlock, "complex and real blocks hold the same rows");

// Per-thread buffers of the tape refinement, reused across candidates.
struct TapeScratch {
    FormulaTape tape;
    // Complex values, rows × nodes; on the real axis only the rows that
    // leave it are held here, in row order, one slot each.
    std::vector<Complex> base, trial_values, work;
    std::vector<RowState> state;
    std::vector<std::uint8_t> complete;  // per slot: state == Complete, as the tape's row mask
    std::vector<Complex> params;
    std::array<Complex, kBlock> moved;
    std::array<std::uint8_t, kBlock> moved_defined;
    std::array<std::uint8_t, kBlock> alive;
    std::vector<double> columns, row_jac;  // a block's Jacobian columns, and one row of them
    // On the real axis: blocks of nodes × kBlock real parts; per row whether
    // it is held there, and its complex slot where not; per block its first
    // slot.
    std::vector<double> real_base, real_trial;
    std::vector<std::uint8_t> on_axis;
    std::vector<std::uint32_t> slot, block_slots;
    // Per row, as a FormulaTape row state: kRowReal where the row is on the
    // axis and complete, for the Jacobian columns; and where it is on the
    // axis and not dead, for trials.
    std::vector<std::uint8_t> real_complete, real_alive, axis_mask;
    std::vector<std::uint8_t> block_clean;  // per block: no slots, every row complete
    std::vector<double> trial_params;
    std::array<double, kBlock> real_moved;
    std::array<std::uint8_t, kBlock> real_rows, real_moved_rows;
    // A block's trial predictions: the value, and whether there is one
    // (a FormulaTape row state; kRowOffAxis: evaluate the row whole).
    std::array<double, kBlock> trial_root;
    std::array<std::uint8_t, kBlock> trial_has;
    // One block's column: each row's base and moved prediction.
    std::array<double, kBlock> column_base, column_moved;
    // The rows of a trial that left the real axis, in row order, and every
    // node's complex value on each; accepted, they join the slots (the new
    // layout is built in `resorted`).
    std::vector<std::uint32_t> left_rows;
    std::vector<Complex> left_values, resorted;
    // Whole evaluation of single rows that leave the real axis.
    CompiledFormula formula;
    std::vector<Complex> stack, perturbed;

    void release_if_large() {
        if (base.capacity() * sizeof(Complex) > kKeepBytes) {
            std::vector<Complex>().swap(base);
            std::vector<Complex>().swap(trial_values);
        }
        if (real_base.capacity() * sizeof(double) > kKeepBytes) {
            std::vector<double>().swap(real_base);
            std::vector<double>().swap(real_trial);
        }
        if ((resorted.capacity() + left_values.capacity()) * sizeof(Complex) > kKeepBytes) {
            std::vector<Complex>().swap(resorted);
            std::vector<Complex>().swap(left_values);
        }
    }
};

TapeScratch& tape_scratch() {
    thread_local TapeScratch scratch;
    return scratch;
}

// The same values from the compiled tape, every node's value kept per row.
// A row whose values all stay on the real axis keeps their real parts alone,
// computed by the operators' real kernels a block of rows at a time; a row
// where one may leave the axis, or that a node with parameters leaves
// undefined, keeps complex values. A trial that takes a row off the axis
// evaluates that row as complex; accepted, the row joins the complex ones.
class TapeValues {
public:
    TapeValues(TapeScratch& s, const Samples& rows, std::span<const Token> tokens, OperatorTable operators,
               bool real_axis)
        : s_(s),
          rows_(rows),
          tokens_(tokens),
          operators_(operators),
          width_(s.tape.size()),
          root_(s.tape.root()),
          real_(real_axis && s.tape.real_ready()) {}

    // Every row fully evaluated where it can be.
    void start(std::span<const double> p) {
        if (real_)
            start_real(p);
        else
            start_complex(p);
    }

    std::optional<Complex> start_value(std::size_t k) const {
        if (s_.state[k] != RowState::Complete) return std::nullopt;
        if (!real_) return s_.base[k * width_ + root_];
        if (s_.on_axis[k]) return Complex{real_root(s_.real_base, k), 0.0};
        return s_.base[s_.slot[k] * width_ + root_];
    }

    // The moved values come from recomputing only the ancestors of each
    // parameter on the stored values.
    void accumulate(std::span<const double> p, std::span<const double> targets, std::span<double> d,
                    std::span<double> g) {
        const std::size_t n = p.size(), count = targets.size();
        std::fill(d.begin(), d.end(), 0.0);
        std::fill(g.begin(), g.end(), 0.0);
        load_params(p, s_.params);
        for (std::size_t begin = 0; begin < count; begin += kBlock) {
            const std::size_t rows = std::min(kBlock, count - begin);
            for (std::size_t j = 0; j < n; ++j) {
                column(begin, rows, j, p[j] + kStep);
                for (std::size_t r = 0; r < rows; ++r) {
                    const double base = s_.column_base[r], moved = s_.column_moved[r];
                    const double residual = base - targets[begin + r];
                    const double jac = (moved - base) / kStep;
                    d[j] += jac * jac;
                    g[j] += jac * residual;
                }
            }
        }
    }

    void normal_equations(std::span<const double> p, std::span<const double> steps,
                          std::span<const double> targets, std::span<double> a, std::span<double> g) {
        const std::size_t n = p.size(), count = targets.size();
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(g.begin(), g.end(), 0.0);
        load_params(p, s_.params);
        s_.columns.resize(n * kBlock);
        s_.row_jac.resize(n);
        for (std::size_t begin = 0; begin < count; begin += kBlock) {
            const std::size_t rows = std::min(kBlock, count - begin);
            for (std::size_t j = 0; j < n; ++j) {
                column(begin, rows, j, p[j] + steps[j]);
                for (std::size_t r = 0; r < rows; ++r)
                    s_.columns[j * kBlock + r] = (s_.column_moved[r] - s_.column_base[r]) / steps[j];
            }
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t k = begin + r;
                const auto value = start_value(k);
                const double base = value ? value->re : 0.0;
                for (std::size_t j = 0; j < n; ++j) s_.row_jac[j] = s_.columns[j * kBlock + r];
                add_row(s_.row_jac, base - targets[k], a, g);
            }
        }
    }

    void trial(std::span<const double> t) {
        load_params(t, s_.params);
        if (!real_) return;
        s_.trial_params.assign(t.begin(), t.end());
        s_.left_rows.clear();
    }

    // A block of rows is evaluated when its first row is asked for.
    std::optional<Complex> trial_value(std::size_t k) {
        const std::size_t r = k % kBlock;
        if (real_) {
            if (r == 0) trial_block(k);
            if (s_.trial_has[r] == FormulaTape::kRowReal) return Complex{s_.trial_root[r], 0.0};
            return trial_value_off(k, r);
        }
        if (r == 0) {
            block_values_ = s_.trial_values.data() + k * width_;
            const std::size_t block = std::min(kBlock, rows_.size() - k);
            for (std::size_t i = 0; i < block; ++i) s_.alive[i] = s_.state[k + i] != RowState::Dead;
            s_.tape.eval_dynamic_rows(s_.params, block_values_, block, s_.alive.data());
        }
        if (!s_.alive[r]) return std::nullopt;
        return block_values_[r * width_ + root_];
    }

    // The trial values are the next base values, on every row.
    void accept() {
        if (real_ && !s_.left_rows.empty()) {
            accept_left_rows();
            return;
        }
        std::swap(s_.base, s_.trial_values);
        if (real_) std::swap(s_.real_base, s_.real_trial);
        std::fill(s_.state.begin(), s_.state.end(), RowState::Complete);
        std::fill(s_.complete.begin(), s_.complete.end(), 1);
        if (real_) accepted_masks();
    }

private:
    void start_complex(std::span<const double> p) {
        const FormulaTape& tape = s_.tape;
        const std::size_t count = rows_.size();
        s_.base.resize(count * width_);
        s_.trial_values.resize(count * width_);
        s_.state.resize(count);
        s_.complete.resize(count);
        load_params(p, s_.params);
        for (std::size_t begin = 0; begin < count; begin += kBlock) {
            const std::size_t block = std::min(kBlock, count - begin);
            Complex* values = s_.base.data() + begin * width_;
            for (std::size_t r = 0; r < block; ++r) {
                s_.alive[r] = tape.eval_static(rows_.row(begin + r), values + r * width_);
                s_.state[begin + r] = s_.alive[r] ? RowState::Incomplete : RowState::Dead;
            }
            tape.eval_dynamic_rows(s_.params, values, block, s_.alive.data());
            for (std::size_t r = 0; r < block; ++r) {
                if (s_.alive[r]) s_.state[begin + r] = RowState::Complete;
                s_.complete[begin + r] = s_.alive[r];
            }
        }
        // Nodes without parameters are the same in both buffers from here on.
        std::copy(s_.base.begin(), s_.base.end(), s_.trial_values.begin());
    }

    // Every row on the real axis where its values stay there, the others
    // evaluated as complex into slots of their own.
    void start_real(std::span<const double> p) {
        const FormulaTape& tape = s_.tape;
        const std::size_t count = rows_.size();
        const std::size_t blocks = (count + kBlock - 1) / kBlock;
        s_.real_base.resize(blocks * width_ * kBlock);
        s_.real_trial.resize(blocks * width_ * kBlock);
        s_.state.resize(count);
        s_.on_axis.resize(count);
        s_.slot.resize(count);
        s_.block_slots.resize(blocks + 1);
        load_params(p, s_.params);
        std::uint32_t slots = 0;
        for (std::size_t begin = 0; begin < count; begin += kBlock) {
            const std::size_t block = std::min(kBlock, count - begin);
            double* values = real_block(s_.real_base, begin);
            std::uint8_t* rows = s_.real_rows.data();
            std::fill(rows, rows + block, FormulaTape::kRowReal);
            tape.real_static_rows(rows_, begin, block, values, rows);
            for (std::size_t r = 0; r < block; ++r)
                s_.state[begin + r] = rows[r] == FormulaTape::kRowUndefined ? RowState::Dead : RowState::Incomplete;
            tape.real_dynamic_rows(p, values, block, rows);
            const std::uint32_t first = slots;
            s_.block_slots[begin / kBlock] = first;
            for (std::size_t r = 0; r < block; ++r) {
                const std::size_t k = begin + r;
                // A row undefined at a node with parameters is kept as
                // complex values too, for the complex tape's moved values.
                s_.on_axis[k] = rows[r] == FormulaTape::kRowReal || s_.state[k] == RowState::Dead;
                if (!s_.on_axis[k]) s_.slot[k] = slots++;
                if (rows[r] == FormulaTape::kRowReal) s_.state[k] = RowState::Complete;
            }
            if (slots == first) continue;
            // The block's rows off the axis, as complex values in their slots.
            s_.base.resize(slots * width_);
            Complex* complex_values = s_.base.data() + first * width_;
            for (std::size_t r = 0, i = 0; r < block; ++r) {
                if (s_.on_axis[begin + r]) continue;
                s_.alive[i] = tape.eval_static(rows_.row(begin + r), complex_values + i * width_);
                s_.state[begin + r] = s_.alive[i] ? RowState::Incomplete : RowState::Dead;
                ++i;
            }
            tape.eval_dynamic_rows(s_.params, complex_values, slots - first, s_.alive.data());
            for (std::size_t r = 0, i = 0; r < block; ++r) {
                if (s_.on_axis[begin + r]) continue;
                if (s_.alive[i]) s_.state[begin + r] = RowState::Complete;
                ++i;
            }
        }
        s_.block_slots[blocks] = slots;
        // Nodes without parameters are the same in both buffers from here on.
        for (std::size_t b = 0; b < blocks; ++b)
            tape.real_copy_static(s_.real_base.data() + b * width_ * kBlock, s_.real_trial.data() + b * width_ * kBlock);
        s_.base.resize(slots * width_);
        s_.trial_values.resize(slots * width_);
        std::copy(s_.base.begin(), s_.base.end(), s_.trial_values.begin());
        s_.complete.resize(slots);
        for (std::size_t k = 0; k < count; ++k)
            if (!s_.on_axis[k]) s_.complete[s_.slot[k]] = s_.state[k] == RowState::Complete;
        real_masks();
    }

    // After an accepted step every row is complete: the masks are on_axis.
    void accepted_masks() {
        std::copy(s_.axis_mask.begin(), s_.axis_mask.end(), s_.real_complete.begin());
        std::copy(s_.axis_mask.begin(), s_.axis_mask.end(), s_.real_alive.begin());
        for (std::size_t b = 0; b + 1 < s_.block_slots.size(); ++b)
            s_.block_clean[b] = s_.block_slots[b + 1] == s_.block_slots[b];
    }

    // The row masks and clean blocks that follow from on_axis and state.
    void real_masks() {
        const std::size_t count = rows_.size();
        s_.real_complete.resize(count);
        s_.real_alive.resize(count);
        s_.axis_mask.resize(count);
        s_.block_clean.assign((count + kBlock - 1) / kBlock, 1);
        for (std::size_t k = 0; k < count; ++k) {
            const bool on = s_.on_axis[k];
            s_.axis_mask[k] = on ? FormulaTape::kRowReal : FormulaTape::kRowUndefined;
            s_.real_complete[k] = on && s_.state[k] == RowState::Complete ? FormulaTape::kRowReal
                                                                          : FormulaTape::kRowUndefined;
            s_.real_alive[k] = on && s_.state[k] != RowState::Dead ? FormulaTape::kRowReal
                                                                   : FormulaTape::kRowUndefined;
            if (!on || s_.state[k] != RowState::Complete) s_.block_clean[k / kBlock] = 0;
        }
    }

    // A trial value that is missing, or is to be evaluated as complex: every
    // node of the row, kept in case the trial is accepted.
    [[gnu::noinline]] std::optional<Complex> trial_value_off(std::size_t k, std::size_t r) {
        if (s_.trial_has[r] == FormulaTape::kRowUndefined) return std::nullopt;
        const std::size_t at = s_.left_rows.size();
        s_.left_rows.push_back(static_cast<std::uint32_t>(k));
        s_.left_values.resize((at + 1) * width_);
        Complex* values = s_.left_values.data() + at * width_;
        if (!s_.tape.eval_static(rows_.row(k), values) || !s_.tape.eval_dynamic(s_.params, values))
            return std::nullopt;
        return values[root_];
    }

    // An accepted trial that took rows off the axis: its values become the
    // current ones as in accept(), and those rows join the complex slots,
    // which keep their row order within each block. The real parts are the
    // same whichever way a row is held, so nothing needs evaluating again.
    void accept_left_rows() {
        std::swap(s_.real_base, s_.real_trial);
        const std::size_t count = rows_.size(), blocks = s_.block_slots.size() - 1;
        s_.resorted.resize((s_.block_slots[blocks] + s_.left_rows.size()) * width_);
        std::uint32_t slots = 0;
        std::size_t next_left = 0;
        for (std::size_t b = 0; b < blocks; ++b) {
            s_.block_slots[b] = slots;
            for (std::size_t k = b * kBlock; k < std::min(count, (b + 1) * kBlock); ++k) {
                const Complex* from = nullptr;
                if (!s_.on_axis[k]) {
                    from = s_.trial_values.data() + s_.slot[k] * width_;
                } else if (next_left < s_.left_rows.size() && s_.left_rows[next_left] == k) {
                    from = s_.left_values.data() + next_left++ * width_;
                    s_.on_axis[k] = 0;
                } else {
                    continue;
                }
                std::copy(from, from + width_, s_.resorted.data() + slots * width_);
                s_.slot[k] = slots++;
            }
        }
        s_.block_slots[blocks] = slots;
        std::swap(s_.base, s_.resorted);
        s_.trial_values.assign(s_.base.begin(), s_.base.end());
        std::fill(s_.state.begin(), s_.state.end(), RowState::Complete);
        s_.complete.assign(slots, 1);
        real_masks();
    }

    // The trial predictions of the block starting at row `begin`.
    [[gnu::noinline]] void trial_block(std::size_t begin) {
        const std::size_t b = begin / kBlock, block = std::min(kBlock, rows_.size() - begin);
        const std::size_t first = s_.block_slots[b], slots = s_.block_slots[b + 1] - first;
        std::uint8_t* has = s_.trial_has.data();
        if (slots < block) {
            std::copy(s_.real_alive.begin() + begin, s_.real_alive.begin() + begin + block, has);
            double* values = real_block(s_.real_trial, begin);
            s_.tape.real_dynamic_rows(s_.trial_params, values, block, has);
            std::copy(values + root_ * kBlock, values + root_ * kBlock + block, s_.trial_root.begin());
        }
        if (slots == 0) return;
        for (std::size_t i = 0, at = begin; i < slots; ++at)
            if (!s_.on_axis[at]) s_.alive[i++] = s_.state[at] != RowState::Dead;
        Complex* values = s_.trial_values.data() + first * width_;
        s_.tape.eval_dynamic_rows(s_.params, values, slots, s_.alive.data());
        for (std::size_t r = 0, i = 0; r < block; ++r) {
            if (s_.on_axis[begin + r]) continue;
            has[r] = s_.alive[i] ? FormulaTape::kRowReal : FormulaTape::kRowUndefined;
            s_.trial_root[r] = values[i * width_ + root_].re;
            ++i;
        }
    }

    // The rows begin .. begin + rows of one block for column j, parameter j
    // moved to `moved`: column_base and column_moved receive each row's base
    // and moved prediction, 0 where a value is missing.
    void column(std::size_t begin, std::size_t rows, std::size_t j, double moved) {
        const Complex moved_param{moved, 0.0};
        if (!real_) {
            const Complex* values = s_.base.data() + begin * width_;
            s_.tape.eval_moved_rows(j, moved_param, values, rows, s_.complete.data() + begin, s_.moved.data(),
                                    s_.moved_defined.data());
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t k = begin + r;
                const Complex* row_values = values + r * width_;
                double base = 0.0, at_moved = 0.0;
                if (s_.state[k] == RowState::Complete) {
                    base = row_values[root_].re;
                    at_moved = s_.moved_defined[r] ? s_.moved[r].re : 0.0;
                } else if (s_.state[k] == RowState::Incomplete) {
                    at_moved = moved_from_scratch(row_values, j, moved_param);
                }
                s_.column_base[r] = base;
                s_.column_moved[r] = at_moved;
            }
            return;
        }
        const std::size_t b = begin / kBlock;
        const std::size_t first = s_.block_slots[b], slots = s_.block_slots[b + 1] - first;
        const double* values = real_block(s_.real_base, begin);
        const double* root = values + root_ * kBlock;
        if (slots < rows)
            s_.tape.real_moved_rows(j, moved, values, rows, s_.real_complete.data() + begin, s_.real_moved.data(),
                                    s_.real_moved_rows.data());
        if (slots == 0 && s_.block_clean[b]) {
            // Every row on the axis and complete: the common case.
            for (std::size_t r = 0; r < rows; ++r) {
                s_.column_base[r] = root[r];
                s_.column_moved[r] = s_.real_moved_rows[r] == FormulaTape::kRowReal ? s_.real_moved[r]
                                                                                     : off_axis_moved(begin + r, j, moved);
            }
            return;
        }
        if (slots != 0)
            s_.tape.eval_moved_rows(j, moved_param, s_.base.data() + first * width_, slots,
                                    s_.complete.data() + first, s_.moved.data(), s_.moved_defined.data());
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t k = begin + r;
            double base = 0.0, at_moved = 0.0;
            if (!s_.on_axis[k]) {
                const std::size_t i = s_.slot[k] - first;
                const Complex* row_values = s_.base.data() + s_.slot[k] * width_;
                if (s_.state[k] == RowState::Complete) {
                    base = row_values[root_].re;
                    at_moved = s_.moved_defined[i] ? s_.moved[i].re : 0.0;
                } else if (s_.state[k] == RowState::Incomplete) {
                    at_moved = moved_from_scratch(row_values, j, moved_param);
                }
            } else if (s_.state[k] == RowState::Complete) {
                base = root[r];
                at_moved = s_.real_moved_rows[r] == FormulaTape::kRowReal ? s_.real_moved[r]
                                                                          : off_axis_moved(k, j, moved);
            }
            s_.column_base[r] = base;
            s_.column_moved[r] = at_moved;
        }
    }

    // A complete row's moved prediction where the moved values did not stay
    // on the axis: undefined there (0), or to be evaluated whole.
    double off_axis_moved(std::size_t k, std::size_t j, double moved) {
        const std::uint8_t row = s_.real_moved_rows[k % kBlock];
        return row == FormulaTape::kRowOffAxis ? moved_whole_row(k, j, moved) : 0.0;
    }

    // The moved prediction of a row whose stored values stop at an undefined
    // node: the whole dynamic part is evaluated again with parameter j moved.
    double moved_from_scratch(const Complex* values, std::size_t j, Complex moved) {
        s_.work.assign(values, values + width_);
        const Complex kept = s_.params[j];
        s_.params[j] = moved;
        const bool defined = s_.tape.eval_dynamic(s_.params, s_.work.data());
        s_.params[j] = kept;
        return defined ? s_.work[root_].re : 0.0;
    }

    // Row k evaluated whole as complex values: what the complex tape holds
    // for those parameters.
    std::optional<Complex> whole_row(std::size_t k, std::span<const Complex> params) {
        if (!formula_compiled_) {
            s_.formula.compile(tokens_, operators_);
            formula_compiled_ = true;
        }
        return s_.formula.eval(rows_.row(k), params, s_.stack);
    }

    // The same with parameter j moved, as a Jacobian entry reads it.
    double moved_whole_row(std::size_t k, std::size_t j, double moved) {
        s_.perturbed = s_.params;
        s_.perturbed[j] = Complex{moved, 0.0};
        const auto value = whole_row(k, s_.perturbed);
        return value ? value->re : 0.0;
    }

    // The block of real values holding row k, and the root's value at row k.
    double* real_block(std::vector<double>& values, std::size_t k) const {
        return values.data() + (k / kBlock) * width_ * kBlock;
    }
    double real_root(const std::vector<double>& values, std::size_t k) const {
        return values[(k / kBlock) * width_ * kBlock + root_ * kBlock + k % kBlock];
    }

    TapeScratch& s_;
    const Samples& rows_;
    std::span<const Token> tokens_;
    OperatorTable operators_;
    std::size_t width_;
    std::size_t root_;
    bool real_;
    bool formula_compiled_ = false;  // s_.formula holds tokens_
    Complex* block_values_ = nullptr;  // the trial values of the block being read
};

// The step loop's buffers, reused across refinements.
struct StepBuffers {
    std::vector<double> d, g, trial;
};

StepBuffers& step_buffers() {
    thread_local StepBuffers buffers;
    return buffers;
}

// The damped Gauss-Newton steps from p, on whichever values.
template <StepValues Values>
RefinedError gauss_newton(Values& values, std::span<const Token> tokens,
                          std::span<const double> targets, double alpha, double l1_ratio,
                          std::size_t max_iterations, std::vector<double>& p) {
    const std::size_t n = p.size();
    values.start(p);
    double error = mse([&](std::size_t k) { return values.start_value(k); }, targets,
                       penalty(tokens, p, alpha, l1_ratio));
    const double start_error = error;
    if (n == 0) return {error, start_error};

    StepBuffers& b = step_buffers();
    b.d.resize(n);
    b.g.resize(n);
    b.trial.resize(n);
    double lambda = kInitialLambda;
    int rejected = 0;
    // After a rejected step the parameters and their values are unchanged,
    // so d and g would come out the same.
    bool jacobian_current = false;
    for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
        if (lambda > kLambdaCeiling) break;
        if (!jacobian_current) {
            values.accumulate(p, targets, b.d, b.g);
            jacobian_current = true;
        }
        for (std::size_t j = 0; j < n; ++j)
            b.trial[j] = p[j] - b.g[j] / ((b.d[j] + lambda) + kDiagonalFloor);
        values.trial(b.trial);
        // Only whether the trial beats the current error matters, so its
        // rows stop once it cannot.
        const double trial_error = mse([&](std::size_t k) { return values.trial_value(k); }, targets,
                                       penalty(tokens, b.trial, alpha, l1_ratio), error);
        if (trial_error < error) {
            const double previous = error;
            p = b.trial;
            error = trial_error;
            values.accept();
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

// The solve of (A + lambda·diag(A)) x = -g by Cholesky, in place on `m`;
// false when the damped matrix is not positive definite (or not finite).
bool damped_step(std::span<const double> a, std::span<const double> g, double lambda, std::size_t n,
                 std::vector<double>& m, std::span<double> x) {
    m.assign(a.begin(), a.end());
    for (std::size_t i = 0; i < n; ++i) {
        // A column with no effect still gets a finite pivot, and its step is 0.
        const double diagonal = std::max(a[i * n + i], kLmDiagonalFloor);
        m[i * n + i] += lambda * diagonal + (a[i * n + i] > 0.0 ? 0.0 : kLmDiagonalFloor);
    }
    for (std::size_t j = 0; j < n; ++j) {
        double d = m[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= m[j * n + k] * m[j * n + k];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        const double root = std::sqrt(d);
        m[j * n + j] = root;
        for (std::size_t i = j + 1; i < n; ++i) {
            double v = m[i * n + j];
            for (std::size_t k = 0; k < j; ++k) v -= m[i * n + k] * m[j * n + k];
            m[i * n + j] = v / root;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {  // L y = -g
        double v = -g[i];
        for (std::size_t k = 0; k < i; ++k) v -= m[i * n + k] * x[k];
        x[i] = v / m[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {  // Lᵀ x = y
        double v = x[i];
        for (std::size_t k = i + 1; k < n; ++k) v -= m[k * n + i] * x[k];
        x[i] = v / m[i * n + i];
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

struct LmBuffers {
    std::vector<double> a, g, m, step, steps, trial;
};

LmBuffers& lm_buffers() {
    thread_local LmBuffers buffers;
    return buffers;
}

// Levenberg–Marquardt steps from p on the full JᵀJ. The error counts as
// converged when a step gains less than kLmRelativeGain of it, or when it
// falls to `exact_error` (rounding level): what is left then is not worth
// iterations.
template <StepValues Values>
RefinedError levenberg_marquardt(Values& values, std::span<const Token> tokens,
                                 std::span<const double> targets, double alpha, double l1_ratio,
                                 std::size_t max_iterations, double exact_error, std::vector<double>& p) {
    const std::size_t n = p.size();
    values.start(p);
    double error = mse([&](std::size_t k) { return values.start_value(k); }, targets,
                       penalty(tokens, p, alpha, l1_ratio));
    const double start_error = error;
    if (n == 0 || error <= exact_error) return {error, start_error};

    LmBuffers& b = lm_buffers();
    b.a.resize(n * n);
    b.g.resize(n);
    b.step.resize(n);
    b.steps.resize(n);
    b.trial.resize(n);
    double lambda = kLmInitialLambda;
    bool jacobian_current = false;
    for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
        if (!jacobian_current) {
            for (std::size_t j = 0; j < n; ++j) b.steps[j] = kLmRelativeStep * std::max(1.0, std::fabs(p[j]));
            values.normal_equations(p, b.steps, targets, b.a, b.g);
            jacobian_current = true;
        }
        if (!damped_step(b.a, b.g, lambda, n, b.m, b.step)) {
            lambda *= 10.0;
            if (lambda > kLmLambdaCeiling) break;
            continue;
        }
        bool moves = false;
        for (std::size_t j = 0; j < n; ++j) {
            b.trial[j] = p[j] + b.step[j];
            moves = moves || b.trial[j] != p[j];
        }
        if (!moves) break;  // the step is below the resolution of the values
        values.trial(b.trial);
        const double trial_error = mse([&](std::size_t k) { return values.trial_value(k); }, targets,
                                       penalty(tokens, b.trial, alpha, l1_ratio), error);
        if (trial_error < error) {
            const double gain = error - trial_error;
            const bool was_finite = std::isfinite(error);
            p = b.trial;
            error = trial_error;
            values.accept();
            jacobian_current = false;
            lambda = std::max(lambda / 10.0, kLmLambdaFloor);
            // A small gain under heavy damping says little about convergence:
            // only a nearly undamped step that gains little ends the fit.
            const bool small_gain = was_finite && gain <= kLmRelativeGain * (error + gain);
            if (error <= exact_error || (small_gain && lambda <= kLmInitialLambda)) break;
        } else {
            lambda *= 10.0;
            if (lambda > kLmLambdaCeiling) break;
        }
    }
    return {error, start_error};
}

// Runs `solve` on the tape when the formula compiles to one within budget,
// else on plain evaluation.
template <class Solve>
RefinedError on_values(std::span<const Token> tokens, const Samples& rows, OperatorTable operators,
                       ValueSource source, std::size_t n, Solve&& solve) {
    if (source.tape && n != 0 && !rows.empty()) {
        TapeScratch& s = tape_scratch();
        const std::size_t bytes = 2 * rows.size() * tokens.size() * sizeof(Complex);
        if (bytes <= kTapeBudgetBytes && s.tape.compile(tokens, operators)) {
            TapeValues values(s, rows, tokens, operators, source.real_axis);
            const RefinedError out = solve(values);
            s.release_if_large();
            return out;
        }
    }
    PlainValues values(tokens, rows, operators, n);
    return solve(values);
}

}  // namespace

RefinedError fit_values_lm(std::span<const Token> tokens, const Samples& rows,
                           std::span<const double> targets, double alpha, double l1_ratio,
                           OperatorTable operators, std::size_t max_iterations, ValueSource source,
                           double exact_error, std::vector<double>& p) {
    return on_values(tokens, rows, operators, source, p.size(), [&](auto& values) {
        return levenberg_marquardt(values, tokens, targets, alpha, l1_ratio, max_iterations, exact_error, p);
    });
}

RefinedError refine_values(std::span<const Token> tokens, const Samples& rows,
                           std::span<const double> targets, double alpha, double l1_ratio,
                           OperatorTable operators, std::size_t max_iterations, ValueSource source,
                           std::vector<double>& p) {
    p.clear();
    for (const Token& t : tokens)
        if (t.kind == TokenKind::Param) p.push_back(t.value.re);
    return on_values(tokens, rows, operators, source, p.size(), [&](auto& values) {
        return gauss_newton(values, tokens, targets, alpha, l1_ratio, max_iterations, p);
    });
}

Refined refine_constants(const Expression& expression, const Samples& rows,
                         std::span<const double> targets, double alpha, double l1_ratio,
                         const OperatorRegistry& registry, std::size_t max_iterations, ValueSource source) {
    std::vector<double> p;
    const RefinedError result = refine_values(expression.tokens, rows, targets, alpha, l1_ratio,
                                              registry.operators(), max_iterations, source, p);
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
