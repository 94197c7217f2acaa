#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn::bench {

// One benchmark problem: a known formula sampled on a fixed grid of random
// inputs, optionally with 1% Gaussian noise (so no early exit happens).
struct Problem {
    std::string name;
    std::string truth;  // the formula in plain words, for the table
    std::size_t vars = 1;
    std::size_t rows = 0;
    double lo = -2.0, hi = 2.0;
    double noise = 0.0;  // noise standard deviation relative to the RMS of y
    std::function<double(const std::vector<double>&)> f;
};

struct Data {
    std::vector<std::vector<double>> x;
    std::vector<double> y;      // what the search sees
    std::vector<double> clean;  // the noise-free values
};

// splitmix64: a tiny generator with the same stream on every platform.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double normal() {  // Box-Muller
        const double u1 = 1.0 - uniform(), u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    std::uint64_t state_;
};

inline Data sample(const Problem& p, std::uint64_t seed = 12345) {
    Rng rng(seed);
    Data d;
    for (std::size_t i = 0; i < p.rows; ++i) {
        std::vector<double> x(p.vars);
        for (double& v : x) v = p.lo + (p.hi - p.lo) * rng.uniform();
        d.clean.push_back(p.f(x));
        d.x.push_back(std::move(x));
    }
    double ms = 0.0;
    for (const double v : d.clean) ms += v * v;
    const double sigma = p.noise * std::sqrt(ms / static_cast<double>(d.clean.size()));
    for (const double v : d.clean) d.y.push_back(p.noise > 0 ? v + sigma * rng.normal() : v);
    return d;
}

inline std::vector<Problem> problem_set() {
    using V = const std::vector<double>&;
    std::vector<Problem> exact = {
        {"poly3", "x^3+x^2+x", 1, 50, -2, 2, 0, [](V x) { return x[0] * x[0] * x[0] + x[0] * x[0] + x[0]; }},
        {"sin_times_x", "sin(x)*x", 1, 100, -3, 3, 0, [](V x) { return std::sin(x[0]) * x[0]; }},
        {"log_plus_sqrt", "ln(x)+sqrt(x)", 1, 200, 0.5, 5, 0, [](V x) { return std::log(x[0]) + std::sqrt(x[0]); }},
        {"linear_const", "2.5*x+1", 1, 20, -2, 2, 0, [](V x) { return 2.5 * x[0] + 1.0; }},
        {"sin_cos", "sin(x0)*cos(x1)", 2, 200, -2, 2, 0, [](V x) { return std::sin(x[0]) * std::cos(x[1]); }},
        {"ratio3", "(x0+x1)/x2", 3, 300, 1, 3, 0, [](V x) { return (x[0] + x[1]) / x[2]; }},
        {"prod_plus", "x0*x1+x2", 3, 1000, -2, 2, 0, [](V x) { return x[0] * x[1] + x[2]; }},
    };
    std::vector<Problem> all = exact;
    // The same formulas with 1% noise, on more rows: nothing fits to 1e-10, so
    // every level runs. This is the cost users wait for.
    const std::vector<std::pair<std::string, std::size_t>> noisy = {
        {"poly3", 1000}, {"sin_times_x", 200}, {"log_plus_sqrt", 1000},
        {"linear_const", 100}, {"sin_cos", 500}, {"ratio3", 300},
    };
    for (const auto& [name, rows] : noisy) {
        for (const Problem& p : exact) {
            if (p.name != name) continue;
            Problem q = p;
            q.name = p.name + "_noisy";
            q.rows = rows;
            q.noise = 0.01;
            all.push_back(q);
        }
    }
    return all;
}

}  // namespace vorn::bench
