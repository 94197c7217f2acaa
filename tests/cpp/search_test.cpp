#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <functional>
#include <string>

#include "engine/bfs.hpp"
#include "facade/searcher.hpp"

namespace vorn {
namespace {

std::vector<double> grid(double lo, double hi, std::size_t n) {
    std::vector<double> xs;
    for (std::size_t i = 0; i < n; ++i) xs.push_back(lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(n - 1));
    return xs;
}

std::vector<double> tabulate(const std::vector<double>& xs, const std::function<double(double)>& f) {
    std::vector<double> ys;
    for (const double x : xs) ys.push_back(f(x));
    return ys;
}

std::vector<std::vector<double>> as_rows(const std::vector<double>& xs) {
    std::vector<std::vector<double>> rows;
    for (const double x : xs) rows.push_back({x});
    return rows;
}

TEST(Search, RecoversExactFormulas) {
    struct Case {
        const char* name;
        std::function<double(double)> f;
        std::size_t max_complexity;
        std::size_t complexity;
    };
    const Case cases[] = {
        {"x^2 + x", [](double x) { return x * x + x; }, 10, 4},
        {"sin(x) * x", [](double x) { return std::sin(x) * x; }, 10, 4},
        {"2.5 x + 1", [](double x) { return 2.5 * x + 1.0; }, 5, 5},
    };
    const auto xs = grid(-2.0, 2.0, 21);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SearchConfig config;
        config.max_complexity = c.max_complexity;
        testing::internal::CaptureStdout();
        const auto outcome = Searcher(config).find_function(xs, tabulate(xs, c.f));
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(outcome.ok());
        const SearchResult& r = outcome.value();
        EXPECT_LE(r.error, 1e-10) << r.formula();
        EXPECT_EQ(r.complexity(), c.complexity) << r.formula();
        for (const double x : {-1.5, 0.3, 3.0}) EXPECT_NEAR(r.eval_at(std::vector<double>{x}), c.f(x), 1e-5);
    }
}

TEST(Search, FittedConstantsShowInTheRenderings) {
    SearchConfig config;
    config.max_complexity = 5;
    const auto xs = grid(-2.0, 2.0, 21);
    testing::internal::CaptureStdout();
    const auto outcome = Searcher(config).find_function(xs, tabulate(xs, [](double x) { return 2.5 * x + 1.0; }));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(outcome.ok());
    const std::string python = outcome.value().to_python();
    EXPECT_NE(outcome.value().formula().find('C'), std::string::npos);
    EXPECT_TRUE(python.find("2.5000") != std::string::npos || python.find("0.4000") != std::string::npos) << python;
}

TEST(Search, DimensionErrorsPrintNothing) {
    const std::vector<std::pair<std::vector<std::vector<double>>, std::vector<double>>> cases = {
        {{{1.0}, {2.0}, {3.0}}, {1.0, 2.0}},
        {{}, {}},
        {{}, {1.0}},
    };
    for (const auto& [rows, ys] : cases) {
        testing::internal::CaptureStdout();
        const auto outcome = run_bfs(rows, ys, SearchConfig{});
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().kind, EngineError::Kind::Dimension);
        EXPECT_EQ(outcome.error().message(), "Inputs and target vector must be non-empty and equal length.");
    }
    const auto facade = Searcher().find_function({1, 2, 3}, {1, 2, 3, 4});
    ASSERT_FALSE(facade.ok());
    EXPECT_EQ(facade.error().message(), "Inputs and target vector must be non-empty and equal length.");
}

TEST(Search, MoreThan255VariablesIsADimensionError) {
    const std::vector<std::vector<double>> rows{std::vector<double>(256, 1.0)};
    const auto outcome = run_bfs(rows, {1.0}, SearchConfig{});
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, EngineError::Kind::Dimension);
    EXPECT_NE(outcome.error().message().find("255"), std::string::npos);
    // 255 variables are fine: the target equals the last one.
    std::vector<double> row(255, 0.5);
    row[254] = 3.0;
    testing::internal::CaptureStdout();
    const auto ok = run_bfs(Samples::matrix(row, 1, row.size()), {3.0}, SearchConfig{});
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value().front().formula(), "v_{254}");
}

TEST(Search, NaNTargetsGiveNoFormula) {
    testing::internal::CaptureStdout();
    const auto outcome = Searcher().find_function({1.0, 2.0}, {NAN, 1.0});
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message(), "No formula found up to complexity 10");
}

TEST(Search, ExactInputColumnStopsBeforePrintingAnything) {
    testing::internal::CaptureStdout();
    const auto outcome = run_bfs({{1.0, 5.0}, {2.0, 6.0}}, {5.0, 6.0}, SearchConfig{});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value().front().formula(), "v_{1}");
    EXPECT_EQ(outcome.value().front().error, 0.0);
}

std::string run_and_capture(const std::vector<std::vector<double>>& rows, const std::vector<double>& ys,
                            const SearchConfig& config, Outcome<std::vector<SearchResult>>* out = nullptr) {
    testing::internal::CaptureStdout();
    auto outcome = run_bfs(rows, ys, config);
    std::string text = testing::internal::GetCapturedStdout();
    if (out) *out = std::move(outcome);
    return text;
}

// "k:kept" for every level line in `out`.
std::vector<std::string> level_lines(const std::string& out) {
    std::vector<std::string> lines;
    const std::string head = "[VORN-SR]   -> Level ", middle = " processed in ",
                      tail = ". Retaining top ";
    std::size_t pos = 0;
    while ((pos = out.find(head, pos)) != std::string::npos) {
        const std::size_t eol = out.find('\n', pos);
        const std::string line = out.substr(pos, eol - pos);
        pos = eol;
        const std::size_t m = line.find(middle), t = line.find(tail);
        EXPECT_NE(m, std::string::npos);
        EXPECT_NE(t, std::string::npos);
        EXPECT_EQ(line.substr(line.size() - 12), " candidates.");
        lines.push_back(line.substr(head.size(), m - head.size()) + ":" +
                        line.substr(t + tail.size(), line.size() - 12 - t - tail.size()));
    }
    return lines;
}

TEST(Search, SmallAndDegenerateConfigurations) {
    const std::vector<std::vector<double>> rows{{0.5}, {1.5}, {2.5}};
    const std::vector<double> ys{0.3, 0.1, 0.7};  // nothing fits exactly
    for (const std::size_t mc : {0u, 1u}) {
        SearchConfig config;
        config.max_complexity = mc;
        Outcome<std::vector<SearchResult>> outcome = EngineError::no_formula(0);
        const std::string out = run_and_capture(rows, ys, config, &outcome);
        EXPECT_EQ(out, "[VORN-SR] Started search space exploration. Level 1 seeded with 2 primary nodes.\n");
        ASSERT_TRUE(outcome.ok());
        EXPECT_EQ(outcome.value().front().complexity(), 1u);
    }

    SearchConfig beam0;
    beam0.beam_width = 0;
    beam0.max_complexity = 6;
    const std::string out = run_and_capture(rows, ys, beam0);
    EXPECT_EQ(level_lines(out), (std::vector<std::string>{"2:0", "3:0", "4:0", "5:0", "6:0"}));
    // Progress lines only for the levels that had candidates (2 and 3).
    EXPECT_NE(out.find("] L3 Progress"), std::string::npos);
    EXPECT_EQ(out.find("] L4 Progress"), std::string::npos);

    SearchConfig narrow;
    narrow.beam_width = 4;
    narrow.max_complexity = 5;
    const auto lines = level_lines(run_and_capture(rows, ys, narrow));
    EXPECT_EQ(lines, (std::vector<std::string>{"2:4", "3:4", "4:4", "5:4"}));
}

TEST(Search, NoVariablesSeedsOnlyTheParameter) {
    SearchConfig config;
    config.max_complexity = 3;
    Outcome<std::vector<SearchResult>> outcome = EngineError::no_formula(0);
    const std::string out = run_and_capture({{}, {}}, {2.0, 2.0}, config, &outcome);
    EXPECT_EQ(out.rfind("[VORN-SR] Started search space exploration. Level 1 seeded with 1 primary nodes.\n", 0), 0u);
    ASSERT_TRUE(outcome.ok());
    EXPECT_LE(outcome.value().front().error, 1e-10);
}

TEST(Search, SameFrontOnOneAndTwoThreads) {
    struct Problem {
        std::vector<std::vector<double>> rows;
        std::vector<double> ys;
    };
    std::vector<Problem> problems;
    {
        const auto xs = grid(0.2, 3.0, 30);
        problems.push_back({as_rows(xs), tabulate(xs, [](double x) { return std::log(x) * 1.3 + 0.01 * std::sin(40 * x); })});
        std::vector<std::vector<double>> rows;
        std::vector<double> ys;
        for (std::size_t i = 0; i < 25; ++i) {
            const double a = 0.1 * static_cast<double>(i), b = std::cos(static_cast<double>(i));
            rows.push_back({a, b});
            ys.push_back(a * b + 0.02 * std::sin(7.0 * static_cast<double>(i)));
        }
        problems.push_back({rows, ys});
    }
    SearchConfig levels;
    levels.max_complexity = 6;
    levels.beam_width = 120;
    // The estimator's deepening settings: fitting, scaled ranking and rounds
    // must be as reproducible as the level search.
    SearchConfig deepening = levels;
    deepening.engine.fit = FitMethod::LevenbergMarquardt;
    deepening.engine.scaled_ranking = true;
    deepening.engine.relative_exit_threshold = 1e-20;
    deepening.engine.deepening_rounds = 3;
    deepening.engine.first_round_beam = 20;
    for (const SearchConfig& config : {levels, deepening})
    for (const Problem& p : problems) {
        std::vector<std::vector<std::string>> fronts;
        for (const int threads : {1, 2}) {
            omp_set_num_threads(threads);
            Outcome<std::vector<SearchResult>> outcome = EngineError::no_formula(0);
            run_and_capture(p.rows, p.ys, config, &outcome);
            ASSERT_TRUE(outcome.ok());
            std::vector<std::string> front;
            for (const auto& r : outcome.value()) {
                char error[64];
                std::snprintf(error, sizeof error, "%a", r.error);
                front.push_back(r.formula() + " " + r.to_python() + " " + error);
            }
            fronts.push_back(front);
        }
        omp_set_num_threads(omp_get_num_procs());
        EXPECT_EQ(fronts[0], fronts[1]);
    }
}

TEST(Facade, CandidatesAreAStrictParetoListAndConstantsAreRecognised) {
    SearchConfig config;
    config.max_complexity = 5;
    config.beam_width = 200;
    const auto xs = grid(-1.0, 1.0, 15);
    testing::internal::CaptureStdout();
    const auto front = Searcher(config).find_candidates(as_rows(xs), tabulate(xs, [](double x) { return x * x * x - x; }));
    const auto constant = Searcher().recognize_constant(2.0);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(front.ok());
    const auto& list = front.value();
    ASSERT_GE(list.size(), 2u);
    for (std::size_t i = 1; i < list.size(); ++i) {
        EXPECT_LT(list[i - 1].error, list[i].error);
        EXPECT_GT(list[i - 1].complexity(), list[i].complexity());
    }
    ASSERT_TRUE(constant.ok());
    EXPECT_LE(constant.value().error, 1e-10);
    EXPECT_NEAR(constant.value().eval_at(std::vector<double>{0.0}), 2.0, 1e-5);
}

}  // namespace
}  // namespace vorn
