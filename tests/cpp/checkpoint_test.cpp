#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/bfs.hpp"
#include "engine/checkpoint.hpp"
#include "engine/progress_sink.hpp"

namespace vorn {
namespace {

struct SearchRun {
    std::vector<std::string> front;  // formula, constants and error, bit for bit
    SearchStats stats;
    std::vector<std::string> states;  // the checkpoint after each level
};

// Two variables and a little noise, so no level fits exactly and every
// level of every round runs.
Samples noisy_rows(std::vector<double>& ys) {
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < 25; ++i) {
        const double a = 0.1 * static_cast<double>(i), b = std::cos(static_cast<double>(i));
        rows.push_back({a, b});
        ys.push_back(a * b + 0.02 * std::sin(7.0 * static_cast<double>(i)));
    }
    return Samples::from_rows(rows);
}

SearchConfig levels_config(std::size_t max_complexity) {
    SearchConfig c;
    c.max_complexity = max_complexity;
    c.beam_width = 80;
    return c;
}

SearchConfig deepening_config(std::size_t max_complexity) {
    SearchConfig c = levels_config(max_complexity);
    c.engine.fit = FitMethod::LevenbergMarquardt;
    c.engine.scaled_ranking = true;
    c.engine.relative_exit_threshold = 1e-20;
    c.engine.deepening_rounds = 3;
    c.engine.first_round_beam = 20;
    c.engine.constant_free_round = true;
    c.engine.power_laws = true;
    return c;
}

SearchRun search(const SearchConfig& config, const SearchCheckpoint* resume = nullptr) {
    std::vector<double> ys;
    const Samples rows = noisy_rows(ys);
    SearchRun r;
    SilentSink silent;
    RunControl control;
    control.sink = &silent;
    control.resume = resume;
    control.save_checkpoint = [&](const std::string& state) {
        r.states.push_back(state);
        return true;
    };
    auto outcome = run_bfs(rows, ys, config, &r.stats, control);
    EXPECT_TRUE(outcome.ok());
    if (!outcome.ok()) return r;
    for (const SearchResult& result : outcome.value()) {
        char error[64];
        std::snprintf(error, sizeof error, "%a", result.error);
        r.front.push_back(result.formula() + " " + result.to_python() + " " + error);
    }
    return r;
}

SearchCheckpoint decoded(const std::string& bytes) {
    std::string problem;
    auto c = decode_checkpoint({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
                               *OperatorRegistry::shared_builtins(), problem);
    EXPECT_TRUE(c.has_value()) << problem;
    return c ? *c : SearchCheckpoint{};
}

void expect_same_search(const SearchRun& resumed, const SearchRun& whole) {
    EXPECT_EQ(resumed.front, whole.front);
    EXPECT_EQ(resumed.stats.fingerprints, whole.stats.fingerprints);
    EXPECT_EQ(resumed.stats.levels_finished, whole.stats.levels_finished);
    ASSERT_EQ(resumed.stats.levels.size(), whole.stats.levels.size());
    for (std::size_t k = 0; k < whole.stats.levels.size(); ++k) {
        EXPECT_EQ(resumed.stats.levels[k].generated, whole.stats.levels[k].generated) << k;
        EXPECT_EQ(resumed.stats.levels[k].admitted, whole.stats.levels[k].admitted) << k;
        EXPECT_EQ(resumed.stats.levels[k].refined, whole.stats.levels[k].refined) << k;
        EXPECT_EQ(resumed.stats.levels[k].retained, whole.stats.levels[k].retained) << k;
    }
}

// Continuing from the state after any level, of any round, gives the search
// that never stopped: fingerprints rebuilt by replay, counters and front.
TEST(Checkpoint, ResumingAfterAnyLevelGivesTheUninterruptedSearch) {
    for (const SearchConfig& config : {levels_config(6), deepening_config(5)}) {
        const SearchRun whole = search(config);
        ASSERT_GE(whole.states.size(), 4u);
        // The first, two neighbours in the middle, and the last.
        const std::size_t n = whole.states.size();
        for (const std::size_t i : {std::size_t{0}, n / 2 - 1, n / 2, n - 1}) {
            SCOPED_TRACE("state " + std::to_string(i));
            const SearchCheckpoint c = decoded(whole.states[i]);
            EXPECT_EQ(encode_checkpoint(c), whole.states[i]);
            const SearchRun resumed = search(config, &c);
            expect_same_search(resumed, whole);
            // A resumed search writes the states the whole one wrote after it.
            const std::vector<std::string> rest(whole.states.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                whole.states.end());
            EXPECT_EQ(resumed.states, rest);
        }
    }
}

// A larger max_complexity continues the first round; a smaller one, or a
// state of a later round, is refused with the reason.
TEST(Checkpoint, AnotherMaxComplexityContinuesOnlyWhereTheSearchesAgree) {
    const SearchRun shallow = search(levels_config(4));
    const SearchCheckpoint last = decoded(shallow.states.back());
    expect_same_search(search(levels_config(6), &last), search(levels_config(6)));
    EXPECT_TRUE(resume_problem(last, levels_config(3), 2).has_value());
    EXPECT_FALSE(resume_problem(decoded(shallow.states.front()), levels_config(3), 2).has_value());

    const SearchRun deep = search(deepening_config(5));
    const SearchCheckpoint later_round = decoded(deep.states.back());
    ASSERT_GT(later_round.round, 0u);
    const auto problem = resume_problem(later_round, deepening_config(6), 2);
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("max_complexity=5"), std::string::npos) << *problem;
    EXPECT_TRUE(resume_problem(later_round, levels_config(5), 2).has_value());  // another strategy
    EXPECT_TRUE(resume_problem(later_round, deepening_config(5), 3).has_value());  // other features
}

TEST(Checkpoint, AFailedSaveEndsTheSearchAsInterrupted) {
    std::vector<double> ys;
    const Samples rows = noisy_rows(ys);
    SilentSink silent;
    RunControl control;
    control.sink = &silent;
    int saves = 0;
    control.save_checkpoint = [&](const std::string&) { return ++saves < 2; };
    const auto outcome = run_bfs(rows, ys, levels_config(6), nullptr, control);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, EngineError::Kind::Interrupted);
    EXPECT_EQ(saves, 2);
}

// Flipped bytes are refused or decode to a state that is checked before a
// search continues from it; nothing crashes (the sanitizer build runs this).
TEST(Checkpoint, CorruptedStatesAreRefusedOrHarmless) {
    const SearchRun whole = search(levels_config(4));
    const std::string original = whole.states.back();
    std::vector<double> ys;
    const Samples rows = noisy_rows(ys);
    SilentSink silent;
    std::size_t refused = 0, searched = 0;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t trial = 0; trial < 3000; ++trial) {
        std::string bytes = original;
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t at = (state >> 16) % bytes.size();
        bytes[at] = static_cast<char>(bytes[at] ^ static_cast<char>(1u << ((state >> 8) % 8)));
        if (trial % 3 == 0) bytes.resize((state >> 24) % bytes.size());  // truncated as well
        std::string problem;
        const auto c = decode_checkpoint({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
                                         *OperatorRegistry::shared_builtins(), problem);
        if (!c) {
            EXPECT_FALSE(problem.empty());
            ++refused;
            continue;
        }
        if (searched >= 25) continue;
        ++searched;
        RunControl control;
        control.sink = &silent;
        control.resume = &*c;
        const auto outcome = run_bfs(rows, ys, levels_config(4), nullptr, control);
        if (!outcome.ok()) {
            EXPECT_NE(outcome.error().kind, EngineError::Kind::Interrupted);
        }
    }
    EXPECT_GT(refused, 1000u);
    EXPECT_GT(searched, 0u);
}

}  // namespace
}  // namespace vorn
