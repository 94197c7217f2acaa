"""Pickling of results and the run-controlled search behind the estimator."""

import copy
import math
import pickle
import random
import struct

import numpy as np
import pytest

import vorn_sr
from vorn_sr import _core

from conftest import same_floats

X = np.linspace(-1.0, 1.0, 40)
Y = 2.5 * X + 1.0 + 0.01 * np.sin(37.0 * X)
POINTS = [[-0.7], [0.0], [0.3], [5.0]]


@pytest.fixture(scope="module")
def front():
    results, finished, exhausted = _core._search(vorn_sr.Searcher(max_complexity=5), X[:, None], Y)
    assert (finished, exhausted) == (5, False)
    return results


def test_front_leads_with_what_find_multivariate_returns(front, capfd):
    capfd.readouterr()
    best = vorn_sr.Searcher(max_complexity=5).find_multivariate(X[:, None], Y)
    capfd.readouterr()
    assert front[0].formula == best.formula and front[0].error == best.error
    assert [r.error for r in front] == sorted(r.error for r in front)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copies_evaluate_bit_identically(front, protocol):
    for original in front:
        for restored in (pickle.loads(pickle.dumps(original, protocol)), copy.copy(original), copy.deepcopy(original)):
            assert type(restored) is vorn_sr.SearchResult
            assert repr(restored) == repr(original) and restored.to_python() == original.to_python()
            assert same_floats(restored.predict(POINTS), original.predict(POINTS))
            assert restored._postfix() == original._postfix()


def _payload(result):
    return result.__reduce__()[1][0]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "not a saved vorn_sr SearchResult"),
        (b"VORN\x02\x00" + bytes(13), "format 2, and this vorn_sr reads format 1 only; a newer vorn_sr wrote it"),
        (b"VORN\x01\x00\x00" + struct.pack("<d", math.nan) + bytes(4), "error is not a finite"),
    ],
)
def test_restore_refuses_foreign_data_clearly(data, message):
    with pytest.raises(ValueError, match="cannot restore SearchResult: .*" + message.replace(".", r"\.")):
        _core._restore_result(data)


def test_restore_wants_bytes():
    with pytest.raises(TypeError, match="must be bytes"):
        _core._restore_result("VORN")


def test_flipped_bytes_in_real_pickles_are_refused_or_harmless(front):
    rng = random.Random(11)
    pickles = [pickle.dumps(r, p) for r in front[:4] for p in (2, 5)]
    refused = 0
    for blob in pickles:
        for _ in range(150):
            data = bytearray(blob)
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            try:
                restored = pickle.loads(bytes(data))
            except Exception:
                refused += 1
                continue
            if isinstance(restored, vorn_sr.SearchResult):
                restored.predict(POINTS)  # anything accepted must evaluate
    assert refused > 0


@pytest.mark.parametrize("max_time", [0, -1.0, math.nan])
def test_max_time_must_be_positive(max_time):
    with pytest.raises(ValueError, match="max_time must be a positive number of seconds"):
        _core._search(vorn_sr.Searcher(max_complexity=2), X[:, None], Y, max_time=max_time)


def test_bad_arguments_are_type_errors():
    with pytest.raises(TypeError):
        _core._search(object(), X[:, None], Y)
    with pytest.raises(TypeError, match="on_line"):
        _core._search(vorn_sr.Searcher(max_complexity=2), X[:, None], Y, on_line=3)


def test_silent_unless_given_a_line_handler(capfd):
    capfd.readouterr()
    _core._search(vorn_sr.Searcher(max_complexity=3), X[:, None], Y)
    assert capfd.readouterr() == ("", "")
    lines = []
    _core._search(vorn_sr.Searcher(max_complexity=3), X[:, None], Y, on_line=lambda k, t: lines.append((k, t)))
    assert capfd.readouterr() == ("", "")
    kinds = [k for k, _ in lines if k != "progress"]
    assert kinds == ["start", "end", "level", "end", "level"]
    assert lines[0][1].startswith("[VORN-SR] Started search space exploration.")


def test_a_raising_line_handler_stops_the_search():
    seen = []

    def handler(kind, text):
        seen.append(kind)
        if kind == "level":
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        _core._search(vorn_sr.Searcher(max_complexity=6), X[:, None], Y, on_line=handler)
    assert seen.count("level") == 1
    # The searcher and the module stay usable.
    assert _core._search(vorn_sr.Searcher(max_complexity=2), X[:, None], Y)[1] == 2
