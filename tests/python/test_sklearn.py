"""VornRegressor: scikit-learn conformance, model selection, text forms with
feature names, input validation, the time budget, progress output, pickling."""

import collections
import copy
import math
import os
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("sklearn")

from sklearn.exceptions import DataConversionWarning, NotFittedError
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import vorn_sr
from vorn_sr import sklearn as vorn_sklearn
from vorn_sr.sklearn import VornRegressor

RNG = np.random.default_rng(20240611)
X2 = RNG.uniform(0.5, 2.0, size=(30, 2))
Y_RATIO = X2[:, 0] / X2[:, 1]  # exact at complexity 3, and not symmetric in the columns
X1 = np.linspace(-1.0, 1.0, 40)[:, None]
Y_LINE = 2.5 * X1[:, 0] + 1.0 + 0.01 * RNG.standard_normal(40)  # noisy: all levels run


def small(**params):
    return VornRegressor(**{"max_complexity": 3, "beam_width": 50, **params})


@pytest.fixture(scope="module")
def fitted():
    return small().fit(X2, Y_RATIO)


# scikit-learn's own checks, none expected to fail. check_array_api_input
# reports itself skipped unless SCIPY_ARRAY_API=1 is set before SciPy is
# imported; with it set, it passes.
@parametrize_with_checks([small()])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def test_pipeline_equals_fitting_the_scaled_data():
    pipe = make_pipeline(StandardScaler(), small(max_complexity=5)).fit(X1, Y_LINE)
    scaled = StandardScaler().fit_transform(X1)
    direct = small(max_complexity=5).fit(scaled, Y_LINE)
    assert pipe.predict(X1).tobytes() == direct.predict(scaled).tobytes()
    assert pipe.score(X1, Y_LINE) > 0.999


def test_grid_search_and_cross_validation():
    grid = GridSearchCV(small(strategy="levels"), {"max_complexity": [1, 3]}, cv=3).fit(X2, Y_RATIO)
    assert grid.best_params_ == {"max_complexity": 3}
    assert min(cross_val_score(small(), X2, Y_RATIO, cv=3)) > 0.999999


Fake = collections.namedtuple("Fake", "complexity error")


@pytest.mark.parametrize(
    "front, chosen",
    [
        ([(4, 0.3)], 4),
        ([(7, 9e-7), (5, 1e-6), (2, 0.5), (1, 1.0)], 5),  # one steep drop
        ([(10, 1e-6), (6, 1.2e-6), (2, 0.1), (1, 1.0)], 6),  # a drop per unit of complexity, not in total
        ([(10, 1e-8), (2, 0.1), (1, 1.0)], 10),  # only fits within 1.5x of the best are eligible
        ([(6, 0.0), (4, 1e-3), (1, 1.0)], 6),  # an exact fit is a huge drop
        ([(5, 0.0), (3, 1e-31), (1, 1.0)], 3),  # rounding noise counts as exact: the simpler wins
        ([(3, 0.1), (2, math.nan), (1, 1.0)], 3),  # a NaN entry is ignored
    ],
)
def test_knee_selection(front, chosen):
    fakes = [Fake(*entry) for entry in front]
    assert fakes[vorn_sklearn._knee_index(fakes, 1e-28)].complexity == chosen


def test_model_selection(capfd):
    # The line fits the noisy data at complexity 5; complexity 7 only fits the
    # noise a little better.
    y = Y_LINE
    best = small(max_complexity=7, beam_width=20, strategy="levels").fit(X1, y)
    accurate = small(max_complexity=7, beam_width=20, strategy="levels", model_selection="accuracy").fit(X1, y)
    searched = vorn_sr.Searcher(max_complexity=7, beam_width=20).find_multivariate(X1, y)
    capfd.readouterr()
    assert (accurate.result_.formula, accurate.result_.error) == (searched.formula, searched.error)
    assert [r.formula for r in best.pareto_front_] == [r.formula for r in accurate.pareto_front_]
    assert best.result_.complexity < accurate.result_.complexity
    assert best.score(X1, y) > 0.999


def test_feature_names_in_every_text_form():
    pd = pytest.importorskip("pandas")
    sympy = pytest.importorskip("sympy")
    est = small().fit(pd.DataFrame(X2, columns=["speed", "mass"]), Y_RATIO)
    speed, mass = sympy.symbols("speed mass", real=True)  # as vorn_sr.sympy makes them
    value = sympy.lambdify((speed, mass), est.sympy())(X2[:, 0], X2[:, 1])
    np.testing.assert_allclose(value, est.predict(pd.DataFrame(X2, columns=["speed", "mass"])), rtol=1e-12)
    assert "speed" in est.latex() and "mass" in est.latex()
    table = est.equations_
    assert list(table.columns) == ["complexity", "error", "formula", "sympy"]
    assert list(table.complexity) == [r.complexity for r in est.pareto_front_]
    assert not any("v_{" in formula for formula in table.formula)
    assert set().union(*(expr.free_symbols for expr in table.sympy)) <= {speed, mass}
    assert est.sympy(0) == table.sympy[0]


def test_equations_without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    rows = small().fit(X2, Y_RATIO).equations_
    assert isinstance(rows, list) and rows[0]["formula"] and set(rows[0]) == {"complexity", "error", "formula", "sympy"}


@pytest.mark.parametrize(
    "param, value",
    [("max_time", 0), ("max_time", -1), ("max_time", math.nan), ("max_time", math.inf), ("max_time", "5"),
     ("model_selection", "fastest"), ("verbose", -1), ("verbose", 0.5)],
)
def test_bad_parameters(param, value):
    with pytest.raises(ValueError, match=param):
        small(**{param: value}).fit(X2, Y_RATIO)


@pytest.mark.parametrize("where", ["X nan", "X inf", "y nan", "y inf"])
def test_non_finite_inputs(where):
    X, y = X2.copy(), Y_RATIO.copy()
    (X[3] if where[0] == "X" else y[3:4])[...] = math.nan if "nan" in where else math.inf
    with pytest.raises(ValueError):
        small().fit(X, y)


def test_predict_errors(fitted):
    with pytest.raises(NotFittedError):
        small().predict(X2)
    with pytest.raises(ValueError, match="features"):
        fitted.predict(np.ones((2, 3)))


def test_column_target_is_accepted(fitted):
    with pytest.warns(DataConversionWarning):
        column = small().fit(X2, Y_RATIO[:, None])
    assert column.predict(X2).tobytes() == fitted.predict(X2).tobytes()


@pytest.mark.parametrize("copier", [*(f"pickle{p}" for p in range(2, 6)), "deepcopy"])
def test_pickle_round_trip(fitted, copier):
    if copier == "deepcopy":
        back = copy.deepcopy(fitted)
    else:
        back = pickle.loads(pickle.dumps(fitted, protocol=int(copier[-1])))
    assert back.predict(X2).tobytes() == fitted.predict(X2).tobytes()
    assert [r.formula for r in back.pareto_front_] == [r.formula for r in fitted.pareto_front_]
    assert back.get_params() == fitted.get_params()


def test_pickle_from_a_newer_format_is_refused(fitted, monkeypatch):
    current = vorn_sklearn._PICKLE_VERSION
    monkeypatch.setattr(vorn_sklearn, "_PICKLE_VERSION", current + 1)
    data = pickle.dumps(fitted)
    monkeypatch.undo()
    with pytest.raises(ValueError, match=f"version {current + 1}.*version {current}"):
        pickle.loads(data)


def test_verbose_zero_is_silent(capfd):
    small(verbose=0).fit(X2, Y_RATIO)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("verbose", [1, 2])
def test_verbose_prints_through_sys_stdout(capsys, verbose):
    small(verbose=verbose, strategy="levels").fit(X2, Y_RATIO)
    out = capsys.readouterr().out
    assert out.startswith("[VORN-SR] Started search space exploration.")
    assert "[VORN-SR]   -> Level 3 processed in" in out
    assert ("\r  [VORN] L3 Progress:" in out) == (verbose == 2)


@pytest.mark.parametrize("strategy", ["levels", "deepening"])
def test_time_budget(strategy):
    x = np.random.default_rng(5).uniform(-1.0, 1.0, size=(1000, 1))
    y = 2.5 * x[:, 0] + 1.0 + 0.01 * np.random.default_rng(6).standard_normal(1000)
    start = time.monotonic()
    est = VornRegressor(max_time=2, strategy=strategy).fit(x, y)
    assert time.monotonic() - start < 4.0
    assert est.budget_exhausted_ and est.levels_finished_ >= 2
    # Scaled formulas carry their scale and offset on top of the level's tokens.
    assert est.result_.complexity <= est.levels_finished_ + (4 if strategy == "deepening" else 0)
    assert np.isfinite(est.predict(x)).all() and est.score(x, y) > 0


def test_import_without_scikit_learn():
    code = "import sys; sys.modules['sklearn'] = None\nimport vorn_sr\ntry:\n    import vorn_sr.sklearn\nexcept ImportError as e:\n    print(e)"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "vorn_sr.sklearn needs scikit-learn: pip install 'vorn_sr[sklearn]'"


def test_fit_without_sympy_leaves_the_sympy_column_empty():
    code = (
        "import sys; sys.modules['sympy'] = None\n"
        "import numpy as np\nfrom vorn_sr.sklearn import VornRegressor\n"
        "x = np.linspace(0.5, 2, 20)[:, None]\nest = VornRegressor(max_complexity=3).fit(x, 2 * x[:, 0])\n"
        "print(list(est.equations_['sympy']) == [None] * len(est.pareto_front_))\n"
        "try:\n    est.sympy()\nexcept ImportError as e:\n    print(e)"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.split("\n")[:2] == ["True", "vorn_sr.sympy needs SymPy: pip install 'vorn_sr[sympy]'"]
