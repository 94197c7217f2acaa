"""Scoring on a Dask cluster: a real two-process LocalCluster on the loopback
interface, started here. The fitted estimator must be bit for bit the one
fitted in-process, whatever happens to the workers."""

import os
import signal
import threading

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("sklearn")

from vorn_sr import _core, _dask  # noqa: E402
from vorn_sr.sklearn import VornRegressor  # noqa: E402

SETTINGS = dict(max_complexity=5, beam_width=300)

# Worker processes of a module built with the sanitizers would each load
# their runtime; the cluster tests run in the two plain suites instead.
needs_cluster = pytest.mark.skipif(
    os.environ.get("VORN_SANITIZED_MODULE") == "1", reason="cluster tests run against the plain module"
)


def _data(rows=150):
    rng = np.random.default_rng(7)
    X = rng.uniform(0.5, 3.0, (rows, 2))
    y = np.log(X[:, 0]) * 1.3 + X[:, 1] + rng.normal(0.0, 0.01, rows)
    return X, y


def _fingerprint(est):
    """Everything a fit leaves, at full precision."""
    front = [(r.formula, r.error.hex(), r._postfix()) for r in est.pareto_front_]
    return front, est.result_.formula, est.levels_finished_, est.budget_exhausted_


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        yield cluster, client


@pytest.fixture(scope="module")
def local_fit():
    X, y = _data()
    return _fingerprint(VornRegressor(**SETTINGS).fit(X, y))


@needs_cluster
@pytest.mark.parametrize("min_chunk", [1, 10**9])  # many small chunks; one chunk per level
def test_same_fit_as_in_process(cluster, local_fit, monkeypatch, min_chunk):
    _, client = cluster
    monkeypatch.setattr(_dask, "_MIN_CHUNK", min_chunk)
    X, y = _data()
    assert _fingerprint(VornRegressor(**SETTINGS, client=client).fit(X, y)) == local_fit


class _Saboteur(_dask.DaskScorer):
    """Does something to the cluster right after a level's chunks are sent."""

    def __init__(self, client, at_level, act):
        super().__init__(client)
        self.at_level, self.act = at_level, act

    def submit(self, level, data, new_levels, chunks):
        super().submit(level, data, new_levels, chunks)
        # Once: later rounds of levels reach the same level again.
        if level == self.at_level:
            self.at_level = None
            self.act()


@needs_cluster
def test_a_worker_killed_mid_search_changes_nothing(cluster, local_fit, monkeypatch):
    _, client = cluster
    monkeypatch.setattr(_dask, "_MIN_CHUNK", 1)
    victim = sorted(client.run(os.getpid).values())[0]
    monkeypatch.setattr(
        _dask, "DaskScorer", lambda c: _Saboteur(c, 4, lambda: os.kill(victim, signal.SIGKILL))
    )
    X, y = _data()
    assert _fingerprint(VornRegressor(**SETTINGS, client=client).fit(X, y)) == local_fit
    client.wait_for_workers(2, timeout=60)


@needs_cluster
def test_bad_clients_are_refused_before_any_work(cluster, monkeypatch):
    _, client = cluster
    X, y = _data(20)
    with pytest.raises(TypeError, match="dask.distributed.Client"):
        VornRegressor(client="tcp://127.0.0.1:8786").fit(X, y)
    monkeypatch.setattr(_dask, "vorn_version", lambda: "0.0.0+other")
    with pytest.raises(ValueError, match=r"runs vorn_sr \S+, but this process runs vorn_sr 0\.0\.0\+other"):
        VornRegressor(client=client).fit(X, y)


@needs_cluster
def test_clone_and_pickle_keep_the_client_out_of_copies(cluster):
    import pickle

    from sklearn.base import clone

    _, client = cluster
    est = VornRegressor(max_complexity=3, client=client)
    assert clone(est).client is client
    assert pickle.loads(pickle.dumps(est)).client is None


@needs_cluster
def test_time_budget_and_cancellation(cluster):
    _, client = cluster
    X, y = _data()
    est = VornRegressor(max_complexity=9, beam_width=1000, max_time=2.0, client=client).fit(X, y)
    assert est.budget_exhausted_
    assert est.levels_finished_ < 9
    # Nothing of the dropped level is left running.
    assert not client.processing() or all(not tasks for tasks in client.processing().values())


@needs_cluster
def test_a_lost_scheduler_is_a_clear_error(monkeypatch):
    monkeypatch.setattr(_dask, "_SCHEDULER_GRACE_SECONDS", 1.0)
    X, y = _data()
    cluster = distributed.LocalCluster(
        n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    )
    client = distributed.Client(cluster)
    closer = threading.Thread(target=cluster.close)
    monkeypatch.setattr(_dask, "DaskScorer", lambda c: _Saboteur(c, 3, closer.start))
    try:
        with pytest.raises(ConnectionError, match="lost its scheduler"):
            VornRegressor(**SETTINGS, client=client).fit(X, y)
    finally:
        closer.join()
        client.close()
    with pytest.raises(ValueError, match="not connected"):
        VornRegressor(client=client).fit(X, y)


def test_workspace_refuses_corrupted_bytes():
    """The receiving side validates what it is sent: flipped bytes give
    ValueError, never a crash (this also runs under the sanitizers)."""
    X, y = _data(30)
    payloads = {}

    class Recorder:
        def chunk_count(self, n):
            return 2

        def submit(self, level, data, new_levels, chunks):
            if data is not None:
                payloads["data"] = data
                self.workspace = _core._ScoringWorkspace(data)
            for blob in new_levels:
                payloads.setdefault("level", blob)
                self.workspace.add_level(blob)
            payloads.setdefault("chunk", chunks[0])
            self.answers = [self.workspace.score(chunk) for chunk in chunks]

        def wait(self, timeout):
            return self.answers

        def cancel(self):
            pass

    searcher = _core.Searcher(max_complexity=3)
    _core._search(searcher, X, y, scorer=Recorder())
    rng = np.random.default_rng(1)
    for name, blob in payloads.items():
        for _ in range(60):
            bad = bytearray(blob)
            bad[rng.integers(len(bad))] ^= 1 << int(rng.integers(8))
            try:
                workspace = _core._ScoringWorkspace(bytes(bad) if name == "data" else payloads["data"])
                if name != "data":
                    workspace.add_level(bytes(bad) if name == "level" else payloads["level"])
                if name == "chunk":
                    workspace.score(bytes(bad))
            except ValueError as error:
                assert "cannot score here" in str(error)


@needs_cluster
def test_the_driver_writes_checkpoints_that_resume_with_a_client(cluster, local_fit, tmp_path, monkeypatch):
    _, client = cluster
    X, y = _data()
    path = tmp_path / "search.ckpt"
    from vorn_sr import _checkpoint

    real_write, writes = _checkpoint.write_atomic, []

    def write_then_interrupt(target, blob):
        real_write(target, blob)
        writes.append(target)
        if len(writes) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(_checkpoint, "write_atomic", write_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        VornRegressor(**SETTINGS, client=client, checkpoint=path).fit(X, y)
    monkeypatch.setattr(_checkpoint, "write_atomic", real_write)
    assert _fingerprint(VornRegressor(**SETTINGS, client=client, checkpoint=path).fit(X, y)) == local_fit
