"""fit(X, y, X_units=..., y_units=...): bad input, the dimensionless
reduction, homogeneity of every returned formula, pickling."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
pytest.importorskip("pint")
pd = pytest.importorskip("pandas")

from sklearn.base import clone
from sklearn.model_selection import GridSearchCV

from vorn_sr.sklearn import VornRegressor

RNG = np.random.default_rng(3)


def frame(**ranges):
    return pd.DataFrame({name: RNG.uniform(lo, hi, 80) for name, (lo, hi) in ranges.items()})


# name: (columns and ranges, units of the columns, units of y, law, metre exponent of y)
LAWS = {
    "coulomb": (
        {"q1": (1, 3), "q2": (1, 3), "eps": (1, 2), "r": (1, 3)},
        {"q1": "C", "q2": "C", "eps": "F/m", "r": "m"},
        "N",
        lambda d: d.q1 * d.q2 / (4 * np.pi * d.eps * d.r**2),
        1,
    ),
    "pendulum": (  # no dimensionless group: y = C * sqrt(L/g)
        {"L": (0.5, 2), "g": (9, 10), "m": (1, 2)},
        ["m", "m/s**2", "kg"],
        "s",
        lambda d: 2 * np.pi * np.sqrt(d.L / d.g),
        0,
    ),
    "fall": (  # a function of a group: v**2/(g*h)
        {"v": (1, 3), "g": (9, 10), "h": (0.5, 2), "m": (1, 2)},
        ["m/s", "m/s**2", "m", "kg"],
        "J",
        lambda d: d.m * d.v**2 * np.exp(-d.g * d.h / d.v**2),
        2,
    ),
    "centre_of_mass": (  # a ratio of sums, found before any search
        {"m1": (1, 3), "x1": (-2, 2), "m2": (1, 3), "x2": (-2, 2)},
        ["kg", "m", "kg", "m"],
        "m",
        lambda d: (d.m1 * d.x1 + d.m2 * d.x2) / (d.m1 + d.m2),
        1,
    ),
}


def fitted(name, **settings):
    ranges, x_units, y_units, law, _ = LAWS[name]
    X = frame(**ranges)
    est = VornRegressor(max_time=3, **settings).fit(X, law(X), X_units=x_units, y_units=y_units)
    return est, X, law


@pytest.mark.parametrize("name", LAWS)
def test_laws_reduce_and_every_front_entry_is_homogeneous(name):
    est, X, law = fitted(name)
    y = law(X)
    assert np.max(np.abs(est.predict(X) - y)) <= 1e-9 * np.max(np.abs(y))
    metre = {"coulomb": {"eps": -3, "r": 1}, "pendulum": {"L": 1, "g": 1}, "fall": {"v": 1, "g": 1, "h": 1},
             "centre_of_mass": {"x1": 1, "x2": 1}}[name]
    # Express every length in decimetres: a column scales by 10**(its metre
    # exponent), and a consistent formula's value by 10**(y's).
    scaled = X.copy()
    for column, power in metre.items():
        scaled[column] = X[column] * 10.0**power
    for entry in est.pareto_front_:
        before = np.asarray(entry.predict(X.to_numpy()))
        after = np.asarray(entry.predict(scaled.to_numpy()))
        np.testing.assert_allclose(after, before * 10.0 ** LAWS[name][4], rtol=1e-9, err_msg=entry.formula)
    # The reassembled formulas read in the original features.
    assert set(map(str, est.sympy().free_symbols)) <= set(X.columns)


def test_sines_and_cosines_of_the_groups_enter_the_rational_look():
    # Without a budget the look is deterministic: no search needs to run.
    from vorn_sr.sklearn import _exact_relation

    X = frame(g=(9, 10), theta=(0.1, 1.4), mu=(0.1, 0.5)).to_numpy()
    y = X[:, 0] * (np.sin(X[:, 1]) - X[:, 2] * np.cos(X[:, 1]))
    plan, dims = VornRegressor()._units_plan(X, y, ["m/s**2", "rad", ""], "m/s**2")
    result = _exact_relation(X, y, dims, None, None, plan["reduction"]["groups"])
    assert "Sin" in result.formula and result.error <= 1e-20 * np.mean(y * y)


def test_coulomb_searches_one_group():
    est, _, _ = fitted("coulomb")
    assert est.units_["groups"] == ["q1/q2"] and est.units_["monomial"] == "q1**2/(eps*r**2)"


@pytest.mark.parametrize(
    "x_units, y_units, X, match",
    [
        (["m", "furlong^^2", "kg"], "m", None, "column 1.*furlong"),
        ({"a": "m", "b": "s"}, "m", "frame", "X_units has no units for column 'c'"),
        ({"a": "m", "b": "s", "c": "s", "d": "m"}, "m", "frame", "column 'd'"),
        ({"a": "m"}, "m", None, "needs X with column names"),
        (["m", "s"], "m", None, "2 units for 3 columns"),
        (["m", "s", "kg"], None, None, "X_units was given without y_units"),
        (None, "m", None, "y_units was given without X_units"),
        (["m", "s", "kg"], "not_a_unit", None, "y.*not_a_unit"),
        (["m", "m", "kg"], "s", None, r"supplies \[time\].*dimensionless_constants=False"),
        (["m", "m", "kg"], "m**0.5", "negative", "column 0.*values <= 0.*fractional"),
        (["m", "m", "kg"], "1/m", "zero", "column 0.*zeros"),
    ],
)
def test_bad_units_are_value_errors_that_name_the_culprit(x_units, y_units, X, match):
    data = RNG.uniform(1, 2, (30, 3))
    if X == "negative":
        data[0, 0] = -1.0
    elif X == "zero":
        data[0, 0] = 0.0
    X = pd.DataFrame(data, columns=["a", "b", "c"]) if X == "frame" else data
    with pytest.raises(ValueError, match=match):
        VornRegressor(max_time=1).fit(X, data[:, 0], X_units=x_units, y_units=y_units)


def test_a_missing_dimensional_constant_is_carried_by_a_constant():
    X = frame(m1=(1, 3), m2=(1, 3), r=(1, 2))
    y = 6.674e-11 * X.m1 * X.m2 / X.r**2
    est = VornRegressor(max_time=3, dimensionless_constants=False).fit(X, y, X_units=["kg", "kg", "m"], y_units="N")
    assert np.max(np.abs(est.predict(X) - y)) <= 1e-9 * np.max(np.abs(y))
    assert est.units_["constant_units"] == "[length]**3 / [mass] / [time]**2"


def test_units_survive_pickle_clone_and_grid_search():
    est, X, law = fitted("coulomb", dimensionless_constants=True)
    back = pickle.loads(pickle.dumps(est))
    assert back.predict(X).tobytes() == est.predict(X).tobytes() and back.units_ == est.units_
    assert clone(est).get_params()["dimensionless_constants"] is True
    grid = GridSearchCV(VornRegressor(max_time=1), {"dimensionless_constants": [True, False]}, cv=2)
    grid.fit(X, law(X), X_units=LAWS["coulomb"][1], y_units="N")
    assert grid.best_score_ > 0.999
    with pytest.raises(ValueError, match="column 'r' has zeros"):
        est.predict(X.assign(r=0.0))


def test_without_pint_the_error_names_the_extra():
    code = (
        "import sys; sys.modules['pint'] = None\n"
        "from vorn_sr.sklearn import VornRegressor\n"
        "try:\n    VornRegressor().fit([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], X_units=['m'], y_units='m')\n"
        "except ImportError as e:\n    print(e)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert "pip install 'vorn_sr[units]'" in out.stdout, out.stderr
