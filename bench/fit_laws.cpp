// Constant fitting at a known structure: for laws with 2 to 4 constants, the
// level search's fitting (diagonal Gauss-Newton from the inherited constants)
// against Levenberg–Marquardt from several starts, each given the correct
// formula with every constant at the value a fresh constant leaf holds (0.1).
// A law counts as found when the fit's error is at rounding level: at most
// 1e-20 · mean(y²).
//
//   ./build/release/fit_laws
//
// Prints one line per law (the structure, the true constants, each fitting's
// relative error and time) and the counts.

#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "core/samples.hpp"
#include "engine/constant_fitting.hpp"
#include "engine/optimizer.hpp"
#include "eval/interpreter.hpp"
#include "ops/registry.hpp"

namespace {

using namespace vorn;

struct Law {
    const char* postfix;  // C: a constant, v0/v1: variables, + - * /, or an operator's name
    std::vector<double> constants;
};

// s0 in [1.5, 5], s1 in [1, 3].
const std::vector<Law> kLaws = {
    {"C v0 C + *", {0.5, 1.0}},
    {"C v0 C - /", {1.0, 1.0}},
    {"C C v0 * Exp *", {2.5, -0.7}},
    {"C v0 Square * C v0 * +", {1.3, -0.4}},
    {"v0 C + v0 C + /", {0.5, 2.0}},
    {"C v0 Square C + /", {3.0, 1.5}},
    {"C C v0 * Sin *", {1.7, 0.9}},
    {"C C v0 * Log *", {2.0, 3.0}},
    {"C v0 C + Sqrt *", {1.5, 0.7}},
    {"C C v0 * + C v0 Square * +", {0.3, -1.2, 0.8}},
    {"C C v0 * Exp * C +", {2.0, -0.5, 1.0}},
    {"C v0 * C v0 + /", {3.0, 2.0}},
    {"C C C v0 * Exp - *", {4.0, 1.0, -0.6}},
    {"C C v0 * C + Cos *", {1.2, 0.8, 0.3}},
    {"C C C v0 * Exp * C + /", {5.0, 2.0, -1.2, 1.0}},
    {"C C v0 Log * Exp *", {2.0, 1.5}},
    {"C v0 * v1 * C +", {0.7, 2.0}},
    {"C v0 * v1 C + /", {1.5, 0.5}},
    {"C C v0 * v1 * Exp *", {1.0, -0.3}},
    {"C C v0 * Sin * v1 *", {2.0, 1.1}},
    {"C v0 * C + C v1 * C + /", {2.0, 1.0, 0.5, 3.0}},
    {"C v0 Square * C v1 Square * +", {0.5, 1.5}},
    {"C C v0 * v1 + Sqrt *", {2.0, 0.5}},
    {"C v0 C + Log * C +", {1.5, 0.5, 2.0}},
    {"C C v0 * ArcTan *", {1.5, 0.7}},
    {"C v0 * C v0 * Exp *", {2.0, -0.4}},
    {"C v0 v0 * C v0 * + C + /", {3.0, 1.0, 2.0}},
    {"C v0 C - Square *", {1.2, 2.5}},
    {"C v0 Cube * C +", {0.2, 1.0}},
    {"C C v0 / Exp *", {2.0, -1.5}},
    {"C C v0 * Cos * C v0 * Exp *", {1.5, 2.0, -0.3}},
    {"C v1 * v0 Square C + Sqrt /", {2.0, 1.0}},
};

std::vector<Token> parse(const std::string& postfix, const OperatorRegistry& registry) {
    std::vector<Token> tokens;
    std::istringstream in(postfix);
    std::string word;
    std::uint8_t slot = 0;
    const auto op = [&](const std::string& name) {
        for (std::size_t id = 0; id < registry.size(); ++id)
            if (registry.metas()[id].name == name) return Token::op(registry.metas()[id].arity, id);
        std::fprintf(stderr, "unknown operator %s\n", name.c_str());
        std::exit(2);
    };
    while (in >> word) {
        if (word == "C") tokens.push_back(Token::param(slot++, Complex{0.1, 0.0}));
        else if (word == "v0" || word == "v1") tokens.push_back(Token::var(static_cast<std::uint8_t>(word[1] - '0')));
        else if (word == "+") tokens.push_back(op("Plus"));
        else if (word == "-") tokens.push_back(op("Subtract"));
        else if (word == "*") tokens.push_back(op("Times"));
        else if (word == "/") tokens.push_back(op("Divide"));
        else tokens.push_back(op(word));
    }
    return tokens;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    const auto registry = OperatorRegistry::shared_builtins();
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> s0(1.5, 5.0), s1(1.0, 3.0);
    std::vector<std::vector<double>> table(200);
    for (auto& row : table) row = {s0(rng), s1(rng)};
    const Samples rows = Samples::from_rows(table);

    std::size_t found_gn = 0, found_lm = 0;
    double time_gn = 0.0, time_lm = 0.0;
    std::printf("%-34s %-24s %12s %12s %9s %9s\n", "law (postfix)", "constants", "GN rel.err", "LM rel.err",
                "GN ms", "LM ms");
    for (const Law& law : kLaws) {
        const std::vector<Token> tokens = parse(law.postfix, *registry);
        std::vector<Complex> truth;
        for (const double c : law.constants) truth.push_back(Complex{c, 0.0});
        CompiledFormula formula(tokens, registry->operators());
        std::vector<Complex> stack;
        std::vector<double> y(rows.size());
        double mean_square = 0.0;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            y[k] = formula.eval(rows.row(k), truth, stack).value().re;
            mean_square += y[k] * y[k] / static_cast<double>(rows.size());
        }
        Expression e;
        e.tokens = tokens;
        e.num_params = static_cast<std::uint8_t>(law.constants.size());
        e.num_vars = 2;

        // The level search's fitting: 10 iterations while searching, 30 at the end.
        auto start = std::chrono::steady_clock::now();
        const Refined searched = refine_constants(e, rows, y, 0.0, 0.5, *registry, 10);
        const Refined gn = refine_constants(searched.expression, rows, y, 0.0, 0.5, *registry, 30);
        const double gn_ms = 1e3 * seconds_since(start);
        // Levenberg–Marquardt with the budgets of a thorough search fit and the final fit.
        start = std::chrono::steady_clock::now();
        std::vector<double> fitted;
        const FitBudget search_budget{20, 3, exact_error_of(y)};
        const RefinedError lm_search = fit_constants_lm(tokens, rows, y, 0.0, 0.5, registry->operators(), true,
                                                        search_budget, fitted);
        std::vector<Token> refitted = tokens;
        if (lm_search.error < lm_search.start_error) write_fitted(refitted, fitted);
        const FitBudget final_budget{100, 3, exact_error_of(y)};
        const RefinedError lm = fit_constants_lm(refitted, rows, y, 0.0, 0.5, registry->operators(), true,
                                                 final_budget, fitted);
        const double lm_ms = 1e3 * seconds_since(start);

        const double gn_rel = gn.error / mean_square, lm_rel = std::min(lm.error, lm.start_error) / mean_square;
        found_gn += gn_rel <= 1e-20;
        found_lm += lm_rel <= 1e-20;
        time_gn += gn_ms;
        time_lm += lm_ms;
        std::string constants;
        for (const double c : law.constants) constants += (constants.empty() ? "" : ", ") + std::to_string(c).substr(0, 5);
        std::printf("%-34s %-24s %12.3e %12.3e %9.3f %9.3f\n", law.postfix, constants.c_str(), gn_rel, lm_rel, gn_ms,
                    lm_ms);
    }
    std::printf("\nfound exactly (error <= 1e-20 mean(y^2)) of %zu: diagonal Gauss-Newton %zu, "
                "Levenberg-Marquardt %zu; total time %.1f ms and %.1f ms\n",
                kLaws.size(), found_gn, found_lm, time_gn, time_lm);
    return 0;
}
