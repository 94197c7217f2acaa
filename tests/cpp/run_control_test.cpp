#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "engine/bfs.hpp"
#include "test_support.hpp"

namespace vorn {
namespace {

using test::same_bits;

struct Data {
    std::vector<std::vector<double>> rows;
    std::vector<double> ys;
};

// Noisy data without an exact formula: the search never stops early by itself.
Data noisy(std::size_t n) {
    Data d;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = -1.0 + 2.0 * static_cast<double>(i) / static_cast<double>(n);
        d.rows.push_back({x});
        d.ys.push_back(2.5 * x + 1.0 + 0.01 * std::sin(97.0 * x));
    }
    return d;
}

void expect_same_front(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].formula(), b[i].formula());
        EXPECT_TRUE(same_bits(a[i].error, b[i].error));
        ASSERT_EQ(a[i].expression.tokens.size(), b[i].expression.tokens.size());
        for (std::size_t t = 0; t < a[i].expression.tokens.size(); ++t) {
            EXPECT_TRUE(same_bits(a[i].expression.tokens[t].value.re, b[i].expression.tokens[t].value.re));
        }
    }
}

TEST(RunControl, SinksChangeWhereLinesGoNeverTheResult) {
    const Data d = noisy(60);
    SearchConfig config;
    config.max_complexity = 5;

    testing::internal::CaptureStdout();
    const auto printed = run_bfs(d.rows, d.ys, config);
    const std::string stdout_text = testing::internal::GetCapturedStdout();

    SilentSink silent;
    testing::internal::CaptureStdout();
    const auto quiet = run_bfs(d.rows, d.ys, config, nullptr, RunControl{{}, &silent});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const auto caller = std::this_thread::get_id();
    std::string forwarded, kinds;
    int foreign = 0;
    CallingThreadSink forward([&](ProgressKind kind, const std::string& text) {
        if (std::this_thread::get_id() != caller) ++foreign;
        forwarded += text;
        if (kind != ProgressKind::Progress) kinds += "SLPE"[static_cast<int>(kind)];
    });
    testing::internal::CaptureStdout();
    const auto calling = run_bfs(d.rows, d.ys, config, nullptr, RunControl{{}, &forward});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_TRUE(printed.ok() && quiet.ok() && calling.ok());
    expect_same_front(quiet.value(), printed.value());
    expect_same_front(calling.value(), printed.value());
    EXPECT_EQ(foreign, 0);
    // Levels 2..5: every bar closed before its level line, in order.
    EXPECT_EQ(kinds, "SELELELEL");
    // The same lines as on standard output, up to the times they report.
    auto strip_times = [](std::string s) {
        std::string out;
        for (char c : s) out += (c >= '0' && c <= '9') || c == '.' ? '#' : c;
        return out;
    };
    EXPECT_EQ(std::count(forwarded.begin(), forwarded.end(), '\n'),
              std::count(stdout_text.begin(), stdout_text.end(), '\n'));
    EXPECT_EQ(strip_times(forwarded).substr(0, 60), strip_times(stdout_text).substr(0, 60));
}

TEST(RunControl, TimeBudgetKeepsWhatTheFinishedLevelsFound) {
    const Data d = noisy(1000);
    SilentSink silent;
    SearchStats stats;
    const auto start = std::chrono::steady_clock::now();
    const auto budgeted = run_bfs(d.rows, d.ys, SearchConfig{}, &stats,
                                  RunControl{{}, &silent, std::chrono::milliseconds(400)});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(budgeted.ok());
    EXPECT_TRUE(stats.budget_exhausted);
    EXPECT_LT(seconds, 2.0);
    ASSERT_GE(stats.levels_finished, 2u);
    ASSERT_LT(stats.levels_finished, 10u);

    // The same search told to stop after those levels gives the same answer.
    SearchConfig shorter;
    shorter.max_complexity = stats.levels_finished;
    SearchStats full_stats;
    const auto complete = run_bfs(d.rows, d.ys, shorter, &full_stats, RunControl{{}, &silent});
    ASSERT_TRUE(complete.ok());
    EXPECT_FALSE(full_stats.budget_exhausted);
    EXPECT_EQ(full_stats.levels_finished, stats.levels_finished);
    expect_same_front(budgeted.value(), complete.value());
}

TEST(RunControl, BudgetSpentBeforeAnyLevelIsNoFormulaUnlessTheSeedsFit) {
    SilentSink silent;
    const RunControl instant{{}, &silent, std::chrono::nanoseconds(1)};
    const Data d = noisy(50);
    const auto none = run_bfs(d.rows, d.ys, SearchConfig{}, nullptr, instant);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().message(), "No formula found up to complexity 10");

    // v_{0} fits exactly: the search is complete at once, budget or not.
    SearchStats stats;
    const auto exact = run_bfs({{1.0}, {2.0}}, {1.0, 2.0}, SearchConfig{}, &stats, instant);
    ASSERT_TRUE(exact.ok());
    EXPECT_EQ(exact.value().front().formula(), "v_{0}");
    EXPECT_FALSE(stats.budget_exhausted);

    // An interruption wins over the budget.
    const auto interrupted =
        run_bfs(d.rows, d.ys, SearchConfig{}, nullptr, RunControl{[] { return true; }, &silent, instant.time_budget});
    ASSERT_FALSE(interrupted.ok());
    EXPECT_EQ(interrupted.error().kind, EngineError::Kind::Interrupted);
}

}  // namespace
}  // namespace vorn
