#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "core/expression.hpp"

namespace vorn {

// The best formula found per complexity. Entries only ever improve (strictly
// lower error wins, so on ties the first formula found stays) and are never
// removed; dominance between complexities is settled by finalize_result.
class ParetoFront {
public:
    struct Entry {
        double error = 0.0;
        Expression expression;
    };

    // Stores a copy of `expression` if it beats the entry at its complexity.
    void update(const Expression& expression, double error);
    // The stored error at `complexity`, if any.
    std::optional<double> error_at(std::size_t complexity) const;
    bool any_error_at_most(double threshold) const;
    // A copy of the entries in ascending complexity.
    std::vector<std::pair<std::size_t, Entry>> snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<std::size_t, Entry> entries_;
};

void update_pareto(ParetoFront& front, const Expression& expression, double error);

}  // namespace vorn
