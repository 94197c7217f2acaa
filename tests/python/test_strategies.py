"""The estimator's strategies and operator subsets beside the level search."""

import re

import numpy as np
import pytest

pytest.importorskip("sklearn")

import vorn_sr
from vorn_sr.sklearn import VornRegressor

RNG = np.random.default_rng(0)
S = RNG.uniform(1.5, 5.0, 200)[:, None]
S_TEST = RNG.uniform(1.5, 5.0, 500)[:, None]
X2 = RNG.uniform(1.0, 3.0, size=(60, 2))
OPERATOR = re.compile(r"([A-Za-z]+)\(")


def nmse(est, f):
    y = f(S_TEST[:, 0])
    return float(np.mean((est.predict(S_TEST) - y) ** 2) / np.var(y))


def test_levels_is_the_searchers_search():
    y = X2[:, 0] * X2[:, 1] + 0.01 * RNG.standard_normal(60)
    est = VornRegressor(strategy="levels", max_complexity=5, beam_width=40, model_selection="accuracy").fit(X2, y)
    searched = vorn_sr.Searcher(max_complexity=5, beam_width=40).find_multivariate(X2, y)
    assert (est.result_.formula, est.result_.error) == (searched.formula, searched.error)
    assert est.predict(X2).tobytes() == np.asarray(searched.predict(X2)).tobytes()


# Laws with two coupled constants that the level search's fitting misses.
@pytest.mark.parametrize(
    "law",
    [lambda s: (1 + s) / 2, lambda s: 1 / (s - 1), lambda s: 1.3 * s**2 - 0.4 * s],
    ids=["(1+s)/2", "1/(s-1)", "1.3s^2-0.4s"],
)
@pytest.mark.parametrize("scale", [1.0, 1e-10])
def test_default_strategy_fits_coupled_constants_at_any_scale(law, scale, capfd):
    est = VornRegressor(max_complexity=7, model_selection="accuracy").fit(S, scale * law(S[:, 0]))
    assert nmse(est, lambda s: scale * law(s)) < 1e-20


@pytest.mark.parametrize(
    "operators, allowed",
    [
        (["+", "*"], {"Plus", "Times"}),
        (["PLUS", "times", "Plus", "+"], {"Plus", "Times"}),  # any case, duplicates once
        (["Sqrt", "/", "-"], {"Sqrt", "Divide", "Subtract"}),
    ],
)
@pytest.mark.parametrize("strategy", ["levels", "deepening"])
def test_only_the_chosen_operators_are_used(operators, allowed, strategy):
    y = X2[:, 0] * X2[:, 1] + X2[:, 0]
    est = VornRegressor(strategy=strategy, operators=operators, max_complexity=5, beam_width=40).fit(X2, y)
    used = {name for result in est.pareto_front_ for name in OPERATOR.findall(result.formula)}
    assert used and used <= allowed


def test_a_subset_without_compositions_returns_a_leaf():
    est = VornRegressor(operators=["Neg"], max_complexity=8).fit(X2, X2[:, 1])
    assert est.result_.formula == "v_{1}"


@pytest.mark.parametrize(
    "params, match",
    [
        ({"operators": ["Plus", "Pow"]}, r"unknown operator 'Pow'.*VORN, Neg, Inv, Plus"),
        ({"operators": []}, "at least one operator.*VORN"),
        ({"operators": "Plus"}, "list of operator names"),
        ({"strategy": "genetic"}, r"strategy must be one of \('levels', 'deepening'\)"),
    ],
)
def test_bad_strategy_and_operator_names(params, match):
    with pytest.raises(ValueError, match=match):
        VornRegressor(**params).fit(X2, X2[:, 0])


def test_an_estimator_pickled_before_strategies_refits_with_the_level_search():
    state = VornRegressor(max_complexity=3).__getstate__()
    del state["strategy"], state["operators"]
    old = VornRegressor.__new__(VornRegressor)
    old.__setstate__(state)
    assert old.get_params()["strategy"] == "levels" and old.get_params()["operators"] is None


def _cases_for_factoring():
    rng = np.random.default_rng(3)
    X = rng.uniform(1.0, 4.0, size=(200, 4))
    return X, [
        (X[:, 0] * X[:, 1] ** 2 * (X[:, 2] + X[:, 3]), [1, 2, 0, 0]),
        (X[:, 2] / X[:, 0] * np.exp(-X[:, 1] / X[:, 3]), [-1, 0, 1, 0]),
        (X[:, 0] + X[:, 1] * X[:, 2], None),  # no factor: a sum
        (X[:, 0] * X[:, 1] / X[:, 2] * X[:, 3], None),  # all factors: the power-law stage's case
        (np.where(X[:, 0] > 2, 0.0, X[:, 0] * X[:, 1]), None),  # zeros in y
    ]


@pytest.mark.parametrize("case", range(5))
def test_factor_exponents(case):
    from vorn_sr import _factoring

    X, cases = _cases_for_factoring()
    y, expected = cases[case]
    found = _factoring.factor_exponents(X, y)
    assert (found if found is None else [int(e) for e in found]) == expected


def test_default_strategy_splits_off_a_power_factor():
    X, cases = _cases_for_factoring()
    law = lambda X: X[:, 0] * X[:, 1] ** 2 * np.exp(X[:, 2] - X[:, 3])  # noqa: E731
    # Nine tokens, beyond max_complexity=4: only y / (x0*x1**2) over x2, x3 is in reach.
    est = VornRegressor(max_complexity=4, model_selection="accuracy").fit(X, law(X))
    X_new = np.random.default_rng(4).uniform(1.0, 4.0, size=(100, 4))
    y_new = law(X_new)
    assert np.mean((est.predict(X_new) - y_new) ** 2) / np.var(y_new) < 1e-20
    assert all(np.all(np.isfinite(r.predict(X_new))) for r in est.pareto_front_)
    assert est.result_.complexity > 4


def _cases_for_relations():
    rng = np.random.default_rng(5)
    X = rng.uniform(1.0, 3.0, size=(200, 3))
    x0, x1, x2 = X.T
    return X, [
        (0.5 * x0 * x1**2 + x0 * x2, True),  # a sum of monomials
        ((x0 * x1 + x2) / (x0 + x1), True),  # a ratio of two sums
        ((x0 - x1) ** 2 / (x0 + x1) ** 2, True),  # a ratio whose sums only expand
        (np.sin(x0) * x1, False),  # not rational: a polynomial only approximates it
        (0.5 * x0 * x1**2 + x0 * x2 + 1e-6 * rng.standard_normal(200), False),  # noise
        # A column of three values: a polynomial in it would fit any function.
        (np.sin(np.round(x0)) * x1, False),
    ]


@pytest.mark.parametrize("case", range(6))
def test_exact_rational_laws_by_linear_algebra(case):
    from vorn_sr import _relations, units

    X, cases = _cases_for_relations()
    y, exact = cases[case]
    if case == 5:
        X = np.column_stack([np.round(X[:, 0]), X[:, 1:]])
    law = _relations.find(X, y)
    assert (law is not None) == exact
    if exact:
        result = units._scored(_relations.tokens(_relations.snapped(law)), X, y)
        assert result.error <= 1e-26 * np.mean(y * y)


def test_a_constant_target_is_the_constant():
    # Without Cube the rational look cannot write its laws: the engine must offer C.
    operators = ["VORN", "Neg", "Inv", "Plus", "Times", "Subtract", "Divide", "Exp", "Log", "Sqrt", "Sin", "Square"]
    est = VornRegressor(max_time=5, operators=operators).fit(X2, np.full(len(X2), 2.5))
    assert est.result_.complexity == 1 and est.result_.error == 0.0


def test_rational_laws_on_many_rows_and_columns():
    # Looked for on a subsample with fewer factors per term; checked on all rows.
    from vorn_sr import _relations

    X = np.random.default_rng(6).uniform(1.0, 2.0, size=(5000, 40))
    law = _relations.find(X, X[:, 3] * X[:, 7] + 2.0 * X[:, 11])
    assert law is not None and len(law[0]) == 2
