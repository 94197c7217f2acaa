#include "engine/progress.hpp"

#include <cstdio>

namespace vorn {

namespace {

std::string with_rest(std::uint64_t whole, std::uint64_t rest, int digits, const char* unit) {
    std::string out = std::to_string(whole);
    if (rest != 0) {
        std::string fraction = std::to_string(rest);
        fraction.insert(0, static_cast<std::size_t>(digits) - fraction.size(), '0');
        while (fraction.back() == '0') fraction.pop_back();
        out += '.';
        out += fraction;
    }
    out += unit;
    return out;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds duration) {
    const std::uint64_t ns = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
    if (ns >= 1'000'000'000) return with_rest(ns / 1'000'000'000, ns % 1'000'000'000, 9, "s");
    if (ns >= 1'000'000) return with_rest(ns / 1'000'000, ns % 1'000'000, 6, "ms");
    if (ns >= 1'000) return with_rest(ns / 1'000, ns % 1'000, 3, "\u00b5s");
    return std::to_string(ns) + "ns";
}

void print_start_line(std::size_t seeds, ProgressSink& sink) {
    sink.report(ProgressKind::Start, "[VORN-SR] Started search space exploration. Level 1 seeded with " +
               std::to_string(seeds) + " primary nodes.\n");
}

void print_level_line(std::size_t level, std::chrono::nanoseconds duration, std::size_t kept,
                      ProgressSink& sink) {
    sink.report(ProgressKind::Level, "[VORN-SR]   -> Level " + std::to_string(level) + " processed in " +
               format_duration(duration) + ". Retaining top " + std::to_string(kept) +
               " candidates.\n");
}

void print_progress_end(ProgressSink& sink) { sink.report(ProgressKind::ProgressEnd, "\n"); }

ProgressBar::ProgressBar(std::size_t level, std::size_t total, ProgressSink& sink)
    : sink_(sink),
      level_(level), total_(total), pass_start_(SteadyClock::now()) {}

std::string ProgressBar::line(std::size_t level, std::uint64_t percent, std::uint64_t done,
                              std::uint64_t total, double elapsed_seconds) {
    const double remaining = elapsed_seconds * 100.0 / static_cast<double>(percent) - elapsed_seconds;
    std::string bar;
    const std::uint64_t full = percent / 10 > 10 ? 10 : percent / 10;
    for (std::uint64_t i = 0; i < full; ++i) bar += "\u2588";
    for (std::uint64_t i = full; i < 10; ++i) bar += "\u2591";
    char times[96];
    std::snprintf(times, sizeof times, "%.1fs (Est: %.1fs)   ", elapsed_seconds, remaining);
    return "\r  [VORN] L" + std::to_string(level) + " Progress: [" + bar + "] " +
           std::to_string(percent) + "% (" + std::to_string(done) + "/" + std::to_string(total) +
           ") | " + times;
}

void ProgressBar::step() {
    if (total_ == 0) return;
    const std::uint64_t done = done_count_.fetch_add(1) + 1;
    const std::uint64_t percent = done * 100 / total_;
    std::uint64_t last = last_percent_.load();
    while (last < 100 && percent > last) {
        if (last_percent_.compare_exchange_weak(last, percent)) {
            const auto since = SteadyClock::now() - pass_start_;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
            const double elapsed = ns < 0 ? 0.0
                                          : static_cast<double>(ns / 1'000'000'000) +
                                                static_cast<double>(ns % 1'000'000'000) / 1e9;
            sink_.report(ProgressKind::Progress, line(level_, percent, done, total_, elapsed));
            return;
        }
    }
}

}  // namespace vorn
