// Scoring a level in another process: the bytes carry everything scoring
// reads, so the outcomes are bit for bit those of scoring in place.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "engine/bfs.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/generate.hpp"
#include "engine/remote_scoring.hpp"
#include "engine/level_scorer.hpp"
#include "engine/scoring.hpp"

namespace vorn {
namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

struct LocalSearch {
    SearchConfig config;
    Samples samples;
    std::vector<double> targets;
    std::shared_ptr<const OperatorRegistry> registry = OperatorRegistry::shared_builtins();
    std::vector<Level> levels;
    FingerprintSet seen;

    explicit LocalSearch(bool reuse) {
        config.reuse_computed_values = reuse;
        std::vector<std::vector<double>> rows;
        for (int i = 0; i < 40; ++i) {
            const double x = -2.0 + 0.1 * i, y = std::cos(0.3 * i);
            rows.push_back({x, y});
            targets.push_back(1.7 * x * y + std::sin(x) + 0.01 * std::sin(13.0 * i));
        }
        samples = Samples(rows);
        levels.resize(2);
        levels[1].push(Expression::parameter());
        levels[1].push(Expression::variable(0));
        levels[1].push(Expression::variable(1));
        store(1);
    }

    void store(std::size_t k) {
        levels[k].probe_values = PointValues::at_probes(levels[k].expressions, registry->operators());
        levels[k].row_values = RowValues::at_rows(levels[k].expressions, samples, registry->operators());
    }

    std::vector<CandidateRef> candidates(std::size_t k) {
        levels.resize(k + 1);
        GenerationCounts counts;
        return generate_level(k, levels, *registry, seen, counts, nullptr, config.reuse_computed_values);
    }

    // Keeps the first `n` candidates with their fitted constants, as the
    // driver's retention would keep some.
    void retain(std::size_t k, const std::vector<CandidateRef>& refs, std::size_t n) {
        for (std::size_t i = 0; i < refs.size() && levels[k].size() < n; ++i) {
            Expression e = materialize(refs[i], k, levels, *registry);
            if (auto scored = score_candidate(e, samples, targets, config, *registry)) e = scored->expression;
            levels[k].push(std::move(e));
        }
        store(k);
    }
};

TEST(RemoteScoring, OutcomesAreBitIdenticalToScoringInPlace) {
    for (const bool reuse : {true, false}) {
        LocalSearch local(reuse);
        std::string problem;
        auto remote = ScoringWorkspace::from_data(
            as_bytes(encode_scoring_data(local.samples, local.targets, local.config)), problem);
        ASSERT_TRUE(remote) << problem;
        ASSERT_TRUE(remote->add_level(as_bytes(encode_level(1, local.levels[1])), problem)) << problem;
        std::size_t refined = 0;
        for (std::size_t k = 2; k <= 4; ++k) {
            const auto refs = local.candidates(k);
            ASSERT_FALSE(refs.empty());
            const ScoringInputs inputs{local.levels, local.samples, local.targets, local.config, *local.registry};
            const auto bytes = remote->score(as_bytes(encode_candidates(k, refs)), problem);
            ASSERT_TRUE(bytes) << problem;
            std::vector<CandidateOutcome> shipped(refs.size());
            ASSERT_TRUE(decode_outcomes(as_bytes(*bytes), shipped, problem)) << problem;
            for (std::size_t i = 0; i < refs.size(); ++i) {
                const CandidateOutcome here = score_candidate_ref(inputs, k, refs[i]);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(here.score), std::bit_cast<std::uint64_t>(shipped[i].score))
                    << "level " << k << " candidate " << i;
                ASSERT_EQ(here.has_score, shipped[i].has_score);
                ASSERT_EQ(here.refined, shipped[i].refined);
                refined += here.refined;
            }
            local.retain(k, refs, 40);
            ASSERT_TRUE(remote->add_level(as_bytes(encode_level(k, local.levels[k])), problem)) << problem;
        }
        EXPECT_GT(refined, 0u);  // fitted constants crossed the wire
    }
}

TEST(RemoteScoring, MalformedOrForeignBytesAreRefused) {
    LocalSearch local(true);
    const std::string data = encode_scoring_data(local.samples, local.targets, local.config);
    const std::string level1 = encode_level(1, local.levels[1]);
    const auto refs = local.candidates(2);
    const std::string candidates = encode_candidates(2, refs);
    std::string problem;

    auto flip = [](std::string s, std::size_t at, char value) {
        s[at] = value;
        return s;
    };
    // Version, truncation, magic.
    for (const std::string& bad :
         {flip(data, 4, 9), data.substr(0, data.size() - 3), data + "x", flip(data, 0, 'X'), std::string()}) {
        problem.clear();
        EXPECT_FALSE(ScoringWorkspace::from_data(as_bytes(bad), problem));
        EXPECT_FALSE(problem.empty());
    }
    auto remote = ScoringWorkspace::from_data(as_bytes(data), problem);
    ASSERT_TRUE(remote);
    // Candidates before their operands' level arrived.
    EXPECT_FALSE(remote->score(as_bytes(candidates), problem));
    EXPECT_FALSE(remote->add_level(as_bytes(encode_level(2, local.levels[1])), problem));  // out of order
    ASSERT_TRUE(remote->add_level(as_bytes(level1), problem)) << problem;

    CandidateRef outside = refs.front();
    outside.left = 999;
    CandidateRef wrong_arity = refs.front();
    wrong_arity.arity = static_cast<std::uint8_t>(3 - wrong_arity.arity);
    CandidateRef wrong_level = refs.front();
    wrong_level.left_level = 2;
    for (const CandidateRef& bad : {outside, wrong_arity, wrong_level}) {
        problem.clear();
        EXPECT_FALSE(remote->score(as_bytes(encode_candidates(2, std::vector<CandidateRef>{bad})), problem));
        EXPECT_NE(problem.find("does not compose"), std::string::npos) << problem;
    }
    EXPECT_FALSE(remote->score(as_bytes(candidates.substr(0, candidates.size() - 1)), problem));
    EXPECT_FALSE(remote->score(as_bytes(encode_candidates(3, refs)), problem));

    const auto bytes = remote->score(as_bytes(candidates), problem);
    ASSERT_TRUE(bytes) << problem;
    std::vector<CandidateOutcome> one_short(refs.size() - 1);
    EXPECT_FALSE(decode_outcomes(as_bytes(*bytes), one_short, problem));
}

// Ships every level to two workspaces that stand in for worker processes;
// chunks alternate between them. `fail_at` makes the transport fail at that
// level.
class TwoWorkers final : public ShippingScorer {
public:
    std::size_t fail_at = 0;
    std::size_t levels_scored = 0;

protected:
    std::size_t chunk_count(std::size_t) override { return 5; }
    bool submit(std::size_t k, const std::optional<std::string>& data, const std::vector<std::string>& new_levels,
                const std::vector<std::string>& chunks) override {
        if (k == fail_at) return false;
        std::string problem;
        for (auto& worker : workers_) {
            if (data) worker = ScoringWorkspace::from_data(as_bytes(*data), problem);
            for (const auto& level : new_levels)
                if (!worker || !worker->add_level(as_bytes(level), problem)) return false;
        }
        answers_.clear();
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            auto answer = workers_[c % 2]->score(as_bytes(chunks[c]), problem);
            if (!answer) return false;
            answers_.push_back(std::move(*answer));
        }
        ++levels_scored;
        return true;
    }
    std::optional<std::vector<std::string>> wait(double, bool&) override { return answers_; }
    void cancel() override {}

private:
    std::optional<ScoringWorkspace> workers_[2];
    std::vector<std::string> answers_;
};

TEST(RemoteScoring, ASearchScoredElsewhereFindsTheSameFront) {
    std::vector<std::vector<double>> rows;
    std::vector<double> ys;
    for (int i = 0; i < 60; ++i) {
        const double x = 0.2 + 0.05 * i;
        rows.push_back({x, std::sin(i)});
        ys.push_back(std::log(x) * 1.3 + 0.02 * std::cos(7.0 * i));
    }
    SearchConfig config;
    config.max_complexity = 5;
    SilentSink silent;
    const auto here = run_bfs(rows, ys, config, nullptr, RunControl{{}, &silent});
    TwoWorkers workers;
    const auto there = run_bfs(rows, ys, config, nullptr, RunControl{{}, &silent, {}, &workers});
    ASSERT_TRUE(here.ok() && there.ok());
    EXPECT_EQ(workers.levels_scored, 4u);
    EXPECT_GT(workers.traffic().level_bytes, 0u);
    ASSERT_EQ(here.value().size(), there.value().size());
    for (std::size_t i = 0; i < here.value().size(); ++i) {
        EXPECT_EQ(here.value()[i].formula(), there.value()[i].formula());
        EXPECT_EQ(std::bit_cast<std::uint64_t>(here.value()[i].error),
                  std::bit_cast<std::uint64_t>(there.value()[i].error));
        ASSERT_EQ(here.value()[i].expression.tokens.size(), there.value()[i].expression.tokens.size());
        for (std::size_t t = 0; t < here.value()[i].expression.tokens.size(); ++t)
            EXPECT_EQ(std::bit_cast<std::uint64_t>(here.value()[i].expression.tokens[t].value.re),
                      std::bit_cast<std::uint64_t>(there.value()[i].expression.tokens[t].value.re));
    }
    // A transport that fails ends the search; it never passes for a result.
    TwoWorkers failing;
    failing.fail_at = 4;
    const auto failed = run_bfs(rows, ys, config, nullptr, RunControl{{}, &silent, {}, &failing});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, EngineError::Kind::Interrupted);
}

}  // namespace
}  // namespace vorn
