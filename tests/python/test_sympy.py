"""vorn_sr.sympy: exported expressions against the engine's own evaluation."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

sp = pytest.importorskip("sympy")
mpmath = pytest.importorskip("mpmath")

import vorn_sr  # noqa: E402
from vorn_sr import _core  # noqa: E402
from vorn_sr.sympy import constant_to_sympy, to_sympy  # noqa: E402

X = np.linspace(-2.5, 2.5, 21)[:, None]
XA = np.linspace(-3.05, 3.05, 24)[:, None]  # steps over ArcTan's poles at +-1
RNG = np.random.default_rng(7)
X2 = RNG.uniform(-2.0, 2.0, size=(25, 2))


def _arctan_of_root(x, beyond):
    """arctan(sqrt(x)) in complex arithmetic: for x < 0 the root is +-i*sqrt(-x),
    and the real part is 0, or +-pi/2 (`beyond`) past ArcTan's branch point."""
    with np.errstate(invalid="ignore"):
        return np.where(x >= 0, np.arctan(np.sqrt(x)), np.where(x > -1, 0.0, beyond))


# Targets chosen so that the fronts use every kind of token: fitted
# constants, two variables, all arithmetic operators, and the operators that
# leave the real axis on part of the evaluation grid (Log, Sqrt, ArcSin,
# ArcCos, VORN). The two ArcTan targets are fitted exactly by
# ArcTan(Sqrt(v_{0})) and ArcTan(Sqrt(Neg(v_{0}))), where the side of Sqrt's
# cut decides the value: Neg(v_{0}) carries a -0 imaginary part.
DATASETS = {
    "x_sin_x": (X, X[:, 0] * np.sin(X[:, 0])),
    "cubic": (X, 2.1 - X[:, 0] ** 3),
    "decay": (X, 1.3 / np.exp(X[:, 0])),
    "log": (X[X > 0][:, None], np.log(X[X > 0])),
    "sqrt_shifted": (X, np.sqrt(X[:, 0] + 3.0)),
    "arcsin": (X, np.arcsin(X[:, 0] / 3.0)),
    "step": (X, math.pi * (X[:, 0] < 0)),
    "arctan_root": (XA, _arctan_of_root(XA[:, 0], math.pi / 2)),
    "arctan_root_negated": (XA, _arctan_of_root(-XA[:, 0], -math.pi / 2)),
    "product": (X2, X2[:, 0] * X2[:, 1] + 0.7),
    "vorn": (X2, np.exp(X2[:, 0]) - np.log(np.abs(X2[:, 1]) + 0.5)),
}
# Points off the data, reaching into negative arguments and past +-1.
GRID = {1: np.linspace(-4.0, 4.0, 41)[:, None], 2: RNG.uniform(-3.0, 3.0, size=(40, 2))}


@pytest.mark.parametrize("name", DATASETS)
def test_expressions_evaluate_as_the_engine(name):
    rows, targets = DATASETS[name]
    front = vorn_sr.Searcher(max_complexity=5).find_candidates(rows, targets)
    symbols = sp.symbols(f"x0:{rows.shape[1]}", real=True)
    grid = GRID[rows.shape[1]]
    checked = 0
    for result in front:
        expr = to_sympy(result)
        assert expr.free_symbols <= set(symbols), result.formula
        # SymPy's own semantics (mpmath has no signed zeros), rounded per
        # operation to doubles as in the engine.
        function = sp.lambdify(symbols, expr, "mpmath")
        for row, expected in zip(grid, result.eval_batch(grid)):
            if math.isfinite(expected):
                got = complex(function(*(mpmath.mpf(float(v)) for v in row)))
                assert got.imag == 0.0 and abs(got.real - expected) <= 1e-12 * max(1.0, abs(expected)), (
                    result.formula,
                    expr,
                    row,
                )
                checked += 1
        if result.formula == "C":
            # The fitted double itself, kept and printed without loss.
            fitted = result._postfix()[0][1]
            assert float(expr) == fitted and float(str(expr)) == fitted
    assert checked > len(front) * len(grid) // 2


# The last two closed forms, Sin(ArcTan(Log(Neg(Exp(v_{0}))))) and
# Sin(ArcTan(Sqrt(Neg(ArcCos(v_{0}))))), take the lower side of a cut (the
# engine's log(-1) is -i*pi there); SymPy's branch would flip their sign. In
# the second the side follows from the value of ArcCos(0), which to_sympy,
# keeping x0 symbolic, cannot know.
CONSTANTS = [
    (math.pi, sp.pi, True),
    (math.e, sp.E, True),
    (math.sqrt(2.0), sp.sqrt(2), True),
    (-math.pi / math.sqrt(math.pi**2 - 1.0), -sp.pi / sp.sqrt(sp.pi**2 - 1), True),
    (-math.sqrt(math.pi / (math.pi - 2.0)), -sp.sqrt(sp.pi / (sp.pi - 2)), False),
]


@pytest.mark.parametrize(("value", "exact", "side_known_symbolically"), CONSTANTS)
def test_recognized_constants_come_out_exact(value, exact, side_known_symbolically):
    result = vorn_sr.Searcher(max_complexity=6).recognize_constant(value)
    assert all(token[0] != "param" for token in result._postfix()), result.formula
    assert sp.simplify(constant_to_sympy(result) - exact) == 0, result.formula
    # recognize_constant's answers export as the number itself.
    assert to_sympy(result) == constant_to_sympy(result)
    if exact in (sp.pi, sp.E, sp.sqrt(2)):
        assert to_sympy(result) == exact
    if side_known_symbolically:
        # The same tokens as the answer of an ordinary search: a function of x0.
        data = bytearray(result.__reduce__()[1][0])
        data[6] = 0  # the flag byte that marks a constant
        formula = _core._restore_result(bytes(data))
        x0 = sp.Symbol("x0", real=True)
        assert x0 in to_sympy(formula).free_symbols
        assert sp.simplify(to_sympy(formula).subs(x0, 0) - exact) == 0


@pytest.fixture(scope="module")
def two_inputs():
    return vorn_sr.Searcher(max_complexity=3).find_multivariate(X2, X2[:, 0] * X2[:, 1])


def test_feature_names_name_the_symbols(two_inputs):
    named = to_sympy(two_inputs, ["speed", np.str_("time")])
    speed, time, x0, x1 = sp.symbols("speed time x0 x1", real=True)
    assert named.free_symbols == {speed, time}
    assert named == to_sympy(two_inputs).subs({x0: speed, x1: time}, simultaneous=True)


@pytest.mark.parametrize(
    ("args", "error"),
    [
        (("Times(v_{0}, v_{1})",), TypeError),
        ((None,), TypeError),
        (("result", ["a"]), ValueError),
        (("result", ["a", "a"]), ValueError),
        (("result", ["a", 1]), TypeError),
        (("result", "ab"), TypeError),
        (("result", 2), TypeError),
    ],
)
def test_rejects_bad_input(two_inputs, args, error):
    args = tuple(two_inputs if arg == "result" else arg for arg in args)
    with pytest.raises(error):
        to_sympy(*args)


def test_package_imports_without_sympy():
    script = (
        "import sys; sys.modules['sympy'] = None\n"
        "import vorn_sr, vorn_sr.sympy\n"
        "r = vorn_sr.Searcher(max_complexity=1).find_function([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])\n"
        "try:\n    vorn_sr.sympy.to_sympy(r)\nexcept ImportError as e:\n    print('MESSAGE', e)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "MESSAGE vorn_sr.sympy needs SymPy: pip install 'vorn_sr[sympy]'" in done.stdout
