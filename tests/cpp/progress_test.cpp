#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "engine/progress.hpp"

namespace vorn {
namespace {

using std::chrono::nanoseconds;

TEST(Progress, DurationFormat) {
    const std::pair<long long, const char*> cases[] = {
        {1'500'000'000, "1.5s"},       {2'000'000'000, "2s"},        {12'340'000, "12.34ms"},
        {999, "999ns"},                {0, "0ns"},                   {1'000, "1\u00b5s"},
        {250'500, "250.5\u00b5s"},     {1'000'000, "1ms"},           {1'000'000'001, "1.000000001s"},
        {61'000'000'000, "61s"},       {1'234'567, "1.234567ms"},    {999'999'999, "999.999999ms"},
    };
    for (const auto& [ns, text] : cases) EXPECT_EQ(format_duration(nanoseconds(ns)), text) << ns;
}

TEST(Progress, FixedLines) {
    testing::internal::CaptureStdout();
    print_start_line(3);
    print_level_line(4, nanoseconds(12'340'000), 1000);
    print_progress_end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[VORN-SR] Started search space exploration. Level 1 seeded with 3 primary nodes.\n"
              "[VORN-SR]   -> Level 4 processed in 12.34ms. Retaining top 1000 candidates.\n"
              "\n");
}

TEST(Progress, LineLayout) {
    EXPECT_EQ(ProgressBar::line(3, 33, 1, 3, 0.25),
              "\r  [VORN] L3 Progress: [\u2588\u2588\u2588\u2591\u2591\u2591\u2591\u2591\u2591\u2591] "
              "33% (1/3) | 0.2s (Est: 0.5s)   ");
    EXPECT_EQ(ProgressBar::line(2, 100, 1, 1, 0.0),
              "\r  [VORN] L2 Progress: [\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588] "
              "100% (1/1) | 0.0s (Est: 0.0s)   ");
}

// The percentages of the progress lines in `out`, in order; every piece
// between carriage returns must be a whole progress line of level `level`.
std::vector<int> percentages(const std::string& out, std::size_t level) {
    std::vector<int> found;
    const std::string prefix = "  [VORN] L" + std::to_string(level) + " Progress: [";
    std::size_t start = 0;
    while ((start = out.find('\r', start)) != std::string::npos) {
        const std::size_t end = std::min(out.find('\r', start + 1), out.size());
        const std::string piece = out.substr(start + 1, end - start - 1);
        start = end;
        EXPECT_EQ(piece.rfind(prefix, 0), 0u) << piece;
        EXPECT_EQ(piece.substr(piece.size() - 4), ")   ") << piece;
        const std::size_t bar_end = piece.find("] ", prefix.size());
        EXPECT_EQ(bar_end - prefix.size(), 30u);  // ten three-byte block characters
        found.push_back(std::stoi(piece.substr(bar_end + 2)));
    }
    return found;
}

// Runs `total` steps and returns the percentages printed, in order.
std::vector<int> printed_percentages(std::size_t total, std::string* raw = nullptr) {
    testing::internal::CaptureStdout();
    ProgressBar bar(5, total);
    for (std::size_t i = 0; i < total; ++i) bar.step();
    const std::string out = testing::internal::GetCapturedStdout();
    if (raw) *raw = out;
    return percentages(out, 5);
}

TEST(Progress, EachPercentagePrintedAtMostOnce) {
    EXPECT_EQ(printed_percentages(1), std::vector<int>{100});
    EXPECT_EQ(printed_percentages(3), (std::vector<int>{33, 66, 100}));
    const auto two_hundred = printed_percentages(200);
    ASSERT_EQ(two_hundred.size(), 100u);
    for (int p = 1; p <= 100; ++p) EXPECT_EQ(two_hundred[static_cast<std::size_t>(p - 1)], p);
    std::string raw;
    EXPECT_TRUE(printed_percentages(0, &raw).empty());
    EXPECT_EQ(raw, "");
}

TEST(Progress, ConcurrentStepsNeverRepeatAPercentage) {
    testing::internal::CaptureStdout();
    ProgressBar bar(7, 1000);
#pragma omp parallel for
    for (int i = 0; i < 1000; ++i) bar.step();
    const std::string out = testing::internal::GetCapturedStdout();
    std::multiset<int> seen;
    for (const int p : percentages(out, 7)) seen.insert(p);
    EXPECT_EQ(seen.count(100), 1u);
    for (int p : seen) EXPECT_EQ(seen.count(p), 1u) << p;
}

}  // namespace
}  // namespace vorn
