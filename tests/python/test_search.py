"""Search entry points end to end: engine errors, per-call options, the
Pareto front, and the progress log on file descriptor 1."""

import contextlib
import io
import math
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_sr
from conftest import DIMENSION_MESSAGE
from vorn_sr import Searcher, VornComplexityError, VornDimensionError

XS = np.linspace(-1.0, 2.0, 16)
ROWS = [[x] for x in XS]


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda s: s.find_function([1, 2, 3], [1, 2]), id="find_function shorter ys"),
        pytest.param(lambda s: s.find_function([1, 2, 3], [1, 2, 3, 4]), id="find_function longer ys"),
        pytest.param(lambda s: s.find_function([], []), id="find_function empty"),
        pytest.param(lambda s: s.find_multivariate([[1.0], [2.0]], [1.0]), id="find_multivariate"),
        pytest.param(lambda s: s.fit(np.zeros((0, 2)), []), id="fit empty array"),
        pytest.param(lambda s: s.find_candidates([], []), id="find_candidates empty"),
        pytest.param(lambda s: s.find_candidates([[1.0]], np.array([1.0, 2.0])), id="find_candidates"),
    ],
)
def test_dimension_errors(capfd, call):
    with pytest.raises(VornDimensionError) as info:
        call(Searcher(max_complexity=3))
    assert info.value.args == (DIMENSION_MESSAGE,)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("depth", [1, 3, 10])
def test_no_formula_when_nothing_is_finite(depth):
    searcher = Searcher() if depth == 10 else Searcher(max_complexity=depth)
    with pytest.raises(VornComplexityError) as info:
        searcher.find_function([1.0, 2.0, 3.0], [math.nan] * 3)
    assert info.value.args == (f"No formula found up to complexity {depth}",)


def test_engine_errors_are_ordinary_exceptions():
    with pytest.raises(Exception):
        Searcher().find_function([], [])
    with pytest.raises(Exception):
        Searcher(max_complexity=2).find_function([1.0], [math.inf])


def _key(result):
    return (result.formula, result.error, result.complexity, result.to_python())


NOISY = XS**2 + 0.3 * np.sin(7 * XS)  # nothing in reach fits it exactly
LINEAR = 2.7 * XS + 0.3 * np.sin(7 * XS)  # the best fits carry a constant


def test_alpha_none_is_the_same_as_omitting_it():
    s = Searcher(max_complexity=3, beam_width=30, alpha=0.2)
    base = _key(s.find_function(XS, LINEAR))
    assert _key(s.find_function(XS, LINEAR, alpha=None)) == base
    assert _key(s.find_function(XS, LINEAR, None, None)) == base
    assert _key(s.find_function(XS, LINEAR, l1_ratio=None)) == base


def test_per_call_options_equal_constructor_options_and_do_not_stick():
    s = Searcher(max_complexity=3, beam_width=30)
    plain = _key(s.find_function(XS, LINEAR))
    with_alpha = _key(s.find_function(XS, LINEAR, alpha=0.5, l1_ratio=0.25))
    constructed = Searcher(max_complexity=3, beam_width=30, alpha=0.5, l1_ratio=0.25)
    assert with_alpha == _key(constructed.find_function(XS, LINEAR))
    assert with_alpha != plain
    assert (s.alpha, s.l1_ratio) == (0.0, 0.5)
    assert _key(s.find_function(XS, LINEAR)) == plain


# Inputs far from the target, so that at complexity 1 the constant leaf is
# the formula; its error is then the squared error plus the penalty on C.
FAR_ROWS = [[100.0 + i] for i in range(8)]


@pytest.mark.parametrize("method", ["find_multivariate", "fit", "find_candidates"])
@pytest.mark.parametrize("alpha, l1_ratio", [(1.0, 1.0), (0.5, 0.0), (2.0, 0.3)])
def test_per_call_penalty_reaches_the_search(method, alpha, l1_ratio):
    s = Searcher(max_complexity=1)
    ys = [4.0] * len(FAR_ROWS)
    result = getattr(s, method)(FAR_ROWS, ys, alpha=alpha, l1_ratio=l1_ratio)
    if method == "find_candidates":
        assert len(result) == 1
        result = result[0]
    assert result.formula == "C"
    c = result.eval([0.0])
    penalty = alpha * ((1.0 - l1_ratio) * 0.5 * c * c + abs(c) * l1_ratio)
    assert result.error == pytest.approx((c - 4.0) ** 2 + penalty, rel=1e-9)
    assert penalty > 0.1
    plain = getattr(s, method)(FAR_ROWS, ys)
    assert (plain[0] if method == "find_candidates" else plain).error < 1e-12


def test_recognize_constant():
    s = Searcher(max_complexity=1)
    r = s.recognize_constant(2.5)
    assert r.error < 1e-12
    assert r.eval(0.0) == pytest.approx(2.5, rel=1e-9)
    penalised = s.recognize_constant(value=2.5, alpha=1.0, l1_ratio=0.0)
    c = penalised.eval(0.0)
    assert penalised.error == pytest.approx((c - 2.5) ** 2 + 0.5 * c * c, rel=1e-9)
    assert penalised.error > 1.0


def test_find_function_matches_find_multivariate_on_one_column():
    s = Searcher(max_complexity=3, beam_width=40)
    a = s.find_function(XS, NOISY)
    b = s.find_multivariate(ROWS, NOISY)
    c = s.fit(np.array(ROWS), list(NOISY))
    assert _key(a) == _key(b) == _key(c)


def test_find_candidates_is_a_pareto_front():
    s = Searcher(max_complexity=4, beam_width=40)
    front = s.find_candidates(ROWS, NOISY)
    assert isinstance(front, list) and front
    assert all(isinstance(r, vorn_sr.SearchResult) for r in front)
    errors = [r.error for r in front]
    complexities = [r.complexity for r in front]
    assert errors == sorted(errors) and len(set(errors)) == len(errors)
    assert complexities == sorted(complexities, reverse=True)
    assert len(set(complexities)) == len(complexities)
    assert all(1 <= c <= 4 for c in complexities)
    # Without an early exit the single answer is the front's first entry.
    assert _key(s.find_multivariate(ROWS, NOISY)) == _key(front[0])


def test_find_candidates_runs_past_an_exact_fit(capfd):
    s = Searcher(max_complexity=3, beam_width=20)
    ys = [r[0] for r in ROWS]
    assert s.find_multivariate(ROWS, ys).formula == "v_{0}"
    assert capfd.readouterr().out == ""  # stopped after seeding
    front = s.find_candidates(ROWS, ys)
    assert [r.formula for r in front] == ["v_{0}"]
    out = capfd.readouterr().out
    assert "-> Level 2 processed" in out and "-> Level 3 processed" in out


def test_multivariate_recovery():
    rng = np.random.default_rng(3)
    x = rng.uniform(-2, 2, size=(30, 2))
    ys = x[:, 0] * x[:, 1] + x[:, 1]
    r = Searcher(max_complexity=5, beam_width=200).find_multivariate(x, ys)
    assert r.error < 1e-10
    assert np.allclose(r.predict(x), ys)


START = re.compile(r"^\[VORN-SR\] Started search space exploration\. Level 1 seeded with (\d+) primary nodes\.$")
LEVEL = re.compile(r"^\[VORN-SR\]   -> Level (\d+) processed in [0-9.]+(s|ms|µs|ns)\. Retaining top (\d+) candidates\.$")
PROGRESS = re.compile(
    r"^  \[VORN\] L(\d+) Progress: \[([█░]{10})\] (\d+)% \((\d+)/(\d+)\) \| \d+\.\ds \(Est: -?\d+\.\ds\)   $"
)


def test_progress_log_goes_to_file_descriptor_1(capfd):
    python_side = io.StringIO()
    with contextlib.redirect_stdout(python_side):
        Searcher(max_complexity=3, beam_width=25).find_candidates(ROWS, NOISY)
    assert python_side.getvalue() == ""
    out = capfd.readouterr().out
    lines = out.split("\n")
    assert START.match(lines[0]) and START.match(lines[0]).group(1) == "2"
    levels = [LEVEL.match(line) for line in lines if line.startswith("[VORN-SR]   ->")]
    assert [m.group(1) for m in levels] == ["2", "3"]
    assert all(int(m.group(3)) <= 25 for m in levels)
    progress = [p for line in lines for p in line.split("\r") if p.startswith("  [VORN]")]
    assert progress, out
    for text in progress:
        m = PROGRESS.match(text)
        assert m, repr(text)
        percent, done, total = int(m.group(3)), int(m.group(4)), int(m.group(5))
        assert m.group(2) == "█" * (percent // 10) + "░" * (10 - percent // 10)
        assert 0 < done <= total and percent <= 100
    for level in ("2", "3"):
        assert any(f"L{level} Progress:" in t and "100%" in t for t in progress)


def test_exact_fit_at_level_one_prints_nothing(capfd):
    Searcher().find_multivariate(ROWS, [r[0] for r in ROWS])
    assert capfd.readouterr().out == ""


def test_log_keeps_its_place_between_python_prints():
    # stdout is a pipe here, so Python buffers its own prints: text printed
    # before a search must still come out before the search's log.
    code = textwrap.dedent(
        """
        import vorn_sr
        print("before")
        vorn_sr.Searcher(max_complexity=2, beam_width=5).find_candidates([[1.0], [2.0], [4.0]], [1.0, 5.0, 2.0])
        print("after")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = [line for line in out.stdout.replace("\r", "\n").split("\n") if line.strip()]
    assert lines[0] == "before" and lines[-1] == "after"
    assert lines[1].startswith("[VORN-SR] Started")
