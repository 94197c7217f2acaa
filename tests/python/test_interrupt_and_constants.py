"""Long searches stop on Ctrl-C, and recognize_constant finds closed forms."""

import math
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import _thread

import numpy as np
import pytest

from vorn_sr import Searcher, VornComplexityError

# 2 000 noisy rows: a default search runs for many minutes.
NOISY_SEARCH = textwrap.dedent(
    """
    import sys
    import numpy as np
    import vorn_sr
    rng = np.random.default_rng(0)
    x = rng.uniform(-2.0, 2.0, 2000)
    y = x**3 + x**2 + x + 0.01 * rng.normal(size=2000)
    print("searching", file=sys.stderr, flush=True)
    vorn_sr.Searcher().find_function(x, y)
    """
)


def noisy_data(n=2000):
    rng = np.random.default_rng(1)
    x = rng.uniform(-2.0, 2.0, n)
    return x, x**3 + x**2 + x + 0.01 * rng.normal(size=n)


def test_sigint_stops_a_search_in_a_subprocess():
    process = subprocess.Popen(
        [sys.executable, "-c", NOISY_SEARCH], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    try:
        assert process.stderr.readline().strip() == b"searching"
        time.sleep(1.0)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
        waited = time.monotonic() - sent
    finally:
        process.kill()
    assert err.decode().strip().splitlines()[-1] == "KeyboardInterrupt"
    assert waited < 1.0


def test_interrupt_main_stops_a_search_and_the_next_one_works(capfd):
    x, y = noisy_data()
    timer = threading.Timer(1.0, _thread.interrupt_main)
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            Searcher().find_function(x, y)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 3.0
    out = capfd.readouterr().out
    assert out.endswith("\n")  # no progress line left open

    result = Searcher(max_complexity=4, beam_width=50).find_function(x[:50], x[:50] ** 2 + x[:50])
    assert result.error <= 1e-10
    assert result.complexity == 4


def uses_fitted_constant(formula):
    return re.search(r"\bC\b", formula) is not None


@pytest.mark.parametrize(
    "value",
    [math.pi, math.e, math.sqrt(2.0), 2.0, 1.0, 0.5, math.log(2.0)],
    ids=["pi", "e", "sqrt2", "2", "1", "0.5", "ln2"],
)
def test_constants_with_a_closed_form(value):
    result = Searcher().recognize_constant(value)
    assert not uses_fitted_constant(result.formula), result.formula
    assert result.error <= 1e-10
    assert result.eval(0.0) == pytest.approx(value, rel=1e-12)
    assert "v_{0}" in result.to_python()  # the variable stands for 0


def test_a_value_without_closed_form_falls_back_to_a_fitted_constant():
    result = Searcher(max_complexity=6).recognize_constant(1.2345678)
    assert uses_fitted_constant(result.formula), result.formula
    assert result.error <= 1e-10


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_non_finite_values_have_no_formula(value):
    with pytest.raises(VornComplexityError, match="^No formula found up to complexity 4$"):
        Searcher(max_complexity=4).recognize_constant(value)
