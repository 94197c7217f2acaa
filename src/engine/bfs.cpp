#include "engine/bfs.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "core/samples.hpp"
#include "eval/fingerprint.hpp"
#include "engine/fingerprint_set.hpp"
#include "engine/generate.hpp"
#include "core/parallel.hpp"
#include "engine/early_exit.hpp"
#include "engine/final_selection.hpp"
#include "engine/pareto.hpp"
#include "engine/progress.hpp"
#include "engine/retention.hpp"
#include "engine/scoring.hpp"
#include "engine/stop.hpp"

namespace vorn {

LevelStats SearchStats::total() const {
    LevelStats t;
    for (const LevelStats& l : levels) {
        t.generated += l.generated;
        t.admitted += l.admitted;
        t.scored += l.scored;
        t.refined += l.refined;
        t.retained += l.retained;
    }
    return t;
}

namespace {

struct Search {
    const SearchConfig& config;
    Samples samples;
    std::span<const double> targets;
    std::shared_ptr<const OperatorRegistry> registry;
    FingerprintSet seen;
    ParetoFront front;
    std::vector<Level> levels;
    SearchStats* stats;
    ProgressSink& sink;
    StopSignal stop;
    std::size_t row_value_bytes = 0;

    Search(const std::vector<std::vector<double>>& rows, const std::vector<double>& targets_,
           const SearchConfig& config_, SearchStats* stats_, const RunControl& control,
           std::optional<StopSignal::Clock::time_point> deadline)
        : config(config_),
          samples(Samples::from_rows(rows)),
          targets(targets_),
          registry(OperatorRegistry::shared_builtins()),
          stats(stats_),
          sink(control.sink ? *control.sink : stdout_sink()),
          stop(control.should_stop, deadline, control.sink) {}

    OperatorTable operators() const { return registry->operators(); }

    std::optional<FingerprintKey> admit(const Expression& e) {
        auto key = fingerprint(e, operators());
        if (!key || !seen.insert(*key)) return std::nullopt;
        return key;
    }

    void seed(std::size_t n_vars) {
        levels.resize(2);
        Expression parameter = Expression::parameter();
        if (config.seed_constant_leaf && admit(parameter)) {
            score_and_update(parameter, samples, targets, front, operators(), config.alpha,
                             config.l1_ratio);
            levels[1].push(std::move(parameter));
        }
        for (std::size_t i = 0; i < n_vars; ++i) {
            Expression variable = Expression::variable(i);
            if (!admit(variable)) continue;
            const double error = compute_raw_error(variable, samples, targets, operators(),
                                                   config.alpha, config.l1_ratio);
            if (std::isfinite(error)) update_pareto(front, variable, error);
            levels[1].push(std::move(variable));
        }
        store_values(1);
    }

    // Level k's values at the probes and rows, for the levels composed from
    // it; the last level is never an operand.
    void store_values(std::size_t k) {
        if (!config.reuse_computed_values || k >= config.max_complexity) return;
        Level& level = levels[k];
        level.probe_values = PointValues::at_probes(level.expressions, operators());
        const std::size_t bytes = PointValues::row_bytes(level.size(), samples.size());
        if (row_value_bytes + bytes > config.row_value_budget_bytes) return;
        level.row_values = PointValues::at_rows(level.expressions, samples, operators());
        row_value_bytes += bytes;
    }

    // The raw error of a candidate, from its operands' values at the rows;
    // none when those are not stored.
    std::optional<double> raw_error_from_operands(const CandidateRef& ref, std::size_t k,
                                                  const Expression& left) const {
        const Level& left_level = levels[ref.left_level];
        if (left_level.row_values.empty()) return std::nullopt;
        OperandValues right_values;
        std::span<const Token> right_tokens;
        if (ref.arity == 2) {
            const Level& right_level = levels[k - 1 - ref.left_level];
            if (right_level.row_values.empty()) return std::nullopt;
            right_values = right_level.at_rows(ref.right);
            right_tokens = right_level.expressions[ref.right].tokens;
        }
        return composed_raw_error(OperatorCall(*operators()[ref.op_id]), left_level.at_rows(ref.left),
                                  right_values, left.tokens, right_tokens, targets, config.alpha,
                                  config.l1_ratio);
    }

    // The candidate as a full expression with its fitted constants. Scoring
    // is deterministic, so rescoring the few candidates that are kept gives
    // exactly the values the scoring pass saw, without storing the fitted
    // constants of every candidate.
    Expression finished(const CandidateRef& ref, std::size_t k) const {
        Expression e = materialize(ref, k, levels, *registry);
        if (e.num_params == 0 || !config.refine_constants) return e;
        auto scored = score_candidate(e, samples, targets, config, *registry);
        return scored ? std::move(scored->expression) : std::move(e);
    }

    // Runs level k; false when the search was told to stop on the way.
    bool run_level(std::size_t k) {
        const auto level_start = SteadyClock::now();
        levels.resize(k + 1);
        LevelStats level_stats;

        GenerationCounts counts;
        std::vector<CandidateRef> candidates = generate_level(k, levels, *registry, seen, counts, &stop,
                                                              config.reuse_computed_values);
        if (stop.stopped() || stop.check_now()) return false;
        level_stats.generated = counts.generated;
        level_stats.admitted = counts.admitted;

        // Scoring pass.
        const std::size_t n = candidates.size();
        std::vector<double> scores(n, 0.0);
        std::vector<std::uint8_t> kept(n, 0);
        std::vector<std::uint8_t> refined(n, 0);
        {
            ProgressBar bar(k, n, sink);
            parallel_for(
                n, 16,
                [&](std::size_t i) {
                    bar.step();
                    thread_local Expression candidate;
                    const CandidateRef& ref = candidates[i];
                    const Expression& left = levels[ref.left_level].expressions[ref.left];
                    const bool fits = config.refine_constants &&
                                      (left.num_params != 0 ||
                                       (ref.arity == 2 &&
                                        levels[k - 1 - ref.left_level].expressions[ref.right].num_params != 0));
                    // Without constants to fit, the score is the raw error, which
                    // the operands' stored values give for one operator per row.
                    if (config.reuse_computed_values && !fits) {
                        if (const auto error = raw_error_from_operands(ref, k, left)) {
                            if (!std::isfinite(*error)) return;
                            scores[i] = *error * complexity_factor(k, config.complexity_penalty);
                            kept[i] = 1;
                            return;
                        }
                    }
                    candidate_tokens(ref, k, levels, candidate.tokens);
                    candidate.complexity = candidate.tokens.size();
                    candidate.num_vars = left.num_vars;
                    candidate.num_params = left.num_params;
                    if (ref.arity == 2) {
                        const Expression& right = levels[k - 1 - ref.left_level].expressions[ref.right];
                        candidate.num_vars = std::max(left.num_vars, right.num_vars);
                        candidate.num_params = static_cast<std::uint8_t>(left.num_params + right.num_params);
                    }
                    refined[i] = config.refine_constants && candidate.num_params != 0;
                    thread_local std::vector<double> fitted;
                    const auto scored =
                        score_tokens(candidate, samples, targets, config, *registry, fitted);
                    if (!scored) return;
                    scores[i] = scored->score;
                    kept[i] = 1;
                },
                &stop);
            if (stop.stopped()) {
                if (bar.printed()) print_progress_end(sink);
                return false;
            }
        }
        if (n > 0) print_progress_end(sink);

        std::vector<std::uint32_t> scored;
        for (std::size_t i = 0; i < n; ++i) {
            level_stats.refined += refined[i];
            if (kept[i]) scored.push_back(static_cast<std::uint32_t>(i));
        }
        level_stats.scored = scored.size();
        std::vector<std::uint8_t>().swap(kept);
        std::vector<std::uint8_t>().swap(refined);

        // The front learns of level k only once the level is sure to finish,
        // so a search stopped inside it returns exactly what the finished
        // levels found. Retention never reads the front, so the order does not
        // change what either of them computes.
        const auto best = best_of_level(scores, scored, k);
        retain(candidates, scores, std::move(scored), k);
        if (stop.stopped()) return false;
        if (best) update_pareto(front, finished(candidates[best->index], k), best->error);
        level_stats.retained = levels[k].size();

        print_level_line(k, SteadyClock::now() - level_start, levels[k].size(), sink);
        if (stats) {
            stats->levels.resize(k + 1);
            stats->levels[k] = level_stats;
        }
        return true;
    }

    struct LevelBest {
        std::uint32_t index;
        double error;
    };

    // Offering every scored candidate in order with a strictly-lower rule
    // stores the first candidate with the lowest recovered error, if it beats
    // the current entry: that candidate, the only one to materialise for the
    // front.
    std::optional<LevelBest> best_of_level(const std::vector<double>& scores,
                                           const std::vector<std::uint32_t>& scored,
                                           std::size_t k) const {
        const double factor = complexity_factor(k, config.complexity_penalty);
        std::optional<double> best = front.error_at(k);
        std::optional<LevelBest> winner;
        for (const std::uint32_t i : scored) {
            const double error = scores[i] / factor;
            if (!best || error < *best) {
                best = error;
                winner = LevelBest{i, error};
            }
        }
        return winner;
    }

    void retain(const std::vector<CandidateRef>& candidates, const std::vector<double>& scores,
                std::vector<std::uint32_t> scored, std::size_t k) {
        const std::vector<std::uint32_t> keep =
            select_beam(scores, std::move(scored), config.beam_width,
                        [&](std::uint32_t i) { return candidate_skeleton_hash(candidates[i], k, levels).value; });
        std::vector<Expression> kept(keep.size());
        parallel_for(keep.size(), 4, [&](std::size_t j) { kept[j] = finished(candidates[keep[j]], k); }, &stop);
        for (Expression& e : kept) levels[k].push(std::move(e));
        if (!stop.stopped()) store_values(k);
    }
};

}  // namespace

Outcome<std::vector<SearchResult>> run_bfs(const std::vector<std::vector<double>>& rows,
                                           const std::vector<double>& targets,
                                           const SearchConfig& config, SearchStats* stats,
                                           const RunControl& control) {
    if (rows.empty() || rows.size() != targets.size()) return EngineError::dimension(kDimensionMessage);
    const std::size_t n_vars = rows.front().size();
    // Variable indices are 8-bit: more variables cannot be represented.
    if (n_vars > kMaxVars) return EngineError::dimension(kTooManyVariablesMessage);

    std::optional<StopSignal::Clock::time_point> deadline;
    if (control.time_budget) deadline = StopSignal::Clock::now() + *control.time_budget;

    // Everything the search builds lives in `search` and is released on every
    // way out, an interruption included.
    Search search(rows, targets, config, stats, control, deadline);
    search.seed(n_vars);
    if (stats) stats->levels.assign(2, LevelStats{});
    std::size_t finished = 1;
    bool cut_short = search.stop.check_now();
    if (search.stop.reason() == StopReason::Interrupted) return EngineError::interrupted();

    if (!check_early_exit(search.front, config.exhaustive, config.early_exit_threshold) && !cut_short) {
        print_start_line(search.levels[1].size(), search.sink);
        // A maximum complexity of 0 or 1 leaves only the seeds.
        for (std::size_t k = 2; k <= config.max_complexity; ++k) {
            if (!search.run_level(k)) {
                cut_short = true;
                break;
            }
            finished = k;
            if (check_early_exit(search.front, config.exhaustive, config.early_exit_threshold)) break;
        }
    } else if (cut_short && check_early_exit(search.front, config.exhaustive, config.early_exit_threshold)) {
        cut_short = false;  // the seeds already fit: nothing was left to do
    }
    if (search.stop.reason() == StopReason::Interrupted) return EngineError::interrupted();
    if (stats) {
        stats->fingerprints = search.seen.size();
        stats->levels_finished = finished;
        stats->budget_exhausted = cut_short;
    }
    // A budget spent before any composed level finished leaves only the
    // seeds, which is no search at all.
    if (cut_short && finished < 2) return EngineError::no_formula(config.max_complexity);
    // The budget does not cut the final selection short; an interruption does.
    StopSignal final_stop(control.should_stop, std::nullopt, control.sink);
    return finalize_result(search.front, search.registry, config, search.samples, search.targets,
                           &final_stop);
}

}  // namespace vorn
