#pragma once

// A level scorer whose transport is a Python object, so that a level's
// candidates can be scored on a Dask cluster. The object provides:
//   chunk_count(n) -> int          how many chunks to split n candidates into
//   submit(k, data, levels, chunks) starts scoring chunks (lists of bytes) of
//                                  level k; data (bytes) on the first call of
//                                  a search, else None; levels: the levels
//                                  completed since the last call
//   wait(timeout) -> list | None   the outcome bytes per chunk once all are in
//   cancel()                       drops the outstanding work
// Every call runs on the search's calling thread, with the interpreter lock
// held. An exception raised by any of them ends the search with it.

#include "engine/level_scorer.hpp"
#include "python/pyref.hpp"

namespace vorn::python {

class PythonScorer final : public ShippingScorer {
public:
    explicit PythonScorer(PyObject* transport) : transport_(transport) {}

protected:
    std::size_t chunk_count(std::size_t candidates) override;
    bool submit(std::size_t k, const std::optional<std::string>& data, const std::vector<std::string>& new_levels,
                const std::vector<std::string>& chunks) override;
    std::optional<std::vector<std::string>> wait(double seconds, bool& failed) override;
    void cancel() override;

private:
    PyObject* transport_;  // borrowed: the caller keeps it alive for the search
};

}  // namespace vorn::python
