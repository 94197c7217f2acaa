#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/outcome.hpp"
#include "engine/bfs.hpp"
#include "engine/value_beam.hpp"
#include "engine/value_levels.hpp"
#include "result/search_result.hpp"

namespace vorn {

// Relative distance within which a closed form is taken to be the number.
inline constexpr double kClosedFormTolerance = 1e-12;
// ... and, evaluated in extended precision, the distance it must stay within,
// in units of the target's last place: room for a target that was itself
// computed in double with a few roundings.
inline constexpr long double kClosedFormUlps = 16.0L;

// How far the closed-form search reaches.
struct ClosedFormSettings {
    // Levels of single formulas, level = complexity.
    std::size_t levels = 10;
    // Of any answer, a join of two kept formulas included.
    std::size_t max_complexity = 21;
    BeamRule beam;
    // Significant bits that tell numbers apart: 40, about 12 decimal digits.
    // Two values that agree that far match the same targets within
    // kClosedFormTolerance, so they are one number; and the rounding noise of
    // equal numbers stays below it (the distinct values per level barely
    // change from 34 to 44 bits and multiply past 48).
    int key_bits = 40;
    // Whether joins may sit under one unary operator (Exp, Log, Sqrt, ...).
    bool outer_unary = true;
    // A level that would compose more is not composed: the search ends
    // before it. This bounds its memory whatever the settings.
    std::uint64_t max_composed = std::uint64_t{8} << 20;
};

// The reach that `config` asks for: its max_complexity levels of single
// formulas, joins of two of them (so up to 2 * max_complexity + 1 tokens),
// and a beam of kClosedFormWidthPerBeam values per configured beam slot, up
// to kClosedFormMaxWidth. A value costs one operator application where a
// formula on data costs a fit, hence the wider beam; the bound keeps the
// lookup tables of the joins within about a hundred megabytes.
inline constexpr std::size_t kClosedFormWidthPerBeam = 8;
inline constexpr std::size_t kClosedFormMaxWidth = 32768;
ClosedFormSettings closed_form_settings(const SearchConfig& config);

// Work and time of one level of the closed-form search.
struct ClosedFormLevel {
    std::size_t level = 0;
    std::uint64_t composed = 0;  // compositions with a value
    std::uint64_t distinct = 0;  // new numbers among them
    std::uint64_t kept = 0;
    std::chrono::nanoseconds compose_time{0};  // composing, deduplicating, choosing the beam
    std::chrono::nanoseconds join_time{0};     // looking up joins
};

struct ClosedFormStats {
    std::vector<ClosedFormLevel> levels;
    bool budget_exhausted = false;
};

// A formula without fitted constants whose value, with its one variable at
// 0, is `value`: within kClosedFormTolerance · max(1, |value|) in the
// engine's evaluation, the real part of the target and the imaginary part of
// zero, and within kClosedFormUlps units in the last place of `value` when
// evaluated in extended precision (a number within the tolerance of 0 is the
// variable alone). Level by level, each level's compositions are matched
// directly and joined with every kept formula by a lookup of the partner the
// target requires. The answer has the lowest complexity found; ties go to
// the one found first (levels in order; within a level the single formula,
// then the joins in the order of their parts). The search ends once no
// further level can give a simpler answer. None when no closed form is
// within reach, or control.time_budget ran out before one was found;
// Interrupted when control.should_stop said stop. Prints the start and level
// lines through control.sink (none when the variable alone is the answer).
Outcome<std::optional<SearchResult>> find_closed_form(double value, const SearchConfig& config,
                                                      const ClosedFormSettings& settings,
                                                      const RunControl& control = {},
                                                      ClosedFormStats* stats = nullptr);

}  // namespace vorn
