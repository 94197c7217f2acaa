// Runs the benchmark problem set under the default configuration and prints
// one row per problem plus a summary line. Usage:
//   run_bench [--filter SUBSTRING] [--exclude SUBSTRING] [--max-complexity N] [--beam N]
//             [--rows N] [--plain]
// --rows samples every problem on N rows instead of its own count; --plain
// turns off the reuse of computed values (same results, for comparison).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <string>

#include "engine/bfs.hpp"
#include "problems.hpp"

namespace {

double peak_memory_mib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0.0;
}

// Writing 5 to clear_refs resets the peak resident size, so that each
// problem reports its own peak; the heap freed by the previous problem is
// handed back to the system first, or it would count again.
void reset_peak_memory() {
    malloc_trim(0);
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

}  // namespace

int main(int argc, char** argv) {
    std::string filter, exclude;
    vorn::SearchConfig config;
    std::size_t rows_override = 0;
    for (int i = 1; i < argc; i += 2) {
        if (!std::strcmp(argv[i], "--plain")) {
            config.reuse_computed_values = false;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "option %s needs a value\n", argv[i]);
            return 2;
        }
        if (!std::strcmp(argv[i], "--filter")) filter = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rows")) rows_override = std::stoul(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--exclude")) exclude = argv[i + 1];
        else if (!std::strcmp(argv[i], "--max-complexity")) config.max_complexity = std::stoul(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--beam")) config.beam_width = std::stoul(argv[i + 1]);
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    char header[256];
    std::snprintf(header, sizeof header, "%-20s %4s %5s %9s %11s %10s %10s %9s %8s %10s %4s %-4s %s",
                  "problem", "vars", "rows", "time[s]", "generated", "admitted", "scored", "refined",
                  "peakMiB", "error", "cplx", "rec", "formula");
    std::vector<std::string> table;
    // Each row is also printed as soon as its problem ends, so that a long run
    // shows its results as it goes.
    const auto emit = [&](const char* line) {
        table.push_back(line);
        std::printf("\nRESULT %s\n", line);
        std::fflush(stdout);
    };
    double total_seconds = 0.0;
    std::uint64_t total_generated = 0;
    int recovered_count = 0, problems = 0;
    for (auto problem : vorn::bench::problem_set()) {
        if (rows_override != 0) problem.rows = rows_override;
        if (!filter.empty() && problem.name.find(filter) == std::string::npos) continue;
        if (!exclude.empty() && problem.name.find(exclude) != std::string::npos) continue;
        const auto data = vorn::bench::sample(problem);
        reset_peak_memory();
        vorn::SearchStats stats;
        const auto start = std::chrono::steady_clock::now();
        auto outcome = vorn::run_bfs(data.x, data.y, config, &stats);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto t = stats.total();
        total_seconds += seconds;
        total_generated += t.generated;
        ++problems;

        char line[1024];
        if (!outcome) {
            std::snprintf(line, sizeof line, "%-20s %4zu %5zu %9.2f %11llu %10llu %10llu %9llu %8.0f  %s", problem.name.c_str(),
                          problem.vars, problem.rows, seconds, (unsigned long long)t.generated,
                          (unsigned long long)t.admitted, (unsigned long long)t.scored,
                          (unsigned long long)t.refined, peak_memory_mib(), outcome.error().message().c_str());
            emit(line);
            continue;
        }
        const auto& best = outcome.value().front();
        // Recovered: reproduces the noise-free function. Exact data must fit
        // to the early-exit threshold; noisy data must match the clean values
        // much more closely than the noise does.
        double dev = 0.0, ms = 0.0;
        for (std::size_t i = 0; i < data.x.size(); ++i) {
            const double d = best.eval_at(data.x[i]) - data.clean[i];
            dev += d * d;
            ms += data.clean[i] * data.clean[i];
        }
        const double rms_dev = std::sqrt(dev / static_cast<double>(data.x.size()));
        const double rms = std::sqrt(ms / static_cast<double>(data.x.size()));
        const bool recovered = problem.noise == 0.0 ? best.error <= 1e-10
                                                    : rms_dev <= 0.25 * problem.noise * rms;
        recovered_count += recovered;
        std::snprintf(line, sizeof line,
                      "%-20s %4zu %5zu %9.2f %11llu %10llu %10llu %9llu %8.0f %10.3e %4zu %-4s %s",
                      problem.name.c_str(), problem.vars, problem.rows, seconds,
                      (unsigned long long)t.generated, (unsigned long long)t.admitted,
                      (unsigned long long)t.scored, (unsigned long long)t.refined, peak_memory_mib(),
                      best.error, best.complexity(), recovered ? "yes" : "no", best.to_python().c_str());
        emit(line);
    }
    std::printf("\n%s\n", header);
    for (const auto& line : table) std::printf("%s\n", line.c_str());
    std::printf("TOTAL: %d problems, %d recovered, %.2f s, %.0f candidates/s\n", problems,
                recovered_count, total_seconds,
                total_seconds > 0 ? static_cast<double>(total_generated) / total_seconds : 0.0);
    return 0;
}
