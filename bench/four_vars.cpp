// One search on four variables and 200 rows with 1% noise,
// y = x0·x1 + sin(x2)·x3 on [0.5, 3], under the default configuration up to
// complexity 6 (or the first argument). Prints the wall time, each level's
// counters (generated, admitted, scored, refined, retained) and every front
// formula with its error in hex, so two builds can be compared bit for bit:
//   OMP_NUM_THREADS=1 ./build/release/four_vars
// Only run_bfs and problems.hpp are used, so the same file builds against
// older checkouts for side-by-side runs.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "engine/bfs.hpp"
#include "problems.hpp"

int main(int argc, char** argv) {
    vorn::bench::Problem problem;
    problem.name = "four_vars";
    problem.vars = 4;
    problem.rows = 200;
    problem.lo = 0.5;
    problem.hi = 3.0;
    problem.noise = 0.01;
    problem.f = [](const std::vector<double>& x) { return x[0] * x[1] + std::sin(x[2]) * x[3]; };
    const auto data = vorn::bench::sample(problem);
    vorn::SearchConfig config;
    config.max_complexity = argc > 1 ? std::stoul(argv[1]) : 6;
    vorn::SearchStats stats;
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = vorn::run_bfs(data.x, data.y, config, &stats);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\ntime %.2f s\n", seconds);
    for (std::size_t level = 2; level < stats.levels.size(); ++level) {
        const auto& s = stats.levels[level];
        std::printf("level %zu: %llu %llu %llu %llu %llu\n", level, (unsigned long long)s.generated,
                    (unsigned long long)s.admitted, (unsigned long long)s.scored, (unsigned long long)s.refined,
                    (unsigned long long)s.retained);
    }
    if (!outcome) {
        std::printf("%s\n", outcome.error().message().c_str());
        return 1;
    }
    for (const auto& result : outcome.value()) std::printf("%a %s\n", result.error, result.to_python().c_str());
    return 0;
}
