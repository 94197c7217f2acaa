"""Scoring a search's levels on a Dask cluster.

A search spends nearly all of its time scoring candidates, and each
candidate's score depends only on the data, the settings and the levels
retained before it. So the driver (the process that called ``fit``) keeps
generation, deduplication, retention, the front and the final selection, and
sends each level's candidates to the cluster in chunks:

- the data and settings go to every worker once per search (``scatter`` with
  ``broadcast=True``, so a replacement worker can copy them from a peer);
- each retained level goes once, when it is complete;
- a chunk of candidates is a small task; its answer is one outcome per
  candidate.

The bytes carry a format version, and the workers' vorn_sr version is checked
before any work, so a worker never scores with different arithmetic. Scores
computed anywhere are bit for bit those computed in the driver's process, so
the search's result does not depend on where, in how many chunks or in which
order the chunks ran, nor on a worker dying and its chunks being rerun.
"""

from __future__ import annotations

import importlib.metadata
import threading
import time
import uuid

try:
    import distributed
except ImportError as exc:  # pragma: no cover - exercised without the extra
    raise ImportError("vorn_sr's Dask support needs dask.distributed: pip install 'vorn_sr[dask]'") from exc

import vorn_sr._core as _core

# How long the scheduler may stay unreachable before the search gives up.
_SCHEDULER_GRACE_SECONDS = 10.0
# Chunks per worker thread: enough that a slow or lost worker's share is
# small, few enough that the per-task overhead stays negligible.
_CHUNKS_PER_THREAD = 16
# Below this many candidates per chunk a task costs more than it scores.
_MIN_CHUNK = 500
# How often a level is sent again after its scattered inputs were lost.
_RESENDS = 3


def vorn_version():
    """The installed vorn_sr's version in this process."""
    return importlib.metadata.version("vorn_sr")


def _worker_version():
    """The same, run on a worker."""
    return importlib.metadata.version("vorn_sr")


# -- the worker side ----------------------------------------------------------

# search id -> [lock, workspace]; a worker process keeps the few most recent
# searches so that each chunk does not rebuild the data and the levels.
_WORKSPACES: dict = {}
_WORKSPACES_LOCK = threading.Lock()
_WORKSPACES_KEPT = 4


def _score_chunk(search_id, data, levels, chunk):
    """Scores one chunk on a worker: (outcome bytes, seconds spent)."""
    start = time.perf_counter()
    with _WORKSPACES_LOCK:
        entry = _WORKSPACES.get(search_id)
        if entry is None:
            entry = _WORKSPACES[search_id] = [threading.Lock(), _core._ScoringWorkspace(data)]
            while len(_WORKSPACES) > _WORKSPACES_KEPT:
                del _WORKSPACES[next(iter(_WORKSPACES))]
    lock, workspace = entry
    # A chunk of a cancelled level may still run while the next level
    # arrives; the lock keeps a workspace from changing under a score.
    with lock:
        if workspace.levels_held > len(levels):  # a rerun of an older level
            workspace = _core._ScoringWorkspace(data)
        for level in levels[workspace.levels_held:]:
            workspace.add_level(level)
        outcomes = workspace.score(chunk)
    return outcomes, time.perf_counter() - start


# -- the driver side ----------------------------------------------------------


def check_client(client):
    """Refuses what is not a usable ``distributed.Client`` before any work."""
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client or None, got {type(client).__name__}")
    if client.status != "running":
        raise ValueError(f"the Dask client is not connected (its status is {client.status!r})")
    ours = vorn_version()
    theirs = client.run(_worker_version)
    foreign = {worker: version for worker, version in theirs.items() if version != ours}
    if foreign:
        worker, version = sorted(foreign.items())[0]
        raise ValueError(
            f"Dask worker {worker} runs vorn_sr {version}, but this process runs vorn_sr {ours}; "
            "install the same vorn_sr on every worker"
        )


class DaskScorer:
    """The transport handed to the engine: moves bytes to the cluster and back.

    ``stats`` collects, per level, the bytes shipped and the seconds each
    chunk took on its worker.
    """

    def __init__(self, client):
        self.client = client
        self.address = client.scheduler.address
        self.search_id = uuid.uuid4().hex
        self.stats = []
        self._data_blob = None
        self._level_blobs = []
        self._chunks = []
        self._data = None
        self._levels = []
        self._futures = []
        self._resends = 0
        self._unreachable_since = None

    def chunk_count(self, candidates):
        threads = sum(self.client.nthreads().values()) or 1
        return max(1, min(threads * _CHUNKS_PER_THREAD, candidates // _MIN_CHUNK))

    def submit(self, level, data, new_levels, chunks):
        if data is not None:
            # Data arrive again when the levels start over (a new round): a
            # new id keeps workers from reusing a workspace of the old round.
            if self._data_blob is not None:
                self.search_id = uuid.uuid4().hex
            self._data_blob, self._level_blobs, self._data = data, [], None
        self._level_blobs.extend(new_levels)
        self._chunks = chunks
        self._resends = 0
        self._unreachable_since = None
        self.stats.append(
            {
                "level": level,
                "chunks": len(chunks),
                "bytes_to_workers": 0,
                "bytes_from_workers": 0,
                "chunk_seconds": [],
            }
        )
        self._send()

    def _send(self):
        """Scatters what the workers do not hold yet and submits the chunks."""
        try:
            self._scatter_and_submit()
        except OSError as exc:  # distributed's closed connections are OSErrors
            raise self._lost() from exc

    def _scatter_and_submit(self):
        shipped = 0
        if self._data is None:
            self._data = self.client.scatter(self._data_blob, broadcast=True, hash=False)
            self._levels = []
            shipped += len(self._data_blob)
        for blob in self._level_blobs[len(self._levels) :]:
            self._levels.append(self.client.scatter(blob, broadcast=True, hash=False))
            shipped += len(blob)
        levels = list(self._levels)
        self._futures = [
            self.client.submit(_score_chunk, self.search_id, self._data, levels, chunk, pure=False)
            for chunk in self._chunks
        ]
        self.stats[-1]["bytes_to_workers"] += shipped + sum(len(chunk) for chunk in self._chunks)

    def wait(self, timeout):
        try:
            distributed.wait(self._futures, timeout=timeout)
            answers = self.client.gather(self._futures)
        except distributed.TimeoutError:
            self._check_scheduler()
            return None
        except Exception as exc:
            if self.client.status != "running" or isinstance(exc, OSError):
                raise self._lost() from exc
            # Scattered data can be lost with the workers that held it; Dask
            # then cannot rerun the chunks that need it. Sending everything
            # again gives the same scores, since scoring is deterministic.
            if self._resends >= _RESENDS or not isinstance(exc, distributed.client.FuturesCancelledError):
                raise
            self._resends += 1
            self._data = None
            self._send()
            return None
        self._futures = []
        blobs = [blob for blob, _ in answers]
        record = self.stats[-1]
        record["bytes_from_workers"] = sum(len(blob) for blob in blobs)
        record["chunk_seconds"] = [seconds for _, seconds in answers]
        return blobs

    def cancel(self):
        futures, self._futures = self._futures, []
        if futures and self.client.status == "running":
            self.client.cancel(futures)

    def _lost(self):
        return ConnectionError(f"the Dask client lost its scheduler at {self.address}; the search was stopped")

    def _check_scheduler(self):
        if self.client.status == "running":
            self._unreachable_since = None
            return
        now = time.monotonic()
        if self._unreachable_since is None:
            self._unreachable_since = now
        if now - self._unreachable_since > _SCHEDULER_GRACE_SECONDS or self.client.status in ("closed", "closing"):
            raise self._lost()
