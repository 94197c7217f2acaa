"""The cost of scoring on a Dask cluster, against scoring in-process.

Runs one benchmark problem (default: the noisy one-variable problem on 1 000
rows) twice on this machine: in-process, and with each level's scoring on a
LocalCluster of worker processes on the loopback interface, each worker
limited to its share of the cores, so both runs use the same cores. Checks
that the two fronts are bit for bit the same, and prints per level the
driver's time (generation, deduplication, retention, front) and the scoring
time, the bytes shipped and the time per chunk.

Usage: python bench/cluster_overhead.py [--problem poly3_noisy] [--max-complexity 8] [--workers 2]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_bench import problem_set, sample  # noqa: E402

import vorn_sr  # noqa: E402
from vorn_sr import _core, _dask  # noqa: E402


class TimedScorer(_dask.DaskScorer):
    """Also records when each level's scoring started and ended."""

    def submit(self, level, data, new_levels, chunks):
        self.started = time.perf_counter()
        super().submit(level, data, new_levels, chunks)

    def wait(self, timeout):
        answer = super().wait(timeout)
        if answer is not None:
            self.stats[-1]["scoring_seconds"] = time.perf_counter() - self.started
        return answer


def run(searcher, x, y, scorer=None):
    levels = {}

    def on_line(kind, text):
        if kind == "level":  # "... Level k processed in D. ..."
            k = int(text.split("Level ")[1].split()[0])
            levels[k] = time.perf_counter()

    start = time.perf_counter()
    front, finished, _ = _core._search(searcher, x, y, on_line=on_line, scorer=scorer)
    seconds = time.perf_counter() - start
    return front, seconds, levels


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problem", default="poly3_noisy")
    parser.add_argument("--max-complexity", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    problem = next(p for p in problem_set() if p["name"] == args.problem)
    x, y, _ = sample(problem)
    x, y = np.asarray(x), np.asarray(y)
    searcher = vorn_sr.Searcher(max_complexity=args.max_complexity)
    cores = os.cpu_count() or 1

    local_front, local_seconds, _ = run(searcher, x, y)
    print(f"in-process: {local_seconds:.2f} s on {cores} cores", flush=True)

    import distributed

    threads = max(1, cores // args.workers)
    # Each worker process runs one task at a time, and its scoring uses its
    # share of the cores through OpenMP.
    os.environ["OMP_NUM_THREADS"] = str(threads)
    with distributed.LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        del os.environ["OMP_NUM_THREADS"]
        _dask.check_client(client)
        scorer = TimedScorer(client)
        front, seconds, level_ends = run(searcher, x, y, scorer)

    same = [(r.formula, r.error.hex(), r._postfix()) for r in front] == [
        (r.formula, r.error.hex(), r._postfix()) for r in local_front
    ]
    print(f"distributed: {seconds:.2f} s on {args.workers} worker processes x {threads} threads")
    print(f"overhead: {seconds / local_seconds:.3f} x in-process; same front bit for bit: {same}")
    print(f"\n{'level':>5} {'chunks':>6} {'to workers':>12} {'from workers':>12} {'scoring s':>10} "
          f"{'chunk s (min/median/max)':>26}")
    total_scoring = 0.0
    for record in scorer.stats:
        chunk = sorted(record["chunk_seconds"])
        total_scoring += record.get("scoring_seconds", 0.0)
        print(
            f"{record['level']:>5} {record['chunks']:>6} {record['bytes_to_workers']:>12,} "
            f"{record['bytes_from_workers']:>12,} {record.get('scoring_seconds', 0.0):>10.3f} "
            f"{chunk[0]:>8.3f} {chunk[len(chunk) // 2]:>8.3f} {chunk[-1]:>8.3f}"
        )
    print(f"\nscoring {total_scoring:.2f} s of {seconds:.2f} s; the driver's share "
          f"(generation, deduplication, retention, front, final selection, transport): "
          f"{(seconds - total_scoring) / seconds:.1%}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
