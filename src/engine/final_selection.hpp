#pragma once

#include <memory>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/outcome.hpp"
#include "core/samples.hpp"
#include "engine/pareto.hpp"
#include "engine/stop.hpp"
#include "ops/registry.hpp"
#include "result/search_result.hpp"

namespace vorn {

// Refines every entry with parameters once more (30 iterations), keeps the
// entries that beat every simpler one and returns them lowest error first; or
// NoFormula when the front is empty, or Interrupted when `stop` says stop
// between two refinements.
Outcome<std::vector<SearchResult>> finalize_result(const ParetoFront& front,
                                                   std::shared_ptr<const OperatorRegistry> registry,
                                                   const SearchConfig& config, const Samples& rows,
                                                   std::span<const double> targets,
                                                   StopSignal* stop = nullptr);

}  // namespace vorn
