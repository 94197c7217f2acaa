#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/bfs.hpp"
#include "core/parallel.hpp"
#include "facade/searcher.hpp"

namespace vorn {
namespace {

// Noisy data without an exact formula: the search never stops early by itself.
void noisy(std::size_t n, std::vector<std::vector<double>>& rows, std::vector<double>& ys) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = -2.0 + 4.0 * static_cast<double>(i) / static_cast<double>(n);
        rows.push_back({x});
        ys.push_back(x * x * x + x + 0.05 * std::sin(37.0 * x));
    }
}

TEST(Stop, PredicateIsAskedOnTheCallingThreadAndEndsTheSearch) {
    std::vector<std::vector<double>> rows;
    std::vector<double> ys;
    noisy(300, rows, ys);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> calls{0}, foreign{0};
    const auto start = std::chrono::steady_clock::now();
    const StopPredicate after_half_a_second = [&] {
        ++calls;
        if (std::this_thread::get_id() != caller) ++foreign;
        return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500);
    };
    testing::internal::CaptureStdout();
    const auto outcome = run_bfs(rows, ys, SearchConfig{}, nullptr, RunControl{after_half_a_second});
    const std::string out = testing::internal::GetCapturedStdout();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, EngineError::Kind::Interrupted);
    EXPECT_LT(seconds, 3.0);  // asked often enough to stop promptly
    EXPECT_GT(calls.load(), 3);
    EXPECT_EQ(foreign.load(), 0);
    // No progress line is left open.
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');

    // The next search is unaffected.
    SearchConfig small;
    small.max_complexity = 3;
    testing::internal::CaptureStdout();
    const auto again = run_bfs(rows, ys, small);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(again.ok());
}

TEST(Stop, ImmediateStopPrintsNothingAndEmptyPredicateNeverStops) {
    testing::internal::CaptureStdout();
    const auto stopped = run_bfs({{1.0}, {2.0}}, {3.0, 1.0}, SearchConfig{}, nullptr, RunControl{[] { return true; }});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind, EngineError::Kind::Interrupted);

    SearchConfig small;
    small.max_complexity = 3;
    testing::internal::CaptureStdout();
    const auto fine = run_bfs({{1.0}, {2.0}}, {3.0, 1.0}, small, nullptr, RunControl{});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fine.ok());
}

TEST(Stop, ParallelPassSkipsTheRestOnceStopped) {
    int asked = 0;
    const StopPredicate stop_at_once = [&] { return ++asked > 0; };
    StopSignal signal(stop_at_once);
    EXPECT_TRUE(signal.check_now());
    std::atomic<int> ran{0};
    parallel_for(1000, 1, [&](std::size_t) { ++ran; }, &signal);
    EXPECT_EQ(ran.load(), 0);
}

TEST(RecognizeConstant, ClosedFormsWithoutFittedConstants) {
    const double values[] = {3.141592653589793, 2.718281828459045, std::sqrt(2.0), 2.0, 1.0, 0.5};
    for (const double v : values) {
        SCOPED_TRACE(v);
        testing::internal::CaptureStdout();
        const auto r = Searcher().recognize_constant(v);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value().expression.num_params, 0) << r.value().formula();
        EXPECT_LE(r.value().error, 1e-10);
        EXPECT_NEAR(r.value().eval_at(std::vector<double>{0.0}), v, 1e-12);
    }
}

TEST(RecognizeConstant, FallsBackToAFittedConstantAndRejectsNonFinite) {
    SearchConfig shallow;
    shallow.max_complexity = 6;
    testing::internal::CaptureStdout();
    const auto fitted = Searcher(shallow).recognize_constant(1.2345678);
    const auto nan = Searcher(shallow).recognize_constant(NAN);
    const auto inf = Searcher(shallow).recognize_constant(INFINITY);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(fitted.ok());
    EXPECT_GT(fitted.value().expression.num_params, 0) << fitted.value().formula();
    EXPECT_LE(fitted.value().error, 1e-10);
    for (const auto* outcome : {&nan, &inf}) {
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error().message(), "No formula found up to complexity 6");
    }
}

}  // namespace
}  // namespace vorn
