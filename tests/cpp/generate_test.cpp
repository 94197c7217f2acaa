#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "eval/fingerprint.hpp"
#include "engine/generate.hpp"
#include "engine/retention.hpp"

namespace vorn {
namespace {

const OperatorRegistry& registry() {
    static const OperatorRegistry r = OperatorRegistry::with_builtins();
    return r;
}

Expression plus_param_var() {
    return *compose_binary(Expression::parameter(), Expression::variable(0), op_ids::Plus,
                           registry().metas()[op_ids::Plus]);
}

TEST(Compose, BinaryShiftsTheRightOperandsSlots) {
    const Expression left = plus_param_var();   // Plus(C, v_{0})
    const Expression right = plus_param_var();
    const auto e = compose_binary(left, right, op_ids::Times, registry().metas()[op_ids::Times]);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->text, "Times(Plus(C, v_{0}), Plus(C, v_{0}))");
    EXPECT_EQ(e->complexity(), 7u);
    EXPECT_EQ(e->num_params, 2);
    std::vector<int> slots;
    for (const Token& t : e->tokens)
        if (t.kind == TokenKind::Param) slots.push_back(t.param_slot);
    EXPECT_EQ(slots, (std::vector<int>{0, 1}));
    EXPECT_EQ(right.tokens[0].param_slot, 0);  // the operand itself is untouched
}

TEST(Compose, CountsFollowTheOperands) {
    const Expression a = Expression::variable(0), c = Expression::variable(2);
    const auto e = compose_binary(a, c, op_ids::Subtract, registry().metas()[op_ids::Subtract]);
    EXPECT_EQ(e->num_vars, 3);
    const Expression u = compose_unary(*e, op_ids::Sin, registry().metas()[op_ids::Sin]);
    EXPECT_EQ(u.text, "Sin(Subtract(v_{0}, v_{2}))");
    EXPECT_EQ(u.complexity(), 4u);
    EXPECT_EQ(u.num_vars, 3);
}

TEST(Compose, RefusesMoreThan255Parameters) {
    Expression many = Expression::parameter();
    many.num_params = 200;  // only the count matters for the refusal
    EXPECT_FALSE(compose_binary(many, many, op_ids::Plus, registry().metas()[op_ids::Plus]));
    Expression fits = many;
    fits.num_params = 55;
    EXPECT_TRUE(compose_binary(many, fits, op_ids::Plus, registry().metas()[op_ids::Plus]));
}

// Level 1 of a search over `n_vars` variables, its fingerprints admitted to
// `seen`, and room for levels up to `top`.
std::vector<Level> seeded_levels(std::size_t n_vars, FingerprintSet& seen, std::size_t top) {
    std::vector<Level> levels(2);
    levels[1].push(Expression::parameter());
    for (std::size_t i = 0; i < n_vars; ++i) levels[1].push(Expression::variable(i));
    for (const auto& e : levels[1].expressions) seen.insert(*fingerprint(e, registry().operators()));
    levels.resize(top + 1);
    return levels;
}

std::vector<std::string> texts(const std::vector<CandidateRef>& refs, std::size_t k,
                               const std::vector<Level>& levels) {
    std::vector<std::string> out;
    for (const auto& r : refs) out.push_back(materialize(r, k, levels, registry()).text);
    return out;
}

TEST(Generate, LevelTwoIsTheUnaryPassOnly) {
    FingerprintSet seen;
    auto levels = seeded_levels(1, seen, 2);
    GenerationCounts counts;
    const auto refs = generate_level(2, levels, registry(), seen, counts);
    EXPECT_EQ(counts.generated, 26u);  // 2 leaves × 13 unary operators
    for (const auto& r : refs) EXPECT_EQ(r.arity, 1);
    const auto t = texts(refs, 2, levels);
    // Parent by parent, operator by operator.
    EXPECT_EQ(t.front(), "Neg(C)");
    EXPECT_NE(std::find(t.begin(), t.end(), "Sin(v_{0})"), t.end());
    EXPECT_EQ(counts.admitted, refs.size());
}

TEST(Generate, CommutativePairsOnlyInTextOrderAtEqualComplexity) {
    FingerprintSet seen;
    auto levels = seeded_levels(1, seen, 3);  // levels[2] left empty: only the binary pass 1+1 contributes
    GenerationCounts counts;
    const auto t = texts(generate_level(3, levels, registry(), seen, counts), 3, levels);
    const auto has = [&](const char* s) { return std::find(t.begin(), t.end(), s) != t.end(); };
    EXPECT_TRUE(has("Plus(C, v_{0})"));
    EXPECT_FALSE(has("Plus(v_{0}, C)"));
    EXPECT_TRUE(has("Plus(v_{0}, v_{0})"));  // an operand combined with itself
    EXPECT_TRUE(has("Subtract(C, v_{0})"));
    EXPECT_TRUE(has("Subtract(v_{0}, C)"));
    EXPECT_FALSE(has("Subtract(v_{0}, v_{0})"));  // zero, like Subtract(C, C) admitted before it
    // 2×2 pairs × 5 operators, less the pruned (v_{0}, C) order of Plus and Times.
    EXPECT_EQ(counts.generated, 18u);
}

TEST(Generate, EquivalentToAnEarlierExpressionIsDiscarded) {
    FingerprintSet seen;
    auto levels = seeded_levels(1, seen, 2);
    GenerationCounts counts;
    auto level2 = generate_level(2, levels, registry(), seen, counts);
    for (const auto& r : level2) levels[2].push(materialize(r, 2, levels, registry()));
    levels.resize(4);
    const auto t = texts(generate_level(3, levels, registry(), seen, counts), 3, levels);
    EXPECT_EQ(std::find(t.begin(), t.end(), "Neg(Neg(v_{0}))"), t.end());
    EXPECT_EQ(std::find(t.begin(), t.end(), "Inv(Inv(v_{0}))"), t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "Exp(Sin(v_{0}))"), t.end());
}

TEST(SkeletonHash, SharedExactlyByEqualOperatorSequences) {
    const auto& m = registry().metas();
    const Expression x = Expression::variable(0), y = Expression::variable(1), c = Expression::parameter();
    const auto un = [&](std::size_t op, const Expression& e) { return compose_unary(e, op, m[op]); };
    const auto bin = [&](std::size_t op, const Expression& l, const Expression& r) {
        return *compose_binary(l, r, op, m[op]);
    };
    EXPECT_EQ(operator_skeleton_hash(un(op_ids::Sin, bin(op_ids::Subtract, x, y))),
              SkeletonHash::of_op(op_ids::Subtract).then(SkeletonHash::of_op(op_ids::Sin)));
    EXPECT_EQ(operator_skeleton_hash(x), SkeletonHash{});
    struct Case {
        Expression a, b;
        bool same;
    };
    const Case cases[] = {
        {x, c, true},
        {bin(op_ids::Plus, c, x), bin(op_ids::Plus, y, y), true},  // other leaves
        // The sequence, not the tree: Sin, Plus in postfix order either way.
        {bin(op_ids::Plus, un(op_ids::Sin, x), y), bin(op_ids::Plus, x, un(op_ids::Sin, y)), true},
        {un(op_ids::Sin, un(op_ids::Cos, x)), un(op_ids::Cos, un(op_ids::Sin, x)), false},
        {un(op_ids::Sin, x), un(op_ids::Sin, un(op_ids::Sin, x)), false},
        {un(op_ids::Sin, x), un(op_ids::Cos, x), false},
        {bin(op_ids::Plus, x, y), bin(op_ids::Times, x, y), false},
    };
    for (const Case& t : cases)
        EXPECT_EQ(operator_skeleton_hash(t.a) == operator_skeleton_hash(t.b), t.same) << t.a.text << " " << t.b.text;
}

TEST(SkeletonHash, ComposedFromTheOperandsAsFromTheTokens) {
    FingerprintSet seen;
    auto levels = seeded_levels(2, seen, 5);
    GenerationCounts counts;
    for (std::size_t k = 2; k <= 3; ++k)
        for (const auto& r : generate_level(k, levels, registry(), seen, counts))
            levels[k].push(materialize(r, k, levels, registry()));
    // Every composition of levels 4 and 5 (level 4 left empty, so that level 5
    // is binary only, with 2 + 2 among its passes: both operands hold
    // operators), against the hash of its own tokens; and one hash per
    // distinct operator sequence.
    std::map<std::vector<std::size_t>, std::uint64_t> by_sequence;
    std::map<std::uint64_t, std::vector<std::size_t>> by_hash;
    std::size_t compositions = 0;
    for (std::size_t k = 4; k <= 5; ++k) {
        const auto refs = generate_level(k, levels, registry(), seen, counts);
        compositions += refs.size();
        for (const auto& r : refs) {
            const Expression e = materialize(r, k, levels, registry());
            const SkeletonHash hash = candidate_skeleton_hash(r, k, levels);
            ASSERT_EQ(hash, operator_skeleton_hash(e)) << e.text;
            std::vector<std::size_t> ops;
            for (const Token& t : e.tokens)
                if (t.kind == TokenKind::Op) ops.push_back(t.op_id);
            ASSERT_EQ(by_sequence.emplace(ops, hash.value).first->second, hash.value) << e.text;
            ASSERT_EQ(by_hash.emplace(hash.value, ops).first->second, ops) << e.text;
        }
    }
    EXPECT_GT(compositions, 10000u);
    EXPECT_LT(by_sequence.size(), compositions);  // sequences did repeat
}

TEST(Retention, BeamSizesAndDiversityShare) {
    // Ten candidates; skeletons: even indices 1, odd ones 2; 7 is a rare 3.
    const std::vector<double> scores{0.9, 0.1, 0.5, 0.3, 0.3, 0.8, 0.2, 0.95, 0.6, 0.7};
    const auto skeleton = [](std::uint32_t i) -> std::uint64_t { return i == 7 ? 3 : (i % 2 ? 2 : 1); };
    std::vector<std::uint32_t> all(10);
    for (std::uint32_t i = 0; i < 10; ++i) all[i] = i;
    struct Case {
        std::size_t beam;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {0, {}},
        {1, {1}},  // no elite: the single diversity pick is the best score (all unseen skeletons)
        {4, {1, 6, 3, 7}},  // elite 3 by score (ties keep candidate order), then the rare one
        {10, {1, 6, 3, 4, 2, 8, 9, 5, 0, 7}},
        {20, {1, 6, 3, 4, 2, 8, 9, 5, 0, 7}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(select_beam(scores, all, c.beam, skeleton), c.expected) << c.beam;
    }
    EXPECT_EQ(elite_count(1000), 800u);
    EXPECT_EQ(elite_count(10), 8u);
    EXPECT_EQ(elite_count(4), 3u);
    EXPECT_EQ(elite_count(1), 0u);
}

TEST(Retention, DiversityPrefersRareSkeletonsThenScoreThenOrder) {
    // beam 5: elite 4 = {0,1,2,3} all skeleton 1; the rest: 1 scores best,
    // but two unseen skeletons with equal score come first, in candidate order.
    const std::vector<double> scores{0.1, 0.2, 0.3, 0.4, 0.5, 0.9, 0.9};
    const auto skeleton = [](std::uint32_t i) -> std::uint64_t { return i >= 5 ? 100 + i : 1; };
    std::vector<std::uint32_t> all{0, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(select_beam(scores, all, 5, skeleton), (std::vector<std::uint32_t>{0, 1, 2, 3, 5}));
    // Only the dropped candidates take part: index 4 is excluded entirely.
    std::vector<std::uint32_t> some{0, 1, 2, 3, 5, 6};
    EXPECT_EQ(select_beam(scores, some, 5, skeleton), (std::vector<std::uint32_t>{0, 1, 2, 3, 5}));
}

}  // namespace
}  // namespace vorn
