#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/progress_sink.hpp"

namespace vorn {

using SteadyClock = std::chrono::steady_clock;

// "1.5s", "12.34ms", "250µs", "999ns": whole units plus the rest down to the
// nanosecond, without trailing zeros.
std::string format_duration(std::chrono::nanoseconds duration);

// "[VORN-SR] Started search space exploration. Level 1 seeded with N primary nodes."
void print_start_line(std::size_t seeds, ProgressSink& sink = stdout_sink());
// "[VORN-SR]   -> Level k processed in D. Retaining top N candidates."
void print_level_line(std::size_t level, std::chrono::nanoseconds duration, std::size_t kept,
                      ProgressSink& sink = stdout_sink());
// Ends an open progress line.
void print_progress_end(ProgressSink& sink = stdout_sink());

// The live progress bar of one scoring pass. Workers call step() right before
// they score a candidate; each whole percentage is printed at most once, by the
// worker whose compare-and-swap moved `last_percent` to it.
class ProgressBar {
public:
    ProgressBar(std::size_t level, std::size_t total, ProgressSink& sink = stdout_sink());

    void step();
    // Whether a progress line has been printed (and so is open).
    bool printed() const { return last_percent_.load() > 0; }

    // The progress line for `percent`, `done` of `total`, after `elapsed` seconds.
    static std::string line(std::size_t level, std::uint64_t percent, std::uint64_t done,
                            std::uint64_t total, double elapsed_seconds);

private:
    ProgressSink& sink_;
    std::size_t level_;
    std::uint64_t total_;
    std::atomic<std::uint64_t> done_count_{0};
    std::atomic<std::uint64_t> last_percent_{0};
    SteadyClock::time_point pass_start_;
};

}  // namespace vorn
