#pragma once

#include <cstddef>

namespace vorn {

// Everything that tells the engine how to search. A plain value: copies are
// independent, and per-call overrides always go to a copy.
struct SearchConfig {
    std::size_t max_complexity = 10;
    std::size_t beam_width = 1000;
    double complexity_penalty = 0.1;
    double alpha = 0.0;
    double l1_ratio = 0.5;
    double early_exit_threshold = 1e-10;
    bool exhaustive = false;
    bool refine_constants = true;
    // Whether level 1 holds the tunable-constant leaf. Without it every formula
    // is a closed form of the operators. (recognize_constant looks for closed
    // forms of a single number with a search of its own, by value.)
    bool seed_constant_leaf = true;
    // Whether the search reuses values it has already computed (stored
    // operand values, the refinement tape). Results are identical either way;
    // off is the plain evaluation that the tests compare against.
    bool reuse_computed_values = true;
    // Memory for the retained expressions' values at the data rows, over all
    // levels; levels beyond it are scored by evaluating candidates whole.
    std::size_t row_value_budget_bytes = std::size_t{512} << 20;

    // Engine settings of our own, beyond the design's; the Searcher facade
    // leaves them at these values.

    // Whether values that stay on the real axis (imaginary parts zero) are
    // computed and stored as real numbers. Results are identical either way;
    // off keeps every value complex, which the tests compare against.
    bool real_fast_path = true;
};

}  // namespace vorn
