"""Noisy reach: the default strategy against the level search on noisy data.

The noisy problems of bench/run_bench.py (its problem list and its sampler,
1% Gaussian noise, 100 to 1000 rows) are fitted by
    default  VornRegressor(max_time=T, max_complexity=K, model_selection="best")
    levels   the same with strategy="levels"
and each found formula is scored on 1000 fresh noise-free rows of the law the
data came from. With noise no formula fits exactly, so the searches run to
their budget; what tells them apart is how close the chosen formula comes to
the law, not to the noise. A method the installed vorn_sr does not offer yet
(no `strategy` parameter) is reported as unsupported.

    OMP_NUM_THREADS=1 nice -n 10 python bench/noisy_reach.py --max-time 60
    python bench/noisy_reach.py --filter sin --max-time 30 --max-complexity 8

Prints, per problem and method: fit seconds, levels finished, test MSE against
the noise-free law, the test MSE relative to the noise variance (below 1 means
closer to the law than the noise is), and the formula.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import run_bench  # noqa: E402

TEST_SEED = 987654321
TEST_ROWS = 1000


def make_estimator(method, max_time, max_complexity):
    from vorn_sr.sklearn import VornRegressor

    kwargs = dict(max_time=max_time, max_complexity=max_complexity, model_selection="best")
    if method == "levels":
        if "strategy" not in VornRegressor().get_params():
            return None
        kwargs["strategy"] = "levels"
    return VornRegressor(**kwargs)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-time", type=float, default=60.0)
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--methods", default="default,levels")
    parser.add_argument("--filter", default="")
    args = parser.parse_args(argv)
    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    for m in methods:
        if m not in ("default", "levels"):
            parser.error(f"unknown method {m}; choose from default, levels")

    problems = [p for p in run_bench.problem_set() if p["noise"] > 0 and args.filter in p["name"]]
    print("%-20s %-8s %8s %6s %12s %10s  %s" % ("problem", "method", "fit[s]", "levels", "test MSE", "MSE/noise", "formula"))
    for problem in problems:
        x, y, _ = run_bench.sample(problem)
        X, y = np.asarray(x), np.asarray(y)
        x_test, _, clean_test = run_bench.sample(dict(problem, rows=TEST_ROWS), seed=TEST_SEED)
        X_test, y_test = np.asarray(x_test), np.asarray(clean_test)
        # The noise's standard deviation as run_bench draws it: 1% of the clean RMS.
        _, _, clean = run_bench.sample(problem)
        noise_var = (problem["noise"] * math.sqrt(np.mean(np.square(clean)))) ** 2
        for method in methods:
            est = make_estimator(method, args.max_time, args.max_complexity)
            if est is None:
                print("%-20s %-8s %8s %6s %12s %10s  %s" % (problem["name"], method, "-", "-", "-", "-", "unsupported"))
                continue
            start = time.perf_counter()
            try:
                est.fit(X, y)
            except Exception as e:
                print("%-20s %-8s %8.2f %6s %12s %10s  failed: %s: %s"
                      % (problem["name"], method, time.perf_counter() - start, "-", "-", "-", type(e).__name__, e))
                continue
            seconds = time.perf_counter() - start
            pred = est.predict(X_test)
            mse = float(np.mean((pred - y_test) ** 2)) if np.all(np.isfinite(pred)) else math.inf
            print("%-20s %-8s %8.2f %6d %12.4e %10.3f  %s"
                  % (problem["name"], method, seconds, est.levels_finished_, mse, mse / noise_var,
                     est.result_.to_python()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
