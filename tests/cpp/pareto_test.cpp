#include <gtest/gtest.h>

#include <cmath>

#include "engine/final_selection.hpp"
#include "engine/pareto.hpp"
#include "engine/early_exit.hpp"
#include "engine/progress.hpp"

namespace vorn {
namespace {

// A formula of the wanted complexity without parameters: v_{0} under
// complexity-1 negations (only the size matters to the front).
Expression formula(std::size_t complexity, std::string text = "f") {
    std::vector<Token> tokens{Token::var(0)};
    for (std::size_t i = 1; i < complexity; ++i) tokens.push_back(Token::op(1, op_ids::Neg));
    return Expression{std::move(tokens), std::move(text), 1, 0};
}

Samples one_row() { return Samples::from_rows(std::vector<std::vector<double>>{{1.0}}); }

TEST(ParetoFront, StrictlyLowerErrorWinsAndTiesKeepTheFirst) {
    ParetoFront front;
    update_pareto(front, formula(3, "first"), 0.5);
    update_pareto(front, formula(3, "second"), 0.5);
    EXPECT_EQ(front.snapshot().at(0).second.expression.text, "first");
    update_pareto(front, formula(3, "third"), 0.4);
    const auto entries = front.snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second.expression.text, "third");
    EXPECT_EQ(entries[0].second.error, 0.4);
}

TEST(ParetoFront, FinalSelectionKeepsOnlyEntriesBeatingEverySimplerOne) {
    struct Case {
        std::vector<std::pair<std::size_t, double>> offers;
        std::vector<std::pair<std::size_t, double>> expected;  // lowest error first
    };
    const Case cases[] = {
        {{{1, 2.0}, {3, 2.5}, {5, 0.1}, {7, 0.1}}, {{5, 0.1}, {1, 2.0}}},
        {{{1, 0.01}, {4, 0.5}, {6, 0.02}}, {{1, 0.01}}},
        {{{2, 3.0}, {3, 2.0}, {4, 1.0}}, {{4, 1.0}, {3, 2.0}, {2, 3.0}}},
    };
    const auto registry = OperatorRegistry::shared_builtins();
    const std::vector<double> targets{1.0};
    for (const Case& c : cases) {
        ParetoFront front;
        for (const auto& [complexity, error] : c.offers) update_pareto(front, formula(complexity), error);
        auto outcome = finalize_result(front, registry, SearchConfig{}, one_row(), targets);
        ASSERT_TRUE(outcome.ok());
        ASSERT_EQ(outcome.value().size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(outcome.value()[i].complexity(), c.expected[i].first);
            EXPECT_EQ(outcome.value()[i].error, c.expected[i].second);
        }
    }
}

TEST(ParetoFront, FinalRefinementCanLiftAnEntryOverASimplerOne) {
    // Plus(v_{0}, C) stored with a poor error; refinement fits C = 2 exactly.
    Expression e = Expression::variable(0);
    e.tokens.push_back(Token::param(0, {0.1, 0.0}));
    e.tokens.push_back(Token::op(2, op_ids::Plus));
    e.num_params = 1;
    e.text = "Plus(v_{0}, C)";
    const auto registry = OperatorRegistry::shared_builtins();
    const auto rows = Samples::from_rows(std::vector<std::vector<double>>{{1.0}, {2.0}, {3.0}});
    const std::vector<double> targets{3.0, 4.0, 5.0};

    for (const bool refine : {true, false}) {
        ParetoFront front;
        update_pareto(front, formula(1), 1.0);
        update_pareto(front, e, 3.61);
        SearchConfig config;
        config.refine_constants = refine;
        auto outcome = finalize_result(front, registry, config, rows, targets);
        ASSERT_TRUE(outcome.ok());
        if (refine) {
            ASSERT_EQ(outcome.value().size(), 2u);
            EXPECT_EQ(outcome.value()[0].complexity(), 3u);
            EXPECT_LT(outcome.value()[0].error, 1e-12);
            EXPECT_EQ(outcome.value()[0].to_python(), "(v_{0})+(2.0000)");
            EXPECT_EQ(outcome.value()[0].formula(), "Plus(v_{0}, C)");
        } else {
            ASSERT_EQ(outcome.value().size(), 1u);
            EXPECT_EQ(outcome.value()[0].complexity(), 1u);
        }
        // The front itself keeps the unrefined entry.
        EXPECT_EQ(front.error_at(3), 3.61);
    }
}

TEST(ParetoFront, EmptyFrontIsNoFormulaWithTheConfiguredComplexity) {
    ParetoFront front;
    auto outcome = finalize_result(front, OperatorRegistry::shared_builtins(), SearchConfig{},
                                   one_row(), std::vector<double>{1.0});
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, EngineError::Kind::NoFormula);
    EXPECT_EQ(outcome.error().message(), "No formula found up to complexity 10");
}

TEST(EarlyExit, ThresholdIsInclusiveAndNaNNeverQualifies) {
    struct Case {
        std::vector<double> errors;
        bool exhaustive;
        bool expected;
    };
    const Case cases[] = {
        {{}, false, false},
        {{1e-10}, false, true},
        {{std::nextafter(1e-10, 1.0)}, false, false},
        {{0.5, 0.0}, false, true},
        {{0.0}, true, false},
        {{NAN}, false, false},
    };
    for (const Case& c : cases) {
        ParetoFront front;
        for (std::size_t i = 0; i < c.errors.size(); ++i) update_pareto(front, formula(i + 1), c.errors[i]);
        EXPECT_EQ(check_early_exit(front, c.exhaustive, 1e-10), c.expected);
    }
}

}  // namespace
}  // namespace vorn
