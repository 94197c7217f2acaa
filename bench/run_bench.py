"""The benchmark problem set run through the Python module.

Same problems, same sampled data (the generator below reproduces the C++
runner's stream bit for bit) and the same table as bench/run_bench.cpp, so the
two runners can be compared line by line; the difference is the cost of the
binding. The candidate counters are internal to the engine and not visible
from Python; their columns show "-".

Usage: python bench/run_bench.py [--filter SUBSTRING] [--exclude SUBSTRING] [--max-complexity N] [--beam N]
"""

import argparse
import math
import resource
import sys
import time

import vorn_sr

MASK = (1 << 64) - 1


class Rng:
    """splitmix64, as in bench/problems.hpp."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def uniform(self):
        return (self.next() >> 11) * 2.0**-53

    def normal(self):
        u1 = 1.0 - self.uniform()
        u2 = self.uniform()
        return math.sqrt(-2.0 * math.log(u1)) * math.cos(6.283185307179586 * u2)


# name, truth, vars, rows, lo, hi, f
EXACT = [
    ("poly3", "x^3+x^2+x", 1, 50, -2.0, 2.0, lambda x: x[0] * x[0] * x[0] + x[0] * x[0] + x[0]),
    ("sin_times_x", "sin(x)*x", 1, 100, -3.0, 3.0, lambda x: math.sin(x[0]) * x[0]),
    ("log_plus_sqrt", "ln(x)+sqrt(x)", 1, 200, 0.5, 5.0, lambda x: math.log(x[0]) + math.sqrt(x[0])),
    ("linear_const", "2.5*x+1", 1, 20, -2.0, 2.0, lambda x: 2.5 * x[0] + 1.0),
    ("sin_cos", "sin(x0)*cos(x1)", 2, 200, -2.0, 2.0, lambda x: math.sin(x[0]) * math.cos(x[1])),
    ("ratio3", "(x0+x1)/x2", 3, 300, 1.0, 3.0, lambda x: (x[0] + x[1]) / x[2]),
    ("prod_plus", "x0*x1+x2", 3, 1000, -2.0, 2.0, lambda x: x[0] * x[1] + x[2]),
]
NOISY = [
    ("poly3", 1000),
    ("sin_times_x", 200),
    ("log_plus_sqrt", 1000),
    ("linear_const", 100),
    ("sin_cos", 500),
    ("ratio3", 300),
]


def problem_set():
    problems = [dict(name=n, truth=t, vars=v, rows=r, lo=lo, hi=hi, noise=0.0, f=f) for n, t, v, r, lo, hi, f in EXACT]
    by_name = {p["name"]: p for p in problems}
    for name, rows in NOISY:
        problems.append(dict(by_name[name], name=name + "_noisy", rows=rows, noise=0.01))
    return problems


def sample(problem, seed=12345):
    rng = Rng(seed)
    x, clean = [], []
    for _ in range(problem["rows"]):
        row = [problem["lo"] + (problem["hi"] - problem["lo"]) * rng.uniform() for _ in range(problem["vars"])]
        clean.append(problem["f"](row))
        x.append(row)
    ms = 0.0
    for v in clean:
        ms += v * v
    sigma = problem["noise"] * math.sqrt(ms / len(clean))
    y = [v + sigma * rng.normal() if problem["noise"] > 0 else v for v in clean]
    return x, y, clean


def peak_memory_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # KiB on Linux


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", default="")
    parser.add_argument("--exclude", default="")
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--beam", type=int, default=1000)
    args = parser.parse_args(argv)
    searcher = vorn_sr.Searcher(max_complexity=args.max_complexity, beam_width=args.beam)

    table = []
    total_seconds = 0.0
    recovered_count = problems = 0
    for problem in problem_set():
        if args.filter not in problem["name"] or (args.exclude and args.exclude in problem["name"]):
            continue
        x, y, clean = sample(problem)
        start = time.perf_counter()
        try:
            best = searcher.find_multivariate(x, y)
            failure = None
        except (vorn_sr.VornComplexityError, vorn_sr.VornDimensionError) as e:
            failure = str(e)
        seconds = time.perf_counter() - start
        total_seconds += seconds
        problems += 1
        head = "%-20s %4d %5d %9.2f %11s %10s %10s %9s %8.0f" % (
            problem["name"], problem["vars"], problem["rows"], seconds, "-", "-", "-", "-", peak_memory_mib()
        )
        if failure is not None:
            table.append(f"{head}  {failure}")
            continue
        # Recovered: exact data must fit to the early-exit threshold; noisy
        # data must match the clean values much more closely than the noise.
        predicted = best.eval_batch(x)
        dev = sum((p - c) ** 2 for p, c in zip(predicted, clean))
        ms = sum(c * c for c in clean)
        rms_dev = math.sqrt(dev / len(x))
        rms = math.sqrt(ms / len(x))
        if problem["noise"] == 0.0:
            recovered = best.error <= 1e-10
        else:
            recovered = rms_dev <= 0.25 * problem["noise"] * rms
        recovered_count += recovered
        table.append(
            "%s %10.3e %4d %-4s %s" % (head, best.error, best.complexity, "yes" if recovered else "no", best.to_python())
        )

    sys.stdout.flush()
    print(
        "\n%-20s %4s %5s %9s %11s %10s %10s %9s %8s %10s %4s %-4s %s"
        % ("problem", "vars", "rows", "time[s]", "generated", "admitted", "scored", "refined", "peakMiB", "error", "cplx", "rec", "formula")
    )
    for line in table:
        print(line)
    print(f"TOTAL: {problems} problems, {recovered_count} recovered, {total_seconds:.2f} s")


if __name__ == "__main__":
    main(sys.argv[1:])
