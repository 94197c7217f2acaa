// The reuse of computed values (stored operand values, the refinement tape)
// must change nothing but speed: every value, error, fitted constant, text and
// counter is compared bit for bit against plain evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "eval/interpreter.hpp"
#include "eval/fingerprint.hpp"
#include "engine/bfs.hpp"
#include "eval/formula_tape.hpp"
#include "engine/generate.hpp"
#include "engine/optimizer.hpp"
#include "engine/scoring.hpp"
#include "eval/point_values.hpp"
#include "eval/row_values.hpp"
#include "ops/builtin.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using test::builtins;
using test::ops;
using test::same_bits;
using test::same_complex;

using Rows = std::vector<std::vector<double>>;

// Random formulas over up to three variables, with parameters (some with an
// imaginary or negative-zero default), real and named constants.
class FormulaMaker {
public:
    explicit FormulaMaker(std::uint32_t seed) : rng_(seed) {}

    Expression make(int depth) {
        if (depth == 0 || pick(4) == 0) return leaf();
        const auto& metas = builtins().metas();
        const std::vector<std::size_t> ids = builtins().ids_by_arity(pick(2) == 0 ? 1 : 2);
        const std::size_t id = ids[pick(ids.size())];
        if (metas[id].arity == 1) return compose_unary(make(depth - 1), id, metas[id]);
        return *compose_binary(make(depth - 1), make(depth - 1), id, metas[id]);
    }

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

private:
    Expression leaf() {
        switch (pick(8)) {
            case 0:
            case 1:
            case 2:
                return Expression::variable(pick(3));
            case 3:
                return Expression::parameter({uniform(-2, 2), 0.0});
            case 4:
                return Expression::parameter({uniform(-2, 2), pick(2) ? -0.0 : 0.5});
            case 5: {
                const std::size_t id = pick(5);
                const auto& constant = static_cast<const ConstOp&>(*ops()[id]);
                return Expression{{Token::complex_const(id, constant.value())}, "K", 0, 0};
            }
            case 6:
                return Expression{{Token::real_const(uniform(-3, 3))}, "R", 0, 0};
            default:
                return Expression::parameter();
        }
    }

    std::mt19937 rng_;
};

// Rows of up to three variables; some rows are short (their missing variables
// are undefined) and some hold values beyond the limit.
Samples random_rows(FormulaMaker& maker, std::size_t count, Rows* out = nullptr) {
    Rows rows;
    for (std::size_t k = 0; k < count; ++k) {
        std::vector<double> row;
        const std::size_t width = k % 7 == 3 ? 1 : 3;
        for (std::size_t j = 0; j < width; ++j) row.push_back(maker.uniform(-3.0, 3.0));
        if (k % 11 == 5) row[0] = 2e15;
        if (k % 13 == 4) row[0] = 0.0;
        rows.push_back(row);
    }
    if (out) *out = rows;
    return Samples::from_rows(rows);
}

std::vector<double> random_targets(FormulaMaker& maker, std::size_t count) {
    std::vector<double> ys;
    for (std::size_t k = 0; k < count; ++k) ys.push_back(maker.uniform(-2.0, 2.0));
    return ys;
}

TEST(Reuse, TapeEvaluatesEveryRandomFormulaLikeTheStackMachine) {
    FormulaMaker maker(7);
    const Samples rows = random_rows(maker, 24);
    const std::size_t count = rows.size();
    FormulaTape tape;
    std::vector<Complex> stack, params, values, row_by_row, moved(count);
    std::vector<std::uint8_t> alive(count), defined(count);
    int moved_checks = 0;
    for (int f = 0; f < 3000; ++f) {
        const Expression e = maker.make(4);
        ASSERT_TRUE(tape.compile(e.tokens, ops())) << e.text;
        params.clear();
        for (const Token& t : e.tokens)
            if (t.kind == TokenKind::Param) params.push_back(t.value);
        const std::size_t width = tape.size();
        values.assign(count * width, Complex{});
        row_by_row.assign(width, Complex{});
        for (std::size_t k = 0; k < count; ++k) alive[k] = tape.eval_static(rows.row(k), values.data() + k * width);
        tape.eval_dynamic_rows(params, values.data(), count, alive.data());
        for (std::size_t k = 0; k < count; ++k) {
            stack.clear();
            const auto expected = eval_internal(e.tokens, rows.row(k), params, ops(), stack);
            ASSERT_EQ(alive[k] != 0, expected.has_value()) << e.text << " row " << k;
            // The row-at-a-time evaluation agrees with the block one.
            const bool single = tape.eval_static(rows.row(k), row_by_row.data()) &&
                                tape.eval_dynamic(params, row_by_row.data());
            ASSERT_EQ(single, expected.has_value()) << e.text;
            if (!expected) continue;
            ASSERT_TRUE(same_complex(values[k * width + tape.root()], *expected)) << e.text;
            ASSERT_TRUE(same_complex(row_by_row[tape.root()], *expected)) << e.text;
        }
        const std::vector<Complex> before = values;
        for (std::size_t j = 0; j < params.size(); ++j) {
            std::vector<Complex> shifted = params;
            shifted[j] = Complex{params[j].re + 1e-6, 0.0};
            tape.eval_moved_rows(j, shifted[j], values.data(), count, alive.data(), moved.data(), defined.data());
            for (std::size_t k = 0; k < count; ++k) {
                if (!alive[k]) continue;
                stack.clear();
                const auto want = eval_internal(e.tokens, rows.row(k), shifted, ops(), stack);
                ASSERT_EQ(defined[k] != 0, want.has_value()) << e.text;
                if (want) {
                    ASSERT_TRUE(same_complex(moved[k], *want)) << e.text;
                }
                ++moved_checks;
            }
        }
        // The stored evaluation is left as it was.
        for (std::size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(same_complex(values[i], before[i]));
    }
    EXPECT_GT(moved_checks, 10000);
}

// Rows the real evaluation keeps, on the tape and on the stack machine, must
// hold exactly the real part of the complex value, whose imaginary part is a
// zero; rows it finds undefined must be undefined. Only rows it sends off the
// axis are left to complex values.
TEST(Reuse, RealTapeAgreesWithTheStackMachineOnTheRowsItKeeps) {
    FormulaMaker maker(17);
    const Samples rows = random_rows(maker, 24);
    const std::size_t count = rows.size();
    constexpr std::size_t kB = FormulaTape::kRealBlock;
    static_assert(kB >= 24, "one block holds the rows");
    FormulaTape tape;
    std::vector<Complex> stack, params;
    std::vector<double> real_params, values, moved(kB), real_stack;
    std::vector<std::uint8_t> state(kB), moved_state(kB);
    int kept = 0, kept_moved = 0, kept_whole = 0;
    const auto check = [&](std::uint8_t row_state, double value, const std::optional<Complex>& want,
                           const std::string& text) {
        if (row_state == FormulaTape::kRowOffAxis) return false;
        EXPECT_EQ(row_state == FormulaTape::kRowReal, want.has_value()) << text;
        if (row_state != FormulaTape::kRowReal || !want) return false;
        EXPECT_TRUE(same_bits(value, want->re)) << text;
        EXPECT_EQ(want->im, 0.0) << text;
        return true;
    };
    for (int f = 0; f < 3000; ++f) {
        const Expression e = maker.make(4);
        ASSERT_TRUE(tape.compile(e.tokens, ops())) << e.text;
        if (!tape.real_ready()) continue;
        params.clear();
        real_params.clear();
        for (const Token& t : e.tokens) {
            if (t.kind != TokenKind::Param) continue;
            params.push_back({t.value.re, 0.0});
            real_params.push_back(t.value.re);
        }
        values.assign(tape.size() * kB, 0.0);
        std::fill(state.begin(), state.end(), FormulaTape::kRowReal);
        tape.real_static_rows(rows, 0, count, values.data(), state.data());
        tape.real_dynamic_rows(real_params, values.data(), count, state.data());
        // The stack machine's real evaluation, with every Param at its default.
        const CompiledFormula formula(e.tokens, ops());
        for (std::size_t k = 0; k < count; ++k) {
            stack.clear();
            const auto want = eval_internal(e.tokens, rows.row(k), params, ops(), stack);
            kept += check(state[k], values[tape.root() * kB + k], want, e.text);
            double one = 0.0;
            const auto outcome = formula.eval_real(rows.row(k), one, real_stack);
            const std::uint8_t as_state = outcome == CompiledFormula::RealOutcome::Value ? FormulaTape::kRowReal
                                          : outcome == CompiledFormula::RealOutcome::Undefined
                                              ? FormulaTape::kRowUndefined
                                              : FormulaTape::kRowOffAxis;
            kept_whole += check(as_state, one, eval_internal(e.tokens, rows.row(k), {}, ops(), stack), e.text);
        }
        for (std::size_t j = 0; j < params.size(); ++j) {
            std::vector<Complex> shifted = params;
            shifted[j] = Complex{params[j].re + 1e-6, 0.0};
            tape.real_moved_rows(j, shifted[j].re, values.data(), count, state.data(), moved.data(),
                                 moved_state.data());
            for (std::size_t k = 0; k < count; ++k) {
                if (state[k] != FormulaTape::kRowReal) continue;
                stack.clear();
                const auto want = eval_internal(e.tokens, rows.row(k), shifted, ops(), stack);
                kept_moved += check(moved_state[k], moved[k], want, e.text);
            }
        }
        if (testing::Test::HasFailure()) return;
    }
    EXPECT_GT(kept, 10000);
    EXPECT_GT(kept_moved, 5000);
    EXPECT_GT(kept_whole, 10000);
}

TEST(Reuse, ZeroTestAgreesWithHypot) {
    const double values[] = {0.0, -0.0, 5e-324, -5e-324, 1e-310, 1.0, -2.5, 1e308, test::kInf, -test::kInf, test::kNaN};
    for (const double re : values)
        for (const double im : values)
            EXPECT_EQ(cx::is_zero({re, im}), std::hypot(re, im) == 0.0) << re << " " << im;
}

// Real arguments skip library calls whose results are fixed at ±0; the
// general formulas must give the same bits there.
TEST(Reuse, RealArgumentShortcutsMatchTheGeneralFormulas) {
    const double values[] = {0.0,  -0.0, 5e-324, -5e-324, -1e-310, 0.5,  -0.5,  1.0,     -1.0,    3.0,
                             -3.0, 1e10, -1e10,   700.0,   710.0,   -745.5, 1e300, -DBL_MAX, test::kInf, -test::kInf,
                             test::kNaN, -test::kNaN};
    const auto eval1 = [](std::size_t id, Complex z) { return ops()[id]->eval(std::span<const Complex>(&z, 1)); };
    for (const double re : values) {
        for (const double im : {0.0, -0.0}) {
            const Complex z{re, im};
            EXPECT_TRUE(same_complex(eval1(op_ids::Sin, z), {std::sin(re) * std::cosh(im), std::cos(re) * std::sinh(im)}));
            EXPECT_TRUE(same_complex(eval1(op_ids::Cos, z), {std::cos(re) * std::cosh(im), -std::sin(re) * std::sinh(im)}));
            if (std::isfinite(re)) {
                const double m = std::exp(re);
                EXPECT_TRUE(same_complex(cx::exp(z), {m * std::cos(im), m * std::sin(im)})) << re;
            }
            const auto l = cx::ln(z);
            const double modulus = std::hypot(re, im);
            ASSERT_EQ(l.has_value(), modulus != 0.0) << re;
            if (l) {
                EXPECT_TRUE(same_complex(*l, {std::log(modulus), std::atan2(im, re)})) << re;
            }
        }
    }
}

TEST(Reuse, TapeRefusesWhatItCannotMirror) {
    FormulaTape tape;
    using test::op;
    using test::param;
    using test::var;
    EXPECT_FALSE(tape.compile({}, ops()));
    EXPECT_FALSE(tape.compile(std::vector<Token>{var(0), var(0)}, ops()));             // two values left
    EXPECT_FALSE(tape.compile(std::vector<Token>{var(0), op(op_ids::Plus)}, ops()));   // too few operands
    EXPECT_FALSE(tape.compile(std::vector<Token>{param(1), param(0), op(op_ids::Plus)}, ops()));  // slot order
    EXPECT_FALSE(tape.compile(std::vector<Token>{param(0), param(0), op(op_ids::Plus)}, ops()));  // shared slot
    EXPECT_FALSE(tape.compile(std::vector<Token>{var(0), Token::op(1, 999)}, ops()));  // unknown operator
    EXPECT_TRUE(tape.compile(std::vector<Token>{param(0), param(1), op(op_ids::Plus)}, ops()));
}

TEST(Reuse, RefinementGivesTheSameBitsOnRandomFormulas) {
    FormulaMaker maker(11);
    int refined = 0, mixed = 0;
    for (int f = 0; f < 1500; ++f) {
        const std::size_t count = 5 + maker.pick(30);
        const Samples rows = random_rows(maker, count);
        const std::vector<double> ys = random_targets(maker, count);
        const Expression e = maker.make(3);
        const double alpha = f % 3 == 0 ? 0.05 : 0.0;
        const std::size_t iterations = f % 5 == 0 ? 30 : 10;
        std::vector<double> plain_p, reuse_p;
        const RefinedError plain =
            refine_values(e.tokens, rows, ys, alpha, 0.3, ops(), iterations, false, plain_p);
        const RefinedError reuse =
            refine_values(e.tokens, rows, ys, alpha, 0.3, ops(), iterations, true, reuse_p);
        ASSERT_TRUE(same_bits(reuse.error, plain.error)) << e.text;
        ASSERT_TRUE(same_bits(reuse.start_error, plain.start_error)) << e.text;
        ASSERT_EQ(reuse_p.size(), plain_p.size());
        for (std::size_t j = 0; j < plain_p.size(); ++j) ASSERT_TRUE(same_bits(reuse_p[j], plain_p[j])) << e.text;
        refined += plain.error < plain.start_error;
        if (e.num_params == 0) continue;  // searches refine only formulas with parameters

        // Both errors are the raw errors of the formula holding the values:
        // scoring relies on it to take the starting error as the raw error,
        // and results report the final one. RealConst and Param tokens mixed
        // in one formula must enter the penalty in the same order both ways.
        const auto holding = [&](std::span<const double> values) {
            Expression out = e;
            write_fitted(out.tokens, values);
            return out;
        };
        std::vector<double> start;
        for (const Token& t : e.tokens)
            if (t.kind == TokenKind::Param) start.push_back(t.value.re);
        ASSERT_TRUE(same_bits(compute_raw_error(holding(start), rows, ys, ops(), alpha, 0.3, true), plain.start_error))
            << e.text;
        ASSERT_TRUE(same_bits(compute_raw_error(holding(plain_p), rows, ys, ops(), alpha, 0.3, true), plain.error))
            << e.text;
        mixed += alpha != 0.0 && std::any_of(e.tokens.begin(), e.tokens.end(),
                                             [](const Token& t) { return t.kind == TokenKind::RealConst; });
    }
    // The comparison must cover refinements that moved the constants, and
    // penalised formulas holding both kinds of constant.
    EXPECT_GT(refined, 200);
    EXPECT_GT(mixed, 50);
}

// Constants that start with every row on the real axis and are fitted to
// data that only complex values reach: accepted trials take rows off the
// axis, and the fits must still be those of the complex tape and of plain
// evaluation, bit for bit, with either solver.
TEST(Reuse, TrialsThatTakeRowsOffTheAxisKeepTheBits) {
    using test::op;
    using test::param;
    using test::var;
    Rows raw;
    std::vector<double> ys;
    for (std::size_t k = 0; k < 90; ++k) {
        const double x = -1.5 + 0.034 * static_cast<double>(k);
        raw.push_back({x});
        ys.push_back(std::log(std::fabs(x + 0.3)) * 1.7 + 0.01 * std::cos(static_cast<double>(k)));
    }
    const Samples rows = Samples::from_rows(raw);
    // ln(x + a)·b and ln(sqrt(x + a)²)·b, from a = `shift`.
    const auto formula = [](int which, double shift) {
        std::vector<Token> tokens = {var(0), param(0, {shift, 0.0}), op(op_ids::Plus)};
        if (which == 1) tokens.insert(tokens.end(), {op(op_ids::Sqrt), op(op_ids::Square)});
        tokens.insert(tokens.end(), {op(op_ids::Log), param(1, {1.7, 0.0}), op(op_ids::Times)});
        return tokens;
    };
    for (const int which : {0, 1}) {
        for (const bool lm : {false, true}) {
            const double shift = lm ? 2.0 : 1.0;
            const std::vector<Token> tokens = formula(which, shift);
            std::vector<double> fitted[3];
            RefinedError errors[3];
            const ValueSource sources[3] = {{true, true}, {true, false}, {false, false}};
            for (int s = 0; s < 3; ++s) {
                if (lm) {
                    for (const Token& t : tokens)
                        if (t.kind == TokenKind::Param) fitted[s].push_back(t.value.re);
                    errors[s] = fit_values_lm(tokens, rows, ys, 0.0, 0.5, ops(), 30, sources[s], 0.0, fitted[s]);
                } else {
                    errors[s] = refine_values(tokens, rows, ys, 0.0, 0.5, ops(), 30, sources[s], fitted[s]);
                }
            }
            // The fitted shift moved past rows, whose logarithm argument
            // turned negative: an accepted trial took them off the axis.
            EXPECT_LT(fitted[0][0], shift - 0.1) << which << lm;
            for (int s = 1; s < 3; ++s) {
                EXPECT_TRUE(same_bits(errors[0].error, errors[s].error)) << lm << " " << s;
                ASSERT_EQ(fitted[0].size(), fitted[s].size());
                for (std::size_t j = 0; j < fitted[0].size(); ++j)
                    EXPECT_TRUE(same_bits(fitted[0][j], fitted[s][j])) << lm << " " << s << " " << j;
            }
        }
    }
}

TEST(Reuse, CompositionsFromStoredValuesMatchWholeEvaluation) {
    FormulaMaker maker(23);
    Rows raw;
    const Samples rows = random_rows(maker, 40, &raw);
    const std::vector<double> ys = random_targets(maker, rows.size());
    std::vector<Expression> operands;
    for (int i = 0; i < 60; ++i) operands.push_back(maker.make(2));
    const PointValues probes = PointValues::at_probes(operands, ops());
    // Stored with their real parts alone where they stay on the real axis,
    // and all complex.
    const RowValues at_rows[2] = {RowValues::at_rows(operands, rows, ops(), true),
                                  RowValues::at_rows(operands, rows, ops(), false)};
    const auto& metas = builtins().metas();
    int defined_keys = 0, finite_errors = 0, real_operands = 0;
    for (std::size_t id = op_ids::Zero; id < metas.size(); ++id) {
        if (metas[id].arity == 0) continue;
        for (std::size_t a = 0; a < operands.size(); ++a) {
            for (std::size_t b = 0; b < (metas[id].arity == 2 ? operands.size() : 1); b += 3) {
                const Expression composed =
                    metas[id].arity == 1 ? compose_unary(operands[a], id, metas[id])
                                         : *compose_binary(operands[a], operands[b], id, metas[id]);
                const OperandValues left_probe{probes.values(a), probes.defined(a)};
                const OperandValues right_probe{probes.values(b), probes.defined(b)};
                const auto key = composed_fingerprint(OperatorCall(*ops()[id]), left_probe, right_probe);
                const auto want = fingerprint(composed, ops());
                ASSERT_EQ(key.has_value(), want.has_value()) << composed.text;
                if (key) {
                    ASSERT_EQ(*key, *want) << composed.text;
                }
                defined_keys += key.has_value();

                const std::span<const Token> right_tokens =
                    metas[id].arity == 2 ? std::span<const Token>(operands[b].tokens) : std::span<const Token>();
                // Whole evaluation in complex arithmetic, and in real
                // arithmetic where the values stay on the axis.
                const double whole = compute_raw_error(composed, rows, ys, ops(), 0.02, 0.4, false);
                ASSERT_TRUE(same_bits(compute_raw_error(composed, rows, ys, ops(), 0.02, 0.4, true), whole))
                    << composed.text;
                for (const RowValues& stored : at_rows) {
                    const double error =
                        composed_raw_error(OperatorCall(*ops()[id]), stored.operand(a), stored.operand(b),
                                           operands[a].tokens, right_tokens, ys, 0.02, 0.4);
                    ASSERT_TRUE(same_bits(error, whole)) << composed.text;
                }
                finite_errors += std::isfinite(whole);
                real_operands += at_rows[0].operand(a).on_real_axis() && at_rows[0].operand(b).on_real_axis();
            }
        }
    }
    EXPECT_GT(defined_keys, 1000);
    EXPECT_GT(finite_errors, 100);
    EXPECT_GT(real_operands, 1000);
}

// Everything a search reports, with the level lines' durations blanked out.
struct SearchRecord {
    std::vector<std::string> results;
    std::vector<std::string> lines;
    std::vector<std::uint64_t> counters;
    bool ok = false;
};

std::string hex(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%a", v);
    return buffer;
}

SearchRecord record(const Rows& rows, const std::vector<double>& ys, const SearchConfig& config) {
    SearchRecord out;
    SearchStats stats;
    testing::internal::CaptureStdout();
    const auto outcome = run_bfs(rows, ys, config, &stats);
    const std::string text = testing::internal::GetCapturedStdout();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        // Progress lines depend on the clock; level lines only through their duration.
        if (line.rfind("[VORN-SR]", 0) != 0) continue;
        const std::size_t in = line.find(" processed in "), dot = line.find(". Retaining");
        if (in != std::string::npos && dot != std::string::npos) line.replace(in, dot - in, " processed in D");
        out.lines.push_back(line);
    }
    out.ok = outcome.ok();
    if (!outcome.ok()) {
        out.results.push_back(outcome.error().message());
        return out;
    }
    for (const SearchResult& r : outcome.value()) {
        std::string entry = r.formula();
        for (const std::string& part : {r.to_python(), hex(r.error)}) {
            entry += " | ";
            entry += part;
        }
        for (const Token& t : r.expression.tokens) {
            if (t.kind != TokenKind::Param) continue;
            entry += ' ';
            entry += hex(t.value.re);
            entry += ',';
            entry += hex(t.value.im);
        }
        out.results.push_back(entry);
    }
    for (const LevelStats& l : stats.levels)
        out.counters.insert(out.counters.end(), {l.generated, l.admitted, l.scored, l.refined, l.retained});
    out.counters.push_back(stats.fingerprints);
    return out;
}

TEST(Reuse, SearchesGiveTheSameResultsWithAndWithoutReuse) {
    struct Case {
        const char* name;
        std::size_t vars;
        std::function<double(const std::vector<double>&)> f;
        double noise;
        void (*tune)(SearchConfig&);
    };
    const std::vector<Case> cases = {
        {"noisy line", 1, [](const auto& x) { return 2.5 * x[0] + 1.0; }, 0.05, [](SearchConfig&) {}},
        {"log on signed data", 1, [](const auto& x) { return std::log(std::fabs(x[0]) + 0.5); }, 0.02,
         [](SearchConfig&) {}},
        {"product of two", 2, [](const auto& x) { return x[0] * std::cos(x[1]); }, 0.01, [](SearchConfig&) {}},
        {"ratio of three", 3, [](const auto& x) { return (x[0] + x[1]) / (x[2] + 4.0); }, 0.01,
         [](SearchConfig&) {}},
        {"penalised", 1, [](const auto& x) { return std::exp(0.3 * x[0]); }, 0.02,
         [](SearchConfig& c) {
             c.alpha = 0.01;
             c.l1_ratio = 0.7;
         }},
        {"no refinement", 2, [](const auto& x) { return x[0] - x[1] * x[1]; }, 0.03,
         [](SearchConfig& c) { c.refine_constants = false; }},
        {"row values for level 1 only", 1, [](const auto& x) { return std::sin(x[0]) * 1.7; }, 0.02,
         [](SearchConfig& c) { c.row_value_budget_bytes = 200 * 17; }},
        {"exact, stops early", 1, [](const auto& x) { return x[0] * x[0] + x[0]; }, 0.0, [](SearchConfig&) {}},
    };
    FormulaMaker maker(5);
    for (const Case& c : cases) {
        Rows rows;
        std::vector<double> ys;
        for (std::size_t k = 0; k < 60; ++k) {
            std::vector<double> row;
            for (std::size_t j = 0; j < c.vars; ++j) row.push_back(maker.uniform(-2.5, 2.5));
            ys.push_back(c.f(row) + c.noise * maker.uniform(-1.0, 1.0));
            rows.push_back(row);
        }
        SearchConfig config;
        config.max_complexity = 6;
        config.beam_width = 80;
        c.tune(config);
        config.reuse_computed_values = false;
        const SearchRecord plain = record(rows, ys, config);
        config.reuse_computed_values = true;
        const SearchRecord reuse = record(rows, ys, config);
        ASSERT_TRUE(plain.ok) << c.name;
        EXPECT_EQ(reuse.results, plain.results) << c.name;
        EXPECT_EQ(reuse.lines, plain.lines) << c.name;
        EXPECT_EQ(reuse.counters, plain.counters) << c.name;
        EXPECT_GE(plain.lines.size(), 2u) << c.name;
    }
}

// Real arithmetic where values stay on the real axis must not change a bit:
// data that cross zero (logarithms and roots of negative values leave the
// axis), data holding exact zeros (signed zeros), the engine's other fitting
// method, and plain evaluation, where every candidate's error comes from the
// stack machine rather than from stored values.
TEST(Reuse, SearchesGiveTheSameResultsWithAndWithoutTheRealAxis) {
    struct Case {
        const char* name;
        std::function<double(const std::vector<double>&)> f;
        std::function<double(std::size_t)> x;
        void (*tune)(SearchConfig&);
    };
    const std::vector<Case> cases = {
        {"signed data", [](const auto& x) { return std::sqrt(std::fabs(x[0])) - 0.5 * x[1]; },
         [](std::size_t k) { return -2.0 + 0.07 * static_cast<double>(k % 59); }, [](SearchConfig&) {}},
        {"exact zeros", [](const auto& x) { return x[0] * x[1] + 1.0; },
         [](std::size_t k) { return static_cast<double>(static_cast<int>(k % 5) - 2); }, [](SearchConfig&) {}},
        {"Levenberg-Marquardt, scaled", [](const auto& x) { return std::exp(0.4 * x[0]) / (x[1] + 3.0); },
         [](std::size_t k) { return std::sin(0.37 * static_cast<double>(k)) * 2.0; },
         [](SearchConfig& c) {
             c.engine.fit = FitMethod::LevenbergMarquardt;
             c.engine.scaled_ranking = true;
         }},
        {"plain evaluation, signed data", [](const auto& x) { return std::log(std::fabs(x[0]) + 0.3) * x[1]; },
         [](std::size_t k) { return -1.5 + 0.05 * static_cast<double>(k % 61); },
         [](SearchConfig& c) { c.reuse_computed_values = false; }},
    };
    for (const Case& c : cases) {
        Rows rows;
        std::vector<double> ys;
        for (std::size_t k = 0; k < 60; ++k) {
            const std::vector<double> row = {c.x(k), c.x(k * 7 + 3)};
            ys.push_back(c.f(row) + 0.01 * std::cos(1.3 * static_cast<double>(k)));
            rows.push_back(row);
        }
        SearchConfig config;
        config.max_complexity = 6;
        config.beam_width = 80;
        c.tune(config);
        config.real_fast_path = false;
        const SearchRecord complex = record(rows, ys, config);
        config.real_fast_path = true;
        const SearchRecord real = record(rows, ys, config);
        ASSERT_TRUE(complex.ok) << c.name;
        EXPECT_EQ(real.results, complex.results) << c.name;
        EXPECT_EQ(real.lines, complex.lines) << c.name;
        EXPECT_EQ(real.counters, complex.counters) << c.name;
        EXPECT_GE(complex.lines.size(), 2u) << c.name;
    }
}

}  // namespace
}  // namespace vorn
