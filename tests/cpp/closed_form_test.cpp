// The closed-form search behind recognize_constant: value keys, the algebra
// of joins, the extended-precision check, the levels and their beam, and the
// search itself.
#include <gtest/gtest.h>
#include <omp.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "eval/interpreter.hpp"
#include "engine/closed_form.hpp"
#include "engine/extended_eval.hpp"
#include "engine/join_algebra.hpp"
#include "engine/value_beam.hpp"
#include "engine/value_key.hpp"
#include "facade/searcher.hpp"
#include "ops/builtin.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;

struct LineSink final : ProgressSink {
    std::vector<std::pair<ProgressKind, std::string>> lines;
    void report(ProgressKind kind, std::string_view text) override { lines.emplace_back(kind, std::string(text)); }
};

Outcome<std::optional<SearchResult>> closed_form(double value, RunControl control = {},
                                                 ClosedFormStats* stats = nullptr) {
    static SilentSink silent;
    if (!control.sink) control.sink = &silent;
    const SearchConfig config;
    return find_closed_form(value, config, closed_form_settings(config), control, stats);
}

TEST(ValueKey, EqualNumbersShareAKeyAndOthersDoNot) {
    struct Case {
        Complex a, b;
        bool same;
    };
    const Case cases[] = {
        {{1.0, 0.0}, {0.9999999999999999, 0.0}, true},  // rounds up across a power of two
        {{2.0000000000000004, 0.0}, {2.0, 0.0}, true},
        {{std::sqrt(2.0), 0.0}, {2.0 / std::sqrt(2.0), 0.0}, true},
        {{3.0, 1e-17}, {3.0, 0.0}, true},  // imaginary rounding noise
        {{-3.0, -0.0}, {-3.0, 0.0}, true},
        {{1e-14, 0.0}, {0.0, 0.0}, true},  // below the zero floor
        {{1.0, 0.0}, {1.0 + 1e-11, 0.0}, false},
        {{1.0, 0.0}, {-1.0, 0.0}, false},
        {{1.0, 0.0}, {0.0, 1.0}, false},
        {{1.0, 1.0}, {1.0, 1.0 + 1e-11}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a.re << "+" << c.a.im << "i vs " << c.b.re << "+" << c.b.im << "i");
        EXPECT_EQ(value_key(c.a, 40) == value_key(c.b, 40), c.same);
    }
}

TEST(JoinAlgebra, TheOperandFoundComposesToTheTarget) {
    const auto ops = test::ops();
    const Complex knowns[] = {{0.7, 0.0}, {2.5, 0.0}, {-1.3, 0.0}, {0.4, 0.9}};
    const Complex targets[] = {{1.618033988749895, 0.0}, {-0.3, 0.0}, {12.5, 0.0}};
    int solved = 0;
    for (const std::size_t op : {op_ids::Plus, op_ids::Times, op_ids::Subtract, op_ids::Divide, op_ids::Vorn}) {
        for (const Complex known : knowns) {
            for (const Complex t : targets) {
                SCOPED_TRACE(testing::Message() << "op " << op << " known " << known.re << "+" << known.im << "i t "
                                                << t.re);
                if (const auto right = right_operand_for(op, known, t)) {
                    const auto v = ops[op]->eval(std::vector<Complex>{known, *right});
                    ASSERT_TRUE(v);
                    EXPECT_NEAR(v->re, t.re, 1e-12 * std::fabs(t.re));
                    EXPECT_NEAR(v->im, 0.0, 1e-12);
                    ++solved;
                }
                if (const auto left = left_operand_for(op, known, t)) {
                    const auto v = ops[op]->eval(std::vector<Complex>{*left, known});
                    ASSERT_TRUE(v);
                    EXPECT_NEAR(v->re, t.re, 1e-12 * std::fabs(t.re));
                    EXPECT_NEAR(v->im, 0.0, 1e-12);
                    ++solved;
                }
            }
        }
    }
    EXPECT_GT(solved, 100);
    // Vorn's right operand exists only where ln gives e^a − t back: e^(2+2i)
    // has an imaginary part beyond π.
    EXPECT_FALSE(right_operand_for(op_ids::Vorn, {2.0, 2.0}, {0.3, 0.0}));
}

TEST(ExtendedEval, EachOperatorGivesTheTrueValueInEveryRegime) {
    using test::op;
    using test::var;
    const Token one[] = {var(0), op(op_ids::Exp)};
    const auto with = [&](std::vector<Token> tail) {
        std::vector<Token> tokens(std::begin(one), std::end(one));
        tokens.insert(tokens.end(), tail.begin(), tail.end());
        return tokens;
    };
    const long double pi = std::acos(-1.0L);
    struct Case {
        std::vector<Token> tokens;
        long double re, im;
    };
    const Case cases[] = {
        {with({op(op_ids::Neg), op(op_ids::ArcCos)}), pi, 0.0L},
        {with({op(op_ids::Neg), op(op_ids::Log)}), 0.0L, pi},
        {with({op(op_ids::Neg), op(op_ids::Sqrt)}), 0.0L, 1.0L},
        {with({op(op_ids::Exp), op(op_ids::Square), op(op_ids::Log)}), 2.0L, 0.0L},
        {with({op(op_ids::ArcTan), op(op_ids::Tan)}), 1.0L, 0.0L},
        {with({op(op_ids::Sin), op(op_ids::ArcSin)}), 1.0L, 0.0L},
        {with({op(op_ids::Cos), op(op_ids::Inv)}), 1.0L / std::cos(1.0L), 0.0L},
        {with({op(op_ids::Exp), op(op_ids::Cube)}), std::exp(3.0L), 0.0L},
        {with({var(0), op(op_ids::Exp), op(op_ids::Plus), op(op_ids::ArcCos)}), 0.0L, std::log(2.0L + std::sqrt(3.0L))},
        {with({var(0), op(op_ids::Exp), op(op_ids::Exp), op(op_ids::Vorn)}), std::exp(1.0L) - 1.0L, 0.0L},
        {with({var(0), op(op_ids::Exp), op(op_ids::Exp), op(op_ids::Divide)}), 1.0L / std::exp(1.0L), 0.0L},
        {with({var(0), op(op_ids::Exp), op(op_ids::Exp), op(op_ids::Subtract)}), 1.0L - std::exp(1.0L), 0.0L},
        {with({var(0), op(op_ids::ArcCos), op(op_ids::Times)}), std::acos(0.0L), 0.0L},
    };
    for (const Case& c : cases) {
        const auto v = eval_extended(c.tokens);
        ASSERT_TRUE(v);
        EXPECT_NEAR(static_cast<double>(v->re - c.re), 0.0, 1e-17);
        EXPECT_NEAR(static_cast<double>(std::fabs(v->im) - std::fabs(c.im)), 0.0, 1e-17);
    }
    EXPECT_FALSE(eval_extended(with({var(0), op(op_ids::Divide)})));  // 1 / 0
}

// Levels 2 to 5 kept whole.
ValueLevels whole_levels() {
    ValueLevels levels(40);
    for (int k = 2; k <= 5; ++k) {
        const auto candidates = levels.compose_next(test::builtins(), nullptr);
        levels.keep(candidates, levels.distinct(candidates, nullptr).ids);
    }
    return levels;
}

TEST(ValueLevels, KeptNodesAreDistinctAndHoldTheEnginesValues) {
    const OperatorRegistry& registry = test::builtins();
    ValueLevels levels(40);
    const auto second = levels.compose_next(registry, nullptr);
    const DistinctValues distinct = levels.distinct(second, nullptr);
    // Level 2: of Exp(v), Cos(v) (both 1) the first in generation order
    // wins, and ArcCos(v) is π/2; everything else is 0, the variable's value.
    ASSERT_EQ(distinct.ids.size(), 2u);
    EXPECT_EQ(levels.expression_of(second[distinct.ids[0]], registry).text, "Exp(v_{0})");
    EXPECT_EQ(distinct.counts[0], 2u);
    EXPECT_EQ(levels.expression_of(second[distinct.ids[1]], registry).text, "ArcCos(v_{0})");

    const ValueLevels whole = whole_levels();
    std::vector<ValueKey> keys;
    const std::vector<Complex> zero{Complex{0.0, 0.0}};
    for (std::uint32_t i = 0; i < whole.nodes().size(); ++i) {
        const Expression e = whole.expression(i, registry);
        EXPECT_EQ(e.complexity(), whole.level_of(i));
        const auto v = eval(e, zero, registry.operators());
        ASSERT_TRUE(v) << e.text;
        EXPECT_TRUE(test::same_bits(v->re, whole.nodes()[i].value.re)) << e.text;
        EXPECT_TRUE(test::same_bits(v->im, whole.nodes()[i].value.im)) << e.text;
        keys.push_back(value_key(v.value(), 40));
    }
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (std::size_t j = i + 1; j < keys.size(); ++j) ASSERT_FALSE(keys[i] == keys[j]) << i << " " << j;
}

TEST(ValueBeam, NearestFirstThenTheSpreadOfEachRule) {
    // Candidates 0..5 with their counts; the target is 3.1.
    const std::vector<ValueNode> candidates = {
        {{3.2345678901, 0.0}}, {{0.5, 0.0}}, {{2.9876543211, 0.0}}, {{7.0, 0.0}}, {{0.123, 0.0}}, {{3.14, 0.0}},
    };
    const DistinctValues distinct{{0, 1, 2, 3, 4, 5}, {1, 1, 5, 1, 3, 1}};
    struct Case {
        SpreadRule rule;
        std::vector<std::uint32_t> kept;
    };
    const Case cases[] = {
        {SpreadRule::RationalPopular, {1, 2, 3, 5}},  // 3.14, then 7 and 1/2, then the most popular
        {SpreadRule::Popular, {0, 2, 4, 5}},          // 3.14, then counts 5 and 3, then the first
        {SpreadRule::Generation, {0, 1, 2, 5}},
    };
    for (const Case& c : cases) {
        const BeamRule rule{4, 0.25, c.rule};
        EXPECT_EQ(choose_beam(candidates, distinct, {3.1, 0.0}, rule, 40), c.kept) << static_cast<int>(c.rule);
    }
    EXPECT_EQ(choose_beam(candidates, distinct, {3.1, 0.0}, BeamRule{6, 0.25, SpreadRule::Popular}, 40),
              distinct.ids);
}

TEST(ClosedForm, FindsTextbookConstantsExactly) {
    struct Case {
        const char* name;
        long double truth;
    };
    const Case cases[] = {
        {"sqrt 3", std::sqrt(3.0L)},
        {"ln 3", std::log(3.0L)},
        {"golden ratio", (1.0L + std::sqrt(5.0L)) / 2.0L},
        {"22/7", 22.0L / 7.0L},
        {"sqrt 2 + sqrt 3", std::sqrt(2.0L) + std::sqrt(3.0L)},
        {"-pi", -std::acos(-1.0L)},
        {"2^(1/3)", std::cbrt(2.0L)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found = closed_form(static_cast<double>(c.truth));
        ASSERT_TRUE(found.ok());
        ASSERT_TRUE(found.value().has_value());
        const Expression& e = found.value()->expression;
        EXPECT_EQ(e.num_params, 0) << e.text;
        EXPECT_LE(e.complexity(), 21u) << e.text;
        // The formula is the constant itself, not just its double: in
        // extended precision it agrees with the constant far beyond the
        // double's rounding.
        const auto wide = eval_extended(e.tokens);
        ASSERT_TRUE(wide) << e.text;
        EXPECT_LE(std::fabs(static_cast<double>((wide->re - c.truth) / c.truth)), 1e-17) << e.text;
        EXPECT_LE(std::fabs(static_cast<double>(wide->im)), 1e-17) << e.text;
    }
}

TEST(ClosedForm, NoCoincidenceWithinRoundingIsClaimed) {
    // Within 1e-12 of each of these, some join of the search lands by
    // coincidence (10^(1/3) within 3.6e-13); only an exact form may answer.
    const long double truths[] = {std::cbrt(10.0L), std::sin(std::acos(-1.0L) / 5.0L)};
    for (const long double truth : truths) {
        const auto found = closed_form(static_cast<double>(truth));
        ASSERT_TRUE(found.ok());
        if (!found.value()) continue;
        const auto wide = eval_extended(found.value()->expression.tokens);
        ASSERT_TRUE(wide);
        EXPECT_LE(std::fabs(static_cast<double>((wide->re - truth) / truth)), 1e-17) << found.value()->formula();
    }
}

TEST(ClosedForm, NoClaimForNumbersWithoutAKnownClosedForm) {
    const double values[] = {0.5772156649015329, 0.915965594177219, 1.2020569031595942, 1.2345678};
    for (const double v : values) {
        const auto found = closed_form(v);
        ASSERT_TRUE(found.ok());
        EXPECT_FALSE(found.value().has_value()) << v << ": " << found.value()->formula();
    }
}

TEST(ClosedForm, TheAnswerIsRealNotJustItsRealPart) {
    // Log(Log(Neg(Exp(v)))) is ln π + iπ/2: its real part alone matches.
    const auto found = closed_form(std::log(3.141592653589793));
    ASSERT_TRUE(found.ok() && found.value().has_value());
    const auto wide = eval_extended(found.value()->expression.tokens);
    ASSERT_TRUE(wide);
    EXPECT_LE(std::fabs(static_cast<double>(wide->im)), 1e-17) << found.value()->formula();
}

TEST(ClosedForm, SameAnswerOnAnyNumberOfThreads) {
    std::vector<std::string> answers;
    for (const int threads : {1, 2}) {
        omp_set_num_threads(threads);
        const auto found = closed_form((1.0 + std::sqrt(5.0)) / 2.0);
        ASSERT_TRUE(found.ok() && found.value().has_value());
        answers.push_back(found.value()->formula());
    }
    omp_set_num_threads(omp_get_num_procs());
    EXPECT_EQ(answers[0], answers[1]);
}

TEST(ClosedForm, BudgetAndStopEndTheSearch) {
    ClosedFormStats stats;
    const auto start = Clock::now();
    const auto spent = closed_form(0.5772156649015329, RunControl{{}, nullptr, std::chrono::milliseconds(20)}, &stats);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    ASSERT_TRUE(spent.ok());
    EXPECT_FALSE(spent.value().has_value());
    EXPECT_TRUE(stats.budget_exhausted);

    int asked = 0;
    const auto stopped = closed_form(0.5772156649015329, RunControl{[&] { return ++asked > 3; }});
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind, EngineError::Kind::Interrupted);
}

TEST(ClosedForm, ReportsItsLevelsThroughTheSink) {
    LineSink sink;
    const auto found = closed_form(std::sqrt(3.0), RunControl{{}, &sink});
    ASSERT_TRUE(found.ok() && found.value().has_value());
    ASSERT_GE(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].first, ProgressKind::Start);
    for (std::size_t i = 1; i < sink.lines.size(); ++i) {
        EXPECT_EQ(sink.lines[i].first, ProgressKind::Level);
        EXPECT_EQ(sink.lines[i].second.rfind("[VORN-SR]   -> Level " + std::to_string(i + 1) + " processed in ", 0), 0u)
            << sink.lines[i].second;
    }
    // Within rounding of 0 the variable alone answers, before any line.
    LineSink quiet;
    const auto zero = closed_form(-0.0, RunControl{{}, &quiet});
    ASSERT_TRUE(zero.ok() && zero.value().has_value());
    EXPECT_EQ(zero.value()->formula(), "v_{0}");
    EXPECT_TRUE(quiet.lines.empty());
}

TEST(RecognizeConstant, AwkwardNumbersAreAnsweredInTime) {
    const double values[] = {5e-324, -0.0, -2.5, 1e300, 1152921504606846976.0, 9.99e14, NAN};
    for (const double v : values) {
        SCOPED_TRACE(v);
        SilentSink silent;
        const auto start = Clock::now();
        const auto r = Searcher().recognize_constant(v, RunControl{{}, &silent});
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
        if (!r.ok()) {
            EXPECT_EQ(r.error().message(), "No formula found up to complexity 10");
            continue;
        }
        const double back = r.value().eval_at(std::vector<double>{0.0});
        if (std::fabs(v) < 1e15) {
            EXPECT_NEAR(back, v, 1e-6 * std::max(1.0, std::fabs(v))) << r.value().formula();
        }
    }
}

}  // namespace
}  // namespace vorn
