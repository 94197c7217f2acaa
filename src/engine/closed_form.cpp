#include "eval/interpreter.hpp"
#include "engine/closed_form.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/samples.hpp"
#include "engine/extended_eval.hpp"
#include "engine/join_tables.hpp"
#include "engine/meet_in_middle.hpp"
#include "engine/progress.hpp"
#include "engine/scoring.hpp"

namespace vorn {

ClosedFormSettings closed_form_settings(const SearchConfig& config) {
    ClosedFormSettings settings;
    settings.levels = std::max<std::size_t>(1, config.max_complexity);
    settings.max_complexity = 2 * config.max_complexity + 1;
    settings.beam.width = std::min(config.beam_width, kClosedFormMaxWidth / kClosedFormWidthPerBeam) *
                          kClosedFormWidthPerBeam;
    return settings;
}

namespace {

using Clock = StopSignal::Clock;

// One closed-form search: the kept levels, the lookup tables of the joins,
// the best answer so far and the means to report.
struct ClosedFormSearch {
    const SearchConfig& config;
    const ClosedFormSettings& settings;
    std::shared_ptr<const OperatorRegistry> registry = OperatorRegistry::shared_builtins();
    MatchTarget target;
    ValueLevels levels;
    JoinAims aims;
    ValueIndex index;
    ProgressSink& sink;
    StopSignal stop;
    ClosedFormStats* stats;
    std::optional<Expression> best;

    ClosedFormSearch(double value, const SearchConfig& config_, const ClosedFormSettings& settings_,
                     const RunControl& control, ClosedFormStats* stats_)
        : config(config_),
          settings(settings_),
          target{value, kClosedFormTolerance * std::max(1.0, std::fabs(value))},
          levels(settings_.key_bits),
          sink(control.sink ? *control.sink : stdout_sink()),
          stop(control.should_stop,
               control.time_budget ? std::optional(Clock::now() + *control.time_budget) : std::nullopt,
               control.sink),
          stats(stats_) {
        aims.add(levels.nodes(), 0, levels.end(1), {value, 0.0}, *registry);
    }

    // The engine's own error of a formula for the target.
    double error_of(const Expression& e) const {
        const Samples rows{{0.0}};
        const double targets[1] = {target.value};
        return compute_raw_error(e, rows, targets, registry->operators(), config.alpha,
                                 config.l1_ratio, config.real_fast_path);
    }

    // Takes the formula as the answer if the engine's own evaluation agrees
    // that it hits the target (it always should: the values the search
    // composes are the evaluation's, operator by operator) and if it still
    // does in extended precision. Among the millions of formulas and the
    // billions of joins of a search, some land within the rounding
    // tolerance of any number by coincidence; only an exact closed form stays
    // within a few units in the last place of the target when its own
    // rounding shrinks by three orders of magnitude.
    bool accept(Expression e) {
        const std::vector<Complex> inputs{Complex{0.0, 0.0}};
        const auto v = eval(e, inputs, registry->operators());
        if (!v || !target.matches(*v) || !(error_of(e) <= target.tolerance * target.tolerance)) return false;
        if (!confirmed_in_extended_precision(e)) return false;
        best = std::move(e);
        return true;
    }

    bool confirmed_in_extended_precision(const Expression& e) const {
        const auto wide = eval_extended(e.tokens);
        if (!wide) return false;
        const long double bound = kClosedFormUlps * std::numeric_limits<double>::epsilon() * std::fabs(target.value);
        return std::fabs(wide->re - static_cast<long double>(target.value)) <= bound && std::fabs(wide->im) <= bound;
    }

    std::size_t best_complexity() const { return best ? best->complexity() : SIZE_MAX; }

    // Level k: compose, take the first direct hit if any, keep the beam, then
    // join the level's compositions with the kept nodes. False when told to
    // stop (or out of time).
    bool run_level(std::size_t k) {
        ClosedFormLevel record;
        record.level = k;
        const auto start = Clock::now();
        const std::vector<ValueNode> candidates = levels.compose_next(*registry, &stop);
        if (stop.stopped() || stop.check_now()) return false;
        record.composed = candidates.size();

        // Every earlier answer has more than k tokens, so the first
        // composition that hits the target is the answer.
        for (const ValueNode& c : candidates)
            if (target.matches(c.value) && accept(levels.expression_of(c, *registry))) break;
        if (best_complexity() <= k) {
            finish_level(record, start);
            return true;
        }

        // The last level is never composed from, so its beam would serve only
        // as parts of joins, which its compositions serve anyway, all of them.
        if (k < settings.levels) {
            const DistinctValues distinct = levels.distinct(candidates, &stop);
            if (stop.stopped()) return false;
            record.distinct = distinct.ids.size();
            const std::vector<std::uint32_t> chosen =
                choose_beam(candidates, distinct, Complex{target.value, 0.0}, settings.beam, settings.key_bits);
            levels.keep(candidates, chosen);
            record.kept = chosen.size();
            aims.add(levels.nodes(), levels.begin(k), levels.end(k), {target.value, 0.0}, *registry);
        }
        const auto composed = Clock::now();
        record.compose_time = composed - start;

        // A join holds at least a level-k part, a partner and an operator.
        if (best_complexity() > k + 2) {
            const std::size_t limit = std::min(settings.max_complexity, best_complexity() - 1);
            std::vector<JoinedForm> joins = candidate_joins(candidates, k, levels, aims, target, limit, *registry, &stop);
            if (stop.stopped()) return false;
            if (settings.outer_unary && levels.levels() == k) {
                index.build(levels.nodes());
                const std::vector<JoinedForm> outer =
                    outer_joins(levels, index, levels.begin(k), levels.end(k), target, limit, *registry, &stop);
                if (stop.stopped()) return false;
                joins.insert(joins.end(), outer.begin(), outer.end());
                std::stable_sort(joins.begin(), joins.end(),
                                 [](const JoinedForm& a, const JoinedForm& b) { return a.better_than(b); });
            }
            for (const JoinedForm& join : joins)
                if (accept(joined_expression(levels, join, *registry))) break;
        }
        record.join_time = Clock::now() - composed;
        finish_level(record, start);
        return true;
    }

    void finish_level(const ClosedFormLevel& record, Clock::time_point start) {
        print_level_line(record.level, Clock::now() - start, record.kept, sink);
        if (stats) stats->levels.push_back(record);
    }
};

}  // namespace

Outcome<std::optional<SearchResult>> find_closed_form(double value, const SearchConfig& config,
                                                      const ClosedFormSettings& settings,
                                                      const RunControl& control, ClosedFormStats* stats) {
    ClosedFormSearch search(value, config, settings, control, stats);
    if (search.stop.check_now() && search.stop.reason() == StopReason::Interrupted)
        return EngineError::interrupted();
    // The variable alone reads 0, which is what a number within rounding of
    // 0 is: no search needed.
    if (search.target.matches(Complex{0.0, 0.0})) {
        search.best = Expression::variable(0);
    } else {
        print_start_line(1, search.sink);
        for (std::size_t k = 2; k <= settings.levels; ++k) {
            if (search.levels.next_size(*search.registry) > settings.max_composed) break;
            if (!search.run_level(k)) break;
            // Every later level composes formulas of more than k + 1 tokens.
            if (search.best_complexity() <= k + 1) break;
        }
    }
    if (search.stop.reason() == StopReason::Interrupted) return EngineError::interrupted();
    if (stats) stats->budget_exhausted = search.stop.reason() == StopReason::TimeBudget;
    if (!search.best) return std::optional<SearchResult>{};
    const double error = search.error_of(*search.best);
    return std::optional<SearchResult>{SearchResult{std::move(*search.best), search.registry, error}};
}

}  // namespace vorn
