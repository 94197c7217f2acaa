"""Reach on textbook laws: which laws each method finds exactly, and how fast.

Every law of bench/law_table.py (125 laws of physics and engineering, 1 to 9
variables) is sampled on 200 training rows and 500 fresh test rows from the
law's own seed, without noise, and handed to each method under the same wall
clock budget. Each law x method runs in its own subprocess with
OMP_NUM_THREADS=1, so a crash or a hang costs one entry; a run that outlives
3 x budget + 30 s is killed and counts as failed.

Methods (--methods, comma separated):
  vorn         VornRegressor(max_time=T), the installed default strategy
  vorn-levels  VornRegressor(strategy="levels", max_time=T)
  vorn-units   VornRegressor(max_time=T) fitted with X_units=..., y_units=...
               (SI units of the law's variables and target, pint strings);
               when fit answers that y's units need a dimensional constant,
               refitted with dimensionless_constants=False as its message
               suggests (the fit time counts both calls)
  pyoperon     pyoperon.sklearn.SymbolicRegressor(max_time=T, n_threads=1,
               random_state=<law seed>), otherwise its defaults
A method the installed package does not offer yet (no `strategy` parameter,
no `X_units` in fit) is reported as "unsupported", not run.

pyoperon's default primitives are add, sub, mul, div, constants and
variables: laws with sin, exp, log or sqrt it can approximate but not express,
so its "accurate" count says more about it than its "exact" count. Used with
pyoperon 0.6.2 (PyPI wheel for CPython 3.11).

Setup (vorn_sr in one venv, the peer in another):

    python3 -m venv /work/venv-laws
    /work/venv-laws/bin/pip install scikit-learn pandas pint sympy
    /work/venv-laws/bin/pip install .                 # from the checkout
    python3 -m venv /work/peers-venv
    /work/peers-venv/bin/pip install pyoperon numpy scikit-learn

Run (from the checkout; children inherit the niceness):

    nice -n 10 /work/venv-laws/bin/python bench/laws.py --methods vorn,pyoperon \\
        --peer-python /work/peers-venv/bin/python --max-time 10 --jobs 2 --json laws.json
    python bench/laws.py --list            # the law table with units
    python bench/laws.py --check           # every law finite on its ranges, units consistent (needs pint)

A full run of two methods at --max-time 10 is 250 subprocesses: with --jobs 2
about 27 minutes on a 2-core machine (each child also spends 2 to 6 s
importing its libraries).

Options: --filter SUBSTR (laws whose name contains it), --max-time T (seconds,
default 10), --jobs N (subprocesses at once, default 1), --vorn-python and
--peer-python (interpreters for the vorn methods and for pyoperon; default
this one), --json PATH (every raw result), --timeout S (override the hard
limit), --formula-width N.

Output: one line per law x method (status, fit seconds, test NMSE =
mse/var(y_test), test R^2, the formula found); then per method the laws run,
failed, exact (test NMSE < 1e-10), accurate (R^2 > 0.999) and the median fit
time, the exact counts by number of variables, and for each pair of methods
the fit times side by side on the laws both solved exactly. "fit" is the wall
time of the fit call alone; vorn stops at the first exact level, so on laws it
solves its fit time is its time to the exact law.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import itertools
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import law_table  # noqa: E402

METHODS = ("vorn", "vorn-levels", "vorn-units", "pyoperon")
EXACT_NMSE = 1e-10
ACCURATE_R2 = 0.999


class Unsupported(Exception):
    pass


# --------------------------------------------------------------------- child


def _vorn_estimator(method, max_time):
    from vorn_sr.sklearn import VornRegressor
    import inspect

    kwargs = {"max_time": max_time}
    fit_kwargs = {}
    if method == "vorn-levels":
        if "strategy" not in VornRegressor().get_params():
            raise Unsupported("VornRegressor has no strategy parameter")
        kwargs["strategy"] = "levels"
    if method == "vorn-units":
        params = inspect.signature(VornRegressor.fit).parameters
        if "X_units" not in params or "y_units" not in params:
            raise Unsupported("VornRegressor.fit takes no X_units/y_units")
        fit_kwargs = {"units": True}
    return VornRegressor(**kwargs), fit_kwargs


def _vorn_formula(est, names):
    try:
        from vorn_sr.sympy import to_sympy

        return str(to_sympy(est.result_, feature_names=names).evalf(6))
    except Exception:  # the formula text is a convenience; the numbers stand without it
        return est.result_.to_python()


def run_child(law_name, method, max_time, out_path):
    import warnings

    warnings.simplefilter("ignore")
    law = law_table.BY_NAME[law_name]
    X, y, X_test, y_test = law.sample()
    record = {"law": law_name, "method": method, "n_vars": law.n_vars, "status": "ok"}
    try:
        if method == "pyoperon":
            from pyoperon.sklearn import SymbolicRegressor

            # pyoperon takes whole seconds.
            est = SymbolicRegressor(max_time=max(1, int(round(max_time))), n_threads=1, random_state=law.seed)
            fit_kwargs = {}
        elif method.startswith("vorn"):
            est, fit_kwargs = _vorn_estimator(method, max_time)
            if fit_kwargs.pop("units", False):
                fit_kwargs = {"X_units": law.units, "y_units": law.target_unit}
        else:
            raise Unsupported(f"unknown method {method}")
    except Unsupported as e:
        record.update(status="unsupported", error=str(e))
        _write(out_path, record)
        return
    except ImportError as e:
        record.update(status="unsupported", error=f"import: {e}")
        _write(out_path, record)
        return

    start = time.perf_counter()
    try:
        try:
            est.fit(X, y, **fit_kwargs)
        except ValueError as e:
            # What a user does on this message: let a constant carry the
            # units the data lack (G, R, sigma absent from the columns).
            if "dimensionless_constants=False" not in str(e):
                raise
            est.set_params(dimensionless_constants=False)
            record["dimensional_constant"] = True
            est.fit(X, y, **fit_kwargs)
    except Exception as e:
        record.update(status="failed", fit_time=time.perf_counter() - start, error=f"{type(e).__name__}: {e}")
        _write(out_path, record)
        return
    record["fit_time"] = time.perf_counter() - start

    pred = np.asarray(est.predict(X_test), dtype=np.float64)
    var = float(np.var(y_test))
    if np.all(np.isfinite(pred)):
        mse = float(np.mean((pred - y_test) ** 2))
        nmse = mse / var
    else:
        mse = nmse = math.inf
    record.update(test_mse=mse, test_nmse=nmse, test_r2=1.0 - nmse)
    if method == "pyoperon":
        record["formula"] = est.get_model_string(est.model_, precision=6, names=law.names)
        record["complexity"] = int(est.stats_.get("model_length", -1))
    else:
        record["formula"] = _vorn_formula(est, law.names)
        record["complexity"] = int(est.result_.complexity)
        record["levels_finished"] = int(getattr(est, "levels_finished_", -1))
        record["budget_exhausted"] = bool(getattr(est, "budget_exhausted_", False))
    _write(out_path, record)


def _write(path, record):
    with open(path, "w") as fh:
        json.dump(record, fh, allow_nan=True)


# -------------------------------------------------------------------- parent


def run_one(law, method, args, workdir):
    python = args.peer_python if method == "pyoperon" else args.vorn_python
    out_path = os.path.join(workdir, f"{law.name}.{method}.json")
    cmd = [python, os.path.abspath(__file__), "--child", law.name, method, repr(args.max_time), out_path]
    env = dict(os.environ, OMP_NUM_THREADS="1")
    timeout = args.timeout if args.timeout is not None else 3 * args.max_time + 30
    start = time.perf_counter()
    proc = subprocess.Popen(
        cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True, cwd=HERE
    )
    try:
        _, err = proc.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        # The child leads its own process group; end that group only.
        os.killpg(proc.pid, signal.SIGKILL)
        _, err = proc.communicate()
        timed_out = True
    wall = time.perf_counter() - start
    base = {"law": law.name, "method": method, "n_vars": law.n_vars, "wall_time": wall}
    if timed_out:
        return dict(base, status="failed", error=f"timeout after {timeout:.0f} s")
    if proc.returncode != 0 or not os.path.exists(out_path):
        tail = err.decode(errors="replace").strip().splitlines()[-3:]
        return dict(base, status="failed", error=f"exit {proc.returncode}: " + " | ".join(tail))
    with open(out_path) as fh:
        record = json.load(fh)
    record["wall_time"] = wall
    return record


def is_exact(r):
    return r.get("status") == "ok" and r.get("test_nmse", math.inf) < EXACT_NMSE


def is_accurate(r):
    return r.get("status") == "ok" and r.get("test_r2", -math.inf) > ACCURATE_R2


def _fmt(x, pattern):
    return "-" if x is None else format(x, pattern)


def print_table(laws, methods, results, width):
    print("\n%-28s %4s %-12s %-11s %8s %11s %11s  %s" % ("law", "vars", "method", "status", "fit[s]", "test NMSE", "test R2", "formula"))
    for law in laws:
        for m in methods:
            r = results[(law.name, m)]
            status = r["status"]
            if status == "ok":
                status = "exact" if is_exact(r) else ("accurate" if is_accurate(r) else "ok")
            text = r.get("formula") if r["status"] == "ok" else r.get("error", "")
            text = (text or "").replace("\n", " ")
            if len(text) > width:
                text = text[: width - 3] + "..."
            print(
                "%-28s %4d %-12s %-11s %8s %11s %11s  %s"
                % (law.name, law.n_vars, m, status, _fmt(r.get("fit_time"), ".2f"),
                   _fmt(r.get("test_nmse"), ".3e"), _fmt(r.get("test_r2"), ".6f"), text)
            )


def print_summary(laws, methods, results):
    print("\nSUMMARY (exact: test NMSE < %g; accurate: test R2 > %g)" % (EXACT_NMSE, ACCURATE_R2))
    print("%-12s %5s %7s %12s %6s %9s %14s" % ("method", "laws", "failed", "unsupported", "exact", "accurate", "median fit[s]"))
    for m in methods:
        rs = [results[(law.name, m)] for law in laws]
        times = [r["fit_time"] for r in rs if r.get("fit_time") is not None]
        print(
            "%-12s %5d %7d %12d %6d %9d %14s"
            % (m, len(rs), sum(r["status"] == "failed" for r in rs), sum(r["status"] == "unsupported" for r in rs),
               sum(map(is_exact, rs)), sum(map(is_accurate, rs)),
               _fmt(statistics.median(times) if times else None, ".2f"))
        )

    counts = sorted({law.n_vars for law in laws})
    print("\nexact by number of variables:  " + "  ".join("%d:%d" % (k, sum(1 for l in laws if l.n_vars == k)) for k in counts) + "  (laws)")
    for m in methods:
        parts = ["%d:%d" % (k, sum(is_exact(results[(l.name, m)]) for l in laws if l.n_vars == k)) for k in counts]
        print("  %-12s" % m + "  ".join(parts))

    flagged = [law for law in laws if law.needs_constant]
    if flagged:
        print("\nlaws with a dimensional constant inside the formula (%d): exact " % len(flagged)
              + ", ".join("%s %d" % (m, sum(is_exact(results[(l.name, m)]) for l in flagged)) for m in methods))

    ran = [m for m in methods if any(results[(law.name, m)]["status"] != "unsupported" for law in laws)]
    for a, b in itertools.combinations(ran, 2):
        both = [law for law in laws if is_exact(results[(law.name, a)]) and is_exact(results[(law.name, b)])]
        only_a = sum(1 for law in laws if is_exact(results[(law.name, a)]) and not is_exact(results[(law.name, b)]))
        only_b = sum(1 for law in laws if is_exact(results[(law.name, b)]) and not is_exact(results[(law.name, a)]))
        print(f"\nexact by both {a} and {b}: {len(both)} laws (exact by {a} only: {only_a}, by {b} only: {only_b})")
        if not both:
            continue
        print("  %-28s %12s %12s" % ("law", a + "[s]", b + "[s]"))
        ta, tb = [], []
        for law in both:
            x, y = results[(law.name, a)]["fit_time"], results[(law.name, b)]["fit_time"]
            ta.append(x)
            tb.append(y)
            print("  %-28s %12.2f %12.2f" % (law.name, x, y))
        faster = sum(x < y for x, y in zip(ta, tb))
        print("  %-28s %12.2f %12.2f   (%s faster on %d of %d)" % ("median", statistics.median(ta), statistics.median(tb), a, faster, len(both)))


def check_laws(laws):
    """Every law finite on its ranges and its units consistent (pint)."""
    import pint

    ureg = pint.UnitRegistry()
    rng = np.random.default_rng(0)
    problems = 0
    for law in laws:
        lo = np.array([v.lo for v in law.variables])
        hi = np.array([v.hi for v in law.variables])
        X = rng.uniform(lo, hi, size=(20000, law.n_vars))
        X = np.vstack([X, lo, hi, law.sample()[0], law.sample()[2]])
        with np.errstate(all="ignore"):
            y = law.evaluate(X)
        issues = []
        if not np.all(np.isfinite(y)):
            issues.append("not finite on its ranges")
        elif np.std(y) < 1e-6 * max(np.mean(np.abs(y)), 1e-300):
            issues.append("nearly constant")
        cols = [ureg.Quantity(X[:50, i], v.unit) for i, v in enumerate(law.variables)]
        consts = {k: ureg.Quantity(val, unit) for k, (val, unit) in law.constants.items()}
        try:
            q = law.f(**{v.name: c for v, c in zip(law.variables, cols)}, **consts)
            q = q if isinstance(q, ureg.Quantity) else ureg.Quantity(q, "")
            converted = q.to(ureg.parse_units(law.target_unit)).magnitude
            if not np.allclose(converted, y[:50], rtol=1e-9, atol=0):
                issues.append("values change when computed with units (prefix or scale in a unit?)")
        except Exception as e:
            issues.append(f"units: {type(e).__name__}: {e}")
        if law.constants:
            # Without its constant the target's units cannot be formed: the
            # same computation with the constant as a bare number must fail.
            try:
                q = law.f(**{v.name: c for v, c in zip(law.variables, cols)})
                q = q if isinstance(q, ureg.Quantity) else ureg.Quantity(q, "")
                q.to(ureg.parse_units(law.target_unit))
                issues.append("flagged as needing a dimensional constant, but the units close without it")
            except pint.DimensionalityError:
                pass
        if issues:
            problems += 1
            print(f"{law.name}: " + "; ".join(issues))
    print(f"checked {len(laws)} laws, {problems} with problems")
    return problems


def list_laws(laws):
    print("%-28s %4s %-6s %-22s %s" % ("law", "vars", "const", "source", "target = formula  [variables: range, unit]"))
    for law in laws:
        flag = ",".join(law.constants) if law.constants else ""
        print("%-28s %4d %-6s %-22s [%s] = %s" % (law.name, law.n_vars, flag, law.source[:22], law.target_unit, law.formula))
        print("%-28s      %s" % ("", "; ".join(f"{v.name} in [{v.lo:g}, {v.hi:g}] {v.unit}" for v in law.variables)))


def main(argv):
    if argv and argv[0] == "--child":
        law_name, method, max_time, out_path = argv[1:5]
        run_child(law_name, method, float(max_time), out_path)
        return 0

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--methods", default="vorn,pyoperon")
    parser.add_argument("--filter", default="")
    parser.add_argument("--max-time", type=float, default=10.0)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--vorn-python", default=sys.executable)
    parser.add_argument("--peer-python", default=sys.executable)
    parser.add_argument("--json", default=None)
    parser.add_argument("--timeout", type=float, default=None)
    parser.add_argument("--formula-width", type=int, default=90)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args(argv)

    laws = [law for law in law_table.LAWS if args.filter in law.name]
    if args.list:
        list_laws(laws)
        return 0
    if args.check:
        return 1 if check_laws(laws) else 0

    methods = [m.strip() for m in args.methods.split(",") if m.strip()]
    unknown = [m for m in methods if m not in METHODS]
    if unknown:
        parser.error(f"unknown methods {unknown}; choose from {', '.join(METHODS)}")
    if not laws:
        parser.error(f"no law name contains {args.filter!r}")

    tasks = [(law, m) for law in laws for m in methods]
    results = {}
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="vorn-laws-") as workdir:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            futures = {pool.submit(run_one, law, m, args, workdir): (law, m) for law, m in tasks}
            for done, fut in enumerate(concurrent.futures.as_completed(futures), 1):
                law, m = futures[fut]
                r = fut.result()
                results[(law.name, m)] = r
                print(
                    "[%d/%d] %-28s %-12s %-11s fit %6s s  NMSE %s"
                    % (done, len(tasks), law.name, m, r["status"], _fmt(r.get("fit_time"), ".2f"), _fmt(r.get("test_nmse"), ".2e")),
                    file=sys.stderr, flush=True,
                )
    total = time.perf_counter() - started

    print_table(laws, methods, results, args.formula_width)
    print_summary(laws, methods, results)
    print(f"\n{len(tasks)} runs in {total:.0f} s wall, --max-time {args.max_time:g}, --jobs {args.jobs}")

    if args.json:
        with open(args.json, "w") as fh:
            json.dump(
                {
                    "max_time": args.max_time,
                    "jobs": args.jobs,
                    "methods": methods,
                    "total_wall_time": total,
                    "laws": {law.name: {"n_vars": law.n_vars, "formula": law.formula, "variables": law.names,
                                        "units": law.units, "target_unit": law.target_unit,
                                        "constants": law.constants, "seed": law.seed} for law in laws},
                    "results": [results[(law.name, m)] for law, m in tasks],
                },
                fh,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
