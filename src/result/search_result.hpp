#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "ops/registry.hpp"

namespace vorn {

// Four digits after the point, never exponent notation; "NaN", "inf", "-inf".
std::string format_fixed4(double value);

// One formula found by a search, with everything needed to evaluate and print
// it after the search is gone. All results of a search share its registry.
struct SearchResult {
    Expression expression;
    std::shared_ptr<const OperatorRegistry> registry;
    double error = 0.0;
    // An answer of recognize_constant: the formula stands for one number,
    // its value with every variable at 0.
    bool is_constant = false;

    const std::string& formula() const { return expression.text; }
    std::size_t complexity() const { return expression.complexity(); }

    // Real part of the value at `inputs` (variable i = inputs[i]); NaN where
    // the formula cannot be evaluated.
    double eval_at(std::span<const double> inputs) const;
    // One value per row, in row order; rows may differ in length.
    std::vector<double> eval_batch(const Samples& rows) const;

    std::string to_latex() const;
    std::string to_python() const;
};

}  // namespace vorn
