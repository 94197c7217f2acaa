"""examples/srbench/regressor.py: the model string SRBench reads back with
SymPy must compute what the estimator predicts."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")
sympy = pytest.importorskip("sympy")

from sklearn.base import clone

REGRESSOR = Path(__file__).resolve().parents[2] / "examples" / "srbench" / "regressor.py"


@pytest.fixture(scope="module")
def srbench():
    found = importlib.util.spec_from_file_location("vorn_srbench_regressor", REGRESSOR)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def parsed_predictions(text, frame):
    # As SRBench parses a model: every column name a plain symbol.
    symbols = [sympy.Symbol(name) for name in frame.columns]
    expr = sympy.parse_expr(text, local_dict=dict(zip(frame.columns, symbols)))
    values = sympy.lambdify(symbols, expr, "numpy")(*frame.to_numpy().T)
    return np.broadcast_to(np.asarray(values, dtype=float), (len(frame),))


@pytest.mark.parametrize("names", [["theta", "m_0"], None])
def test_model_string_predicts_like_the_estimator(srbench, names):
    rng = np.random.default_rng(11)
    X = rng.uniform(0.5, 2.0, size=(40, 2))
    y = 2.2 * X[:, 0] * np.exp(X[:, 1]) + 0.01 * rng.standard_normal(40)
    frame = pd.DataFrame(X, columns=names or ["x0", "x1"])
    data = frame if names else X  # without names the string uses x0, x1
    est = clone(srbench.est).set_params(max_complexity=4, max_time=None).fit(data, y)

    population = srbench.get_population(est)
    assert srbench.get_best_solution(est) is est and 1 <= len(population) <= 100
    assert srbench.complexity(est) > 0
    for member in [est, *population]:
        text = srbench.model(member, frame if names else None)
        np.testing.assert_allclose(parsed_predictions(text, frame), member.predict(data), rtol=1e-9)
