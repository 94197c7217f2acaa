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
#include "engine/power_law.hpp"
#include "engine/progress.hpp"
#include "engine/retention.hpp"
#include "engine/rounds.hpp"
#include "engine/scoring.hpp"
#include "engine/scoring_pass.hpp"
#include "engine/stop.hpp"

namespace vorn {

LevelStats SearchStats::total() const {
    LevelStats t;
    for (const LevelStats& l : levels) t += l;
    return t;
}

namespace {

constexpr std::size_t kFullWidthLevels = 2;
constexpr std::size_t kNextLevelMinWidth = 200;

struct Search {
    const SearchConfig& config;
    const Samples& samples;
    std::span<const double> targets;
    std::shared_ptr<const OperatorRegistry> registry;
    FingerprintSet seen;
    ParetoFront front;
    std::vector<Level> levels;
    SearchStats* stats;
    ProgressSink& sink;
    LevelScorer* scorer;
    StopSignal stop;
    bool scorer_failed = false;
    std::size_t row_value_bytes = 0;
    double exit_threshold;
    std::size_t beam;  // this round's beam width
    bool constant_leaf = true;  // whether this round seeds the constant leaf
    std::vector<std::uint8_t> thorough;  // per candidate of the level: fitted with the full budget

    Search(const Samples& rows, const std::vector<double>& targets_,
           const SearchConfig& config_, SearchStats* stats_, const RunControl& control,
           std::optional<StopSignal::Clock::time_point> deadline)
        : config(config_),
          samples(rows),
          targets(targets_),
          registry(OperatorRegistry::shared_builtins()),
          stats(stats_),
          sink(control.sink ? *control.sink : stdout_sink()),
          scorer(control.scorer),
          stop(control.should_stop, deadline, control.sink),
          exit_threshold(early_exit_threshold(config_, targets)),
          beam(config_.beam_width) {}

    // The error at or below which a fit counts as exact and the search ends.
    static double early_exit_threshold(const SearchConfig& c, std::span<const double> ys) {
        if (!(c.engine.relative_exit_threshold > 0.0)) return c.early_exit_threshold;
        double sum = 0.0;
        for (const double y : ys) sum += y * y;
        return c.engine.relative_exit_threshold * (sum / static_cast<double>(ys.size()));
    }

    bool fits_exactly() const { return check_early_exit(front, config.exhaustive, exit_threshold); }

    OperatorTable operators() const { return registry->operators(); }

    std::optional<FingerprintKey> admit(const Expression& e) {
        auto key = fingerprint(e, operators());
        if (!key || !seen.insert(*key)) return std::nullopt;
        return key;
    }

    // A new round: a fresh search over the levels that adds to the same front.
    void start_round(std::size_t n_vars, std::size_t beam_width, bool constants) {
        levels.clear();
        seen.clear();
        row_value_bytes = 0;
        beam = beam_width;
        constant_leaf = constants;
        seed(n_vars);
    }

    // The monomial laws the data suggest, and the constant itself (which a
    // constant target needs and the levels only build as -(-C) or C·f + C),
    // fitted and offered to the front.
    void offer_power_laws() {
        std::vector<Expression> offers =
            power_law_candidates(samples, targets, *registry, config.engine.operator_mask);
        offers.push_back(Expression::parameter(Complex{1.0, 0.0}));
        for (const Expression& e : offers) offer_fitted(e);
    }

    void offer_fitted(const Expression& e) {
        auto fitted = score_candidate(e, samples, targets, config, *registry, true);
        if (!fitted) return;
        const double error =
            fitted->score / complexity_factor(fitted->expression.complexity(), config.complexity_penalty);
        if (std::isfinite(error)) update_pareto(front, fitted->expression, error);
    }

    // The state after level k of the round in progress.
    SearchCheckpoint checkpoint(std::size_t round, std::size_t rounds, std::size_t k, std::size_t finished) const {
        SearchCheckpoint c;
        c.max_complexity = config.max_complexity;
        c.rounds = rounds;
        c.round = round;
        c.level = k;
        c.levels_finished = finished;
        c.n_vars = samples.first_width();
        c.levels.resize(k + 1);
        for (std::size_t j = 1; j <= k; ++j) c.levels[j] = levels[j].expressions;
        for (auto& [complexity, entry] : front.snapshot()) c.front.push_back({entry.error, std::move(entry.expression)});
        c.counters = stats->levels;
        return c;
    }

    // Continues from a checkpoint: the front and counters as they were, and
    // the round's levels with the fingerprints that their generation
    // admitted, rebuilt by generating each level again in order (the kept
    // levels are what generation reads, so the set comes out the same).
    // False when the search was told to stop on the way.
    bool restore(const SearchCheckpoint& c, const Round& round) {
        for (const auto& entry : c.front) front.update(entry.expression, entry.error);
        stats->levels = c.counters;
        beam = round.beam;
        constant_leaf = round.constants;
        levels.assign(2, Level{});
        for (const Expression& e : c.levels[1])
            if (admit(e)) levels[1].push(e);
        store_values(1);
        for (std::size_t k = 2; k <= c.level; ++k) {
            levels.resize(k + 1);
            GenerationCounts ignored;
            generate_level(k, levels, *registry, seen, ignored, &stop, config.reuse_computed_values,
                           config.engine.operator_mask);
            if (stop.stopped() || stop.check_now()) return false;
            for (const Expression& e : c.levels[k]) levels[k].push(e);
            store_values(k);
        }
        return true;
    }

    void seed(std::size_t n_vars) {
        levels.resize(2);
        Expression parameter = Expression::parameter();
        if (config.seed_constant_leaf && constant_leaf && admit(parameter)) {
            score_and_update(parameter, samples, targets, front, operators(), config.alpha,
                             config.l1_ratio, config.real_fast_path);
            levels[1].push(std::move(parameter));
        }
        for (std::size_t i = 0; i < n_vars; ++i) {
            Expression variable = Expression::variable(i);
            if (!admit(variable)) continue;
            const double error = compute_raw_error(variable, samples, targets, operators(),
                                                   config.alpha, config.l1_ratio, config.real_fast_path);
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
        const std::size_t bytes = RowValues::bytes_at_most(level.size(), samples.size());
        if (row_value_bytes + bytes > config.row_value_budget_bytes) return;
        level.row_values = RowValues::at_rows(level.expressions, samples, operators(), config.real_fast_path);
        row_value_bytes += bytes;
    }

    // The candidate as a full expression with its fitted constants. Scoring
    // is deterministic, so rescoring the few candidates that are kept gives
    // exactly the values the scoring pass saw, without storing the fitted
    // constants of every candidate.
    Expression with_fitted_constants(const CandidateRef& ref, std::size_t k, bool thorough = false) const {
        Expression e = materialize(ref, k, levels, *registry);
        if (e.num_params == 0 || !config.refine_constants) return e;
        auto scored = score_candidate(e, samples, targets, config, *registry, thorough);
        return scored ? std::move(scored->expression) : std::move(e);
    }

    // The scoring pass on the caller's scorer; false when it stopped or failed.
    bool score_elsewhere(const ScoringInputs& inputs, std::size_t k, const std::vector<CandidateRef>& candidates,
                         std::vector<double>& scores, std::vector<double>& ranks,
                         std::vector<std::uint8_t>& has_score, std::vector<std::uint8_t>& refined) {
        std::vector<CandidateOutcome> outcomes(candidates.size());
        const auto result = scorer->score_level(inputs, k, candidates, outcomes, stop);
        scorer_failed = result == LevelScorer::Result::Failed;
        if (result != LevelScorer::Result::Done) return false;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            scores[i] = outcomes[i].score;
            if (!ranks.empty()) ranks[i] = outcomes[i].rank;
            has_score[i] = outcomes[i].has_score;
            refined[i] = outcomes[i].refined;
        }
        return true;
    }

    // Runs level k; false when the search was told to stop on the way.
    bool run_level(std::size_t k) {
        const auto level_start = SteadyClock::now();
        levels.resize(k + 1);
        LevelStats level_stats;

        GenerationCounts counts;
        std::vector<CandidateRef> candidates = generate_level(k, levels, *registry, seen, counts, &stop,
                                                              config.reuse_computed_values,
                                                              config.engine.operator_mask);
        if (stop.stopped() || stop.check_now()) return false;
        level_stats.generated = counts.generated;
        level_stats.admitted = counts.admitted;

        // Scoring pass.
        const std::size_t n = candidates.size();
        std::vector<double> scores(n, 0.0);
        std::vector<double> ranks(config.engine.scaled_ranking ? n : 0, 0.0);
        std::vector<std::uint8_t> has_score(n, 0);
        std::vector<std::uint8_t> refined(n, 0);
        const ScoringInputs inputs{levels, samples, targets, config, *registry};
        if (scorer && n > 0) {
            if (!score_elsewhere(inputs, k, candidates, scores, ranks, has_score, refined)) return false;
        } else {
            ProgressBar bar(k, n, sink);
            parallel_for(
                n, 16,
                [&](std::size_t i) {
                    bar.step();
                    const CandidateOutcome outcome = score_candidate_ref(inputs, k, candidates[i]);
                    scores[i] = outcome.score;
                    if (!ranks.empty()) ranks[i] = outcome.rank;
                    has_score[i] = outcome.has_score;
                    refined[i] = outcome.refined;
                },
                &stop);
            if (stop.stopped()) {
                if (bar.printed()) print_progress_end(sink);
                return false;
            }
        }
        if (n > 0 && !scorer) print_progress_end(sink);

        std::vector<std::uint32_t> scored;
        for (std::size_t i = 0; i < n; ++i) {
            level_stats.refined += refined[i];
            if (has_score[i]) scored.push_back(static_cast<std::uint32_t>(i));
        }
        level_stats.scored = scored.size();
        std::vector<std::uint8_t>().swap(has_score);
        thorough.assign(config.engine.fit == FitMethod::LevenbergMarquardt ? n : 0, 0);
        if (!thorough.empty() && !fit_thoroughly(inputs, k, candidates, scored, refined, scores, ranks))
            return false;
        std::vector<std::uint8_t>().swap(refined);

        // The front learns of level k only once the level is sure to finish,
        // so a search stopped inside it returns exactly what the finished
        // levels found. Retention never reads the front, so the order does not
        // change what either of them computes.
        const auto best = best_of_level(scores, scored, k);
        const auto best_scaled = best_scaled_of_level(scores, ranks, scored);
        retain(candidates, ranks.empty() ? scores : ranks, std::move(scored), k);
        if (stop.stopped()) return false;
        if (best) update_pareto(front, with_fitted_constants(candidates[best->index], k, is_thorough(best->index)),
                                best->error);
        if (best_scaled) offer_scaled(candidates[*best_scaled], k, is_thorough(*best_scaled));
        level_stats.retained = levels[k].size();

        print_level_line(k, SteadyClock::now() - level_start, levels[k].size(), sink);
        // Rounds after the first add to the same level's counters.
        stats->levels.resize(std::max(stats->levels.size(), k + 1));
        stats->levels[k] += level_stats;
        return true;
    }

    bool is_thorough(std::size_t i) const { return !thorough.empty() && thorough[i]; }

    // Levenberg–Marquardt's second pass: the candidates with constants that
    // rank among the best `beam` after their cheap fit get the full budget
    // and every start, so iterations go where they can change the beam. The
    // choice depends only on the first pass's scores, so it is the same on
    // any number of threads. False when the search was told to stop.
    bool fit_thoroughly(const ScoringInputs& inputs, std::size_t k, const std::vector<CandidateRef>& candidates,
                        const std::vector<std::uint32_t>& scored, const std::vector<std::uint8_t>& refined,
                        std::vector<double>& scores, std::vector<double>& ranks) {
        const std::vector<double>& order = ranks.empty() ? scores : ranks;
        std::vector<std::uint32_t> chosen;
        for (const std::uint32_t i : scored)
            if (refined[i]) chosen.push_back(i);
        const std::size_t count = std::min(chosen.size(), beam);
        std::partial_sort(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(count), chosen.end(),
                          [&](std::uint32_t a, std::uint32_t b) { return order[a] < order[b] || (order[a] == order[b] && a < b); });
        chosen.resize(count);
        ScoringInputs full = inputs;
        full.thorough = true;
        std::vector<CandidateOutcome> outcomes(count);
        parallel_for(
            count, 1, [&](std::size_t j) { outcomes[j] = score_candidate_ref(full, k, candidates[chosen[j]]); },
            &stop);
        if (stop.stopped()) return false;
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t i = chosen[j];
            // Adopted when it is no worse, so that materialising the candidate
            // again knows which fit its constants came from.
            if (!outcomes[j].has_score || !(outcomes[j].score <= scores[i])) continue;
            thorough[i] = 1;
            scores[i] = outcomes[j].score;
            if (!ranks.empty()) ranks[i] = outcomes[j].rank;
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

    // The candidate whose scaled error ranks it best, when scaling is what
    // ranks it (its own error is worse).
    static std::optional<std::uint32_t> best_scaled_of_level(const std::vector<double>& scores,
                                                             const std::vector<double>& ranks,
                                                             const std::vector<std::uint32_t>& scored) {
        if (ranks.empty()) return std::nullopt;
        std::optional<std::uint32_t> winner;
        for (const std::uint32_t i : scored)
            if (ranks[i] < scores[i] && (!winner || ranks[i] < ranks[*winner])) winner = i;
        return winner;
    }

    // The candidate f with its scale and offset made constants, C·f and
    // C·f + C, fitted and offered to the front at their own complexities.
    void offer_scaled(const CandidateRef& ref, std::size_t k, bool thorough_fit) {
        const Expression f = with_fitted_constants(ref, k, thorough_fit);
        const auto& metas = registry->metas();
        const Expression c = Expression::parameter(Complex{1.0, 0.0});
        // The scale and offset are written with Times and Plus, so a subset
        // of operators without them gets no such formulas.
        const auto allowed = [&](std::size_t id) { return ((config.engine.operator_mask >> id) & 1u) != 0; };
        if (!allowed(op_ids::Times)) return;
        auto scaled = compose_binary(c, f, op_ids::Times, metas[op_ids::Times]);
        if (!scaled) return;
        std::optional<Expression> shifted;
        if (allowed(op_ids::Plus)) shifted = compose_binary(*scaled, c, op_ids::Plus, metas[op_ids::Plus]);
        offer_fitted(*scaled);
        if (shifted) offer_fitted(*shifted);
    }

    void retain(const std::vector<CandidateRef>& candidates, const std::vector<double>& scores,
                std::vector<std::uint32_t> scored, std::size_t k) {
        // The first levels are small and hold the building blocks of every
        // law (a variable shifted by a constant, a product of two), whose own
        // fit says little about the law: narrow rounds keep level 2 whole and
        // a wide share of level 3.
        std::size_t width = beam;
        if (k <= kFullWidthLevels) width = config.beam_width;
        else if (k == kFullWidthLevels + 1) width = std::max(beam, std::min(config.beam_width, kNextLevelMinWidth));
        const std::vector<std::uint32_t> keep =
            select_beam(scores, std::move(scored), width,
                        [&](std::uint32_t i) { return candidate_skeleton_hash(candidates[i], k, levels).value; });
        std::vector<Expression> retained(keep.size());
        parallel_for(
            keep.size(), 4,
            [&](std::size_t j) { retained[j] = with_fitted_constants(candidates[keep[j]], k, is_thorough(keep[j])); },
            &stop);
        for (Expression& e : retained) levels[k].push(std::move(e));
        if (!stop.stopped()) store_values(k);
    }
};

}  // namespace

Outcome<std::vector<SearchResult>> run_bfs(const Samples& rows,
                                           const std::vector<double>& targets,
                                           const SearchConfig& config, SearchStats* stats,
                                           const RunControl& control) {
    if (rows.empty() || rows.size() != targets.size()) return EngineError::dimension(kDimensionMessage);
    const std::size_t n_vars = rows.first_width();
    // Variable indices are 8-bit: more variables cannot be represented.
    if (n_vars > kMaxVars) return EngineError::dimension(kTooManyVariablesMessage);

    std::optional<StopSignal::Clock::time_point> deadline;
    if (control.time_budget) deadline = StopSignal::Clock::now() + *control.time_budget;

    const std::vector<Round> rounds = round_plan(config);
    if (control.resume) {
        if (auto problem = resume_problem(*control.resume, config, n_vars))
            return EngineError::resume("The checkpoint cannot continue this search: " + *problem + ".");
    }

    // Everything the search builds lives in `search` and is released on every
    // way out, an interruption included. Counters are kept even when the
    // caller does not ask for them, since checkpoints carry them.
    SearchStats own_stats;
    if (!stats) stats = &own_stats;
    Search search(rows, targets, config, stats, control, deadline);
    std::size_t finished = 1;
    std::size_t first_round = 0, first_level = 2;
    bool cut_short = false;
    if (control.resume) {
        const SearchCheckpoint& c = *control.resume;
        finished = c.levels_finished;
        first_round = c.round;
        first_level = c.level + 1;
        cut_short = !search.restore(c, rounds[c.round]);
    } else {
        search.seed(n_vars);
        if (config.engine.power_laws) search.offer_power_laws();
        stats->levels.assign(2, LevelStats{});
    }
    cut_short = cut_short || search.stop.check_now();
    if (search.stop.reason() == StopReason::Interrupted) return EngineError::interrupted();

    bool save_failed = false;
    if (!search.fits_exactly() && !cut_short) {
        print_start_line(search.levels[1].size(), search.sink);
        bool exact = false;
        for (std::size_t round = first_round; round < rounds.size() && !exact && !cut_short; ++round) {
            const bool resumed = control.resume && round == first_round;
            // The first round keeps the seeds already made when they are its
            // own, and a resumed round its restored levels.
            if (!resumed && (round > 0 || !rounds[round].constants))
                search.start_round(n_vars, rounds[round].beam, rounds[round].constants);
            search.beam = rounds[round].beam;
            // A maximum complexity of 0 or 1 leaves only the seeds.
            for (std::size_t k = resumed ? first_level : 2; k <= config.max_complexity; ++k) {
                if (!search.run_level(k)) {
                    cut_short = true;
                    break;
                }
                finished = std::max(finished, k);
                exact = search.fits_exactly();
                if (control.save_checkpoint &&
                    !control.save_checkpoint(encode_checkpoint(search.checkpoint(round, rounds.size(), k, finished)))) {
                    save_failed = true;
                    break;
                }
                if (exact) break;
            }
            if (save_failed) break;
        }
    } else if (cut_short && search.fits_exactly()) {
        cut_short = false;  // the seeds already fit: nothing was left to do
    }
    if (save_failed) return EngineError::interrupted();
    if (search.stop.reason() == StopReason::Interrupted || search.scorer_failed)
        return EngineError::interrupted();
    stats->fingerprints = search.seen.size();
    stats->levels_finished = finished;
    stats->budget_exhausted = cut_short;
    // A budget spent before any composed level finished leaves only the
    // seeds, which is no search at all.
    if (cut_short && finished < 2) return EngineError::no_formula(config.max_complexity);
    // The budget does not cut the final selection short; an interruption does.
    StopSignal final_stop(control.should_stop, std::nullopt, control.sink);
    return finalize_result(search.front, search.registry, config, search.samples, search.targets,
                           &final_stop);
}

}  // namespace vorn
