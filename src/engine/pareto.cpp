#include "engine/pareto.hpp"



namespace vorn {

void ParetoFront::update(const Expression& expression, double error) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(expression.complexity());
    if (it == entries_.end()) {
        entries_.emplace(expression.complexity(), Entry{error, expression});
    } else if (error < it->second.error) {
        it->second = Entry{error, expression};
    }
}

std::optional<double> ParetoFront::error_at(std::size_t complexity) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(complexity);
    if (it == entries_.end()) return std::nullopt;
    return it->second.error;
}

bool ParetoFront::any_error_at_most(double threshold) const {
    std::lock_guard lock(mutex_);
    for (const auto& [complexity, entry] : entries_)
        if (threshold >= entry.error) return true;
    return false;
}

std::vector<std::pair<std::size_t, ParetoFront::Entry>> ParetoFront::snapshot() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

void update_pareto(ParetoFront& front, const Expression& expression, double error) {
    front.update(expression, error);
}

}  // namespace vorn
