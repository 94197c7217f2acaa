"""Cost of handing 1 000 000 rows x 3 variables to the module.

Two public calls are timed, each on a C-ordered float64 array, a
Fortran-ordered one and a list of lists:

  convert  find_multivariate(rows, [0.0]): the rows are converted in full, then
           refused because there is one target; no search runs, so this is
           the conversion alone.
  predict  predict(rows) of the result v_{0}: conversion, one evaluation per
           row and the list of 1 000 000 floats it returns.

Every measurement runs in a fresh interpreter, so that allocations of one do
not serve the next. The peak is the rise of the resident set's high-water mark
(VmHWM, reset through /proc/self/clear_refs just before the call) over the
resident set before it: Linux only. The rows themselves hold 22.9 MiB.

Usage: python bench/input_conversion.py [--rows N] [--repeat K]
"""

import argparse
import json
import subprocess
import sys
import time

LAYOUTS = ("c-array", "f-array", "list")
CALLS = ("convert", "predict")
DIMENSION_MESSAGE = "Inputs and target vector must be non-empty and equal length."


def status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def measure(layout, call, rows):
    import gc

    import numpy as np

    import vorn_sr

    data = np.random.default_rng(0).standard_normal((rows, 3))
    if layout == "f-array":
        data = np.asfortranarray(data)
    elif layout == "list":
        data = data.tolist()
    probe_rows = [[0.5, -1.25, 3.0], [2.0, 4.5, -0.75], [-3.5, 1.0, 6.25]]
    searcher = vorn_sr.Searcher(max_complexity=1)
    result = searcher.find_multivariate(probe_rows, [row[0] for row in probe_rows])
    assert result.formula == "v_{0}", result

    def run(inputs):
        if call == "predict":
            return result.predict(inputs)
        try:
            searcher.find_multivariate(inputs, [0.0])
        except vorn_sr.VornDimensionError as error:
            assert error.args == (DIMENSION_MESSAGE,), error
            return None
        raise AssertionError("the row count was not refused")

    run(probe_rows)  # NumPy's C API table and the code paths, loaded once
    gc.collect()
    gc.disable()
    reset_peak()
    before = status_kb("VmRSS")
    start = time.perf_counter()
    out = run(data)
    seconds = time.perf_counter() - start
    peak = status_kb("VmHWM")
    if call == "predict":
        assert len(out) == rows and out[1] == data[1][0]
    return {"seconds": seconds, "peak_kb": peak - before}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child", nargs=2, metavar=("LAYOUT", "CALL"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        # The engine may print; the measurement is the last line.
        print("\n" + json.dumps(measure(*args.child, args.rows)), flush=True)
        return

    import vorn_sr

    print(f"vorn_sr from {vorn_sr.__file__}")
    print(f"{args.rows} rows x 3, {args.rows * 24 / 2**20:.1f} MiB of doubles; best time and highest peak of "
          f"{args.repeat} fresh interpreters")
    print(f"{'input':<8} {'call':<8} {'time ms':>9} {'peak MiB':>9}")
    for call in CALLS:
        for layout in LAYOUTS:
            runs = []
            for _ in range(args.repeat):
                done = subprocess.run(
                    [sys.executable, __file__, "--rows", str(args.rows), "--child", layout, call],
                    capture_output=True, text=True,
                )
                if done.returncode != 0:
                    sys.exit(f"{layout} {call} failed:\n{done.stderr}")
                runs.append(json.loads(done.stdout.strip().splitlines()[-1]))
            best = min(r["seconds"] for r in runs)
            peak = max(r["peak_kb"] for r in runs)
            print(f"{layout:<8} {call:<8} {best * 1e3:>9.1f} {peak / 1024:>9.1f}")


if __name__ == "__main__":
    main()
