"""Checkpoint files and warm starts: a search continued from any finished
level is bit for bit the search that never stopped."""

import errno
import hashlib
import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pytest.importorskip("sklearn")

import vorn_sr
from vorn_sr import _checkpoint
from vorn_sr.sklearn import VornRegressor

RNG = np.random.default_rng(3)
X = RNG.uniform(1.0, 3.0, size=(60, 2))
# A little noise, so that no level fits exactly and every level runs.
Y = X[:, 0] * np.sin(X[:, 1]) + 0.01 * RNG.standard_normal(60)
SETTINGS = dict(max_complexity=5, beam_width=100)
LEVEL_LINE = "-> Level "


def outcome(est):
    """Everything a fit leaves, at full precision."""
    front = [(r.formula, r.error.hex(), r._postfix()) for r in est.pareto_front_]
    return front, est.result_.formula, est.levels_finished_, est.budget_exhausted_


_WHOLE = {}


def whole(strategy):
    if strategy not in _WHOLE:
        _WHOLE[strategy] = outcome(VornRegressor(strategy=strategy, **SETTINGS).fit(X, Y))
    return _WHOLE[strategy]


def interrupted_after(monkeypatch, writes_before_stop):
    """Makes the checkpoint writer raise KeyboardInterrupt right after its
    n-th write, as Ctrl-C between two levels would."""
    real_write, writes = _checkpoint.write_atomic, []

    def write(path, blob):
        real_write(path, blob)
        writes.append(path)
        if len(writes) == writes_before_stop:
            raise KeyboardInterrupt

    monkeypatch.setattr(_checkpoint, "write_atomic", write)
    return lambda: monkeypatch.setattr(_checkpoint, "write_atomic", real_write)


@pytest.mark.parametrize("strategy, stop_after", [("levels", 2), ("deepening", 3), ("deepening", 9)])
def test_an_interrupted_fit_resumes_from_its_checkpoint_or_warm_start(tmp_path, monkeypatch, capsys, strategy,
                                                                      stop_after):
    path = tmp_path / "search.ckpt"
    est = VornRegressor(strategy=strategy, checkpoint=path, **SETTINGS)
    restore = interrupted_after(monkeypatch, stop_after)
    with pytest.raises(KeyboardInterrupt):
        est.fit(X, Y)
    restore()
    capsys.readouterr()
    resumed = VornRegressor(strategy=strategy, checkpoint=path, verbose=1, **SETTINGS).fit(X, Y)
    assert outcome(resumed) == whole(strategy)
    # Only the levels after the saved one ran again.
    lines = capsys.readouterr().out.count(LEVEL_LINE)
    full = VornRegressor(strategy=strategy, verbose=1, **SETTINGS).fit(X, Y)
    assert lines == capsys.readouterr().out.count(LEVEL_LINE) - stop_after
    del full
    # The estimator that was interrupted continues in memory too.
    assert outcome(est.set_params(checkpoint=None, warm_start=True).fit(X, Y)) == whole(strategy)


def test_warm_start_continues_to_a_larger_max_complexity_or_after_the_budget(capsys):
    est = VornRegressor(strategy="levels", **{**SETTINGS, "max_complexity": 3}).fit(X, Y)
    est.set_params(max_complexity=5, warm_start=True, verbose=1).fit(X, Y)
    assert outcome(est) == whole("levels")
    assert capsys.readouterr().out.count(LEVEL_LINE) == 2  # levels 4 and 5 only

    budgeted = VornRegressor(strategy="deepening", max_time=0.2, warm_start=True, **SETTINGS)
    try:
        budgeted.fit(X, Y)
    except vorn_sr.VornComplexityError:  # not even level 2 finished in time
        pass
    assert outcome(budgeted.set_params(max_time=None).fit(X, Y)) == whole("deepening")

    # Other data, or warm_start off, search afresh.
    other = Y + 1.0
    fresh = outcome(VornRegressor(strategy="deepening", **SETTINGS).fit(X, other))
    assert outcome(budgeted.fit(X, other)) == fresh
    assert outcome(budgeted.set_params(warm_start=False).fit(X, Y)) == whole("deepening")


def _rewritten(blob, header=None, state=None):
    """The checkpoint with its header or state replaced and a valid checksum."""
    head, saved_state = _checkpoint.decode(blob, "x")
    return _checkpoint.encode(header or head, saved_state if state is None else state)


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(y=Y * 2), "other data"),
        (dict(beam_width=90), r"beam_width \(100 there, 90 here\)"),
        (dict(strategy="deepening"), "strategy='levels'"),
        (dict(operators=["+", "*"]), "operators"),
        (dict(max_complexity=3), "max_complexity=5"),
        (dict(blob=lambda b: b[:8] + struct.pack("<I", 99) + b[12:]), "format version 99.*upgrade vorn_sr"),
        (dict(header={"vorn_sr": "0.0.1"}), "written by vorn_sr 0.0.1"),
        (dict(blob=lambda b: b[:-1]), "corrupted"),
        (dict(blob=lambda b: b"not a checkpoint"), "not a vorn_sr checkpoint"),
    ],
    ids=["data", "settings", "strategy", "operators", "max_complexity", "newer-format", "version", "truncated",
         "foreign"],
)
def test_a_checkpoint_of_another_search_is_refused(tmp_path, change, message):
    path = tmp_path / "search.ckpt"
    VornRegressor(strategy="levels", checkpoint=path, **SETTINGS).fit(X, Y)
    blob = path.read_bytes()
    if "blob" in change:
        path.write_bytes(change["blob"](blob))
    if "header" in change:
        head, _ = _checkpoint.decode(blob, "x")
        path.write_bytes(_rewritten(blob, header={**head, **change["header"]}))
    params = {"strategy": "levels", **SETTINGS}
    params.update({k: v for k, v in change.items() if k not in ("y", "blob", "header")})
    with pytest.raises(ValueError, match=message):
        VornRegressor(checkpoint=path, **params).fit(X, change.get("y", Y))


def test_corrupted_and_crafted_checkpoints_never_crash(tmp_path):
    path = tmp_path / "search.ckpt"
    VornRegressor(strategy="levels", checkpoint=path, max_complexity=4, beam_width=40).fit(X, Y)
    blob = path.read_bytes()
    _, state = _checkpoint.decode(blob, "x")
    rng = np.random.default_rng(11)
    for trial in range(120):
        damaged = bytearray(blob)
        damaged[rng.integers(len(damaged))] ^= 1 << int(rng.integers(8))
        path.write_bytes(bytes(damaged))
        with pytest.raises(ValueError, match="corrupted|not a vorn_sr checkpoint|format"):
            VornRegressor(strategy="levels", checkpoint=path, max_complexity=4, beam_width=40).fit(X, Y)
        # Behind a valid checksum the engine checks the state itself: a
        # crafted state is refused or continues a search, never crashes.
        crafted = bytearray(state)
        crafted[rng.integers(len(crafted))] ^= 1 << int(rng.integers(8))
        path.write_bytes(_rewritten(blob, state=bytes(crafted)))
        try:
            VornRegressor(strategy="levels", checkpoint=path, max_complexity=4, beam_width=40).fit(X, Y)
        except ValueError as error:
            assert "checkpoint" in str(error)


def test_a_checkpoint_that_cannot_be_written_is_an_oserror_and_the_last_one_stays(tmp_path, monkeypatch):
    missing = tmp_path / "missing" / "search.ckpt"
    with pytest.raises(FileNotFoundError, match="missing"):
        VornRegressor(checkpoint=missing, **SETTINGS).fit(X, Y)

    path = tmp_path / "search.ckpt"
    real_fsync, calls = os.fsync, []

    def disk_full_on_the_third_file(fd):
        calls.append(fd)
        if len(calls) == 5:  # each write syncs the file, then the directory
            raise OSError(errno.ENOSPC, "No space left on device")
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", disk_full_on_the_third_file)
    with pytest.raises(OSError, match="No space left") as raised:
        VornRegressor(strategy="levels", checkpoint=path, **SETTINGS).fit(X, Y)
    assert raised.value.filename == os.fspath(path)
    monkeypatch.setattr(os, "fsync", real_fsync)
    assert os.listdir(tmp_path) == ["search.ckpt"]  # no temporary file left behind
    head, _ = _checkpoint.decode(path.read_bytes(), "x")
    assert head["strategy"] == "levels"
    assert outcome(VornRegressor(strategy="levels", checkpoint=path, **SETTINGS).fit(X, Y)) == whole("levels")


_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    from vorn_sr.sklearn import VornRegressor

    rng = np.random.default_rng(3)
    X = rng.uniform(1.0, 3.0, size=(60, 2))
    Y = X[:, 0] * np.sin(X[:, 1]) + 0.01 * rng.standard_normal(60)
    est = VornRegressor(strategy="levels", max_complexity=6, beam_width=300, checkpoint=sys.argv[1], verbose=1)
    est.fit(X, Y)
    print("RESULT", [(r.formula, r.error.hex()) for r in est.pareto_front_])
    """
)


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT], ids=["SIGKILL", "SIGINT"])
def test_a_process_killed_mid_search_resumes_with_the_uninterrupted_result(tmp_path, sig):
    path = tmp_path / "search.ckpt"
    command = [sys.executable, "-c", _SCRIPT, str(path)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not path.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
    assert process.poll() is None, "the search ended before it could be killed"
    process.send_signal(sig)
    process.communicate(timeout=60)
    assert process.returncode != 0

    finished = subprocess.run(command, capture_output=True, text=True, timeout=120, check=True).stdout
    assert finished.count(LEVEL_LINE) < 5  # it continued rather than started over
    uninterrupted = subprocess.run(
        [sys.executable, "-c", _SCRIPT, str(tmp_path / "other.ckpt")], capture_output=True, text=True,
        timeout=120, check=True,
    ).stdout
    assert finished.splitlines()[-1] == uninterrupted.splitlines()[-1]
    assert uninterrupted.count(LEVEL_LINE) == 5
