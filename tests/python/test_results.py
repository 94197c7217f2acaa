"""SearchResult objects: repr, properties, evaluation and renderings."""

import gc
import math

import numpy as np
import pytest

import vorn_sr
import vorn_sr._core as _core
from conftest import PROBE_ROWS, same_floats


def exponent6(x):
    """The repr's error format, from Python's own correctly rounded %e."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    mantissa, exponent = f"{x:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.000000e0"),
        (0.00123456789, "1.234568e-3"),
        (1234.5, "1.234500e3"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (1e-300, "1.000000e-300"),
        (123456.25, "1.234562e5"),  # an exact tie rounds to even
    ],
)
def test_reference_format(value, text):
    # Pins the reference used below to the documented examples.
    assert exponent6(value) == text


def test_repr_of_exact_variable_fit(probes):
    assert repr(probes[0]) == "SearchResult(formula='v_{0}', error=0.000000e0, complexity=1)"
    assert str(probes[1]) == "SearchResult(formula='v_{1}', error=0.000000e0, complexity=1)"


def _varied_results():
    """Results whose errors span many orders of magnitude."""
    rng = np.random.default_rng(7)
    xs = np.linspace(-2.0, 3.0, 12)
    results = []
    for scale in (1e-6, 1e-3, 0.37, 1.0, 41.0, 2.5e4, 3e8):
        ys = scale * rng.standard_normal(12)
        for depth in (1, 2):
            searcher = vorn_sr.Searcher(max_complexity=depth, beam_width=20)
            results.extend(searcher.find_candidates([[x] for x in xs], ys))
    return results


def test_repr_formats_error_in_exponent_notation():
    results = _varied_results()
    exponents = set()
    for r in results:
        text = exponent6(r.error)
        assert repr(r) == f"SearchResult(formula='{r.formula}', error={text}, complexity={r.complexity})"
        exponents.add(int(text.split("e")[1]))
    # Both signs of exponent were exercised.
    assert min(exponents) < 0 < max(exponents)


def test_property_types_and_read_only(probes):
    r = probes[2]
    assert (type(r.formula), type(r.error), type(r.complexity)) == (str, float, int)
    for name in ("formula", "error", "complexity"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    with pytest.raises(AttributeError):
        r.anything = 1


@pytest.fixture(scope="module")
def quadratic():
    """A real formula: x**2 + x recovered from 20 points."""
    xs = np.linspace(-2.0, 2.0, 20)
    result = vorn_sr.Searcher(max_complexity=5, beam_width=100).find_function(xs, xs**2 + xs)
    assert result.error < 1e-10, result
    return result


@pytest.mark.parametrize(
    "x",
    [2, 2.0, [2.0], (2,), np.float64(2.0), np.int32(2), np.array([2.0]), np.array(2.0), np.array([2], dtype=np.int8)],
    ids=["int", "float", "list", "tuple", "float64 scalar", "int32 scalar", "1-D array", "0-d array", "int8 array"],
)
def test_eval_forms_agree(quadratic, x):
    value = quadratic.eval(x)
    assert type(value) is float
    assert value == pytest.approx(6.0, rel=1e-9)
    assert value == quadratic.eval(2.0)


def test_eval_outside_the_formula_gives_nan(probes):
    assert math.isnan(probes[1].eval([1.0]))  # uses v_{1}
    assert math.isnan(probes[0].eval([]))
    assert probes[0].eval([math.inf]) == math.inf  # a bare variable passes any value through


@pytest.mark.parametrize(
    "inputs",
    [
        [[0.5], [-1.0], [3.0]],
        np.array([[0.5], [-1.0], [3.0]]),
        np.array([[0.5, 9.0], [-1.0, 9.0], [3.0, 9.0]])[:, :1],
        [np.array([0.5]), (-1,), [3]],
        [],
    ],
    ids=["lists", "2-D array", "column view", "mixed rows", "no rows"],
)
def test_predict_and_eval_batch_agree_with_eval(quadratic, inputs):
    batch = quadratic.eval_batch(inputs)
    predicted = quadratic.predict(inputs)
    assert type(batch) is list and type(predicted) is list
    assert batch == predicted
    assert all(type(v) is float for v in batch)
    assert same_floats(batch, [quadratic.eval(list(row)) for row in inputs])


def test_eval_batch_marks_only_bad_rows_nan(probes):
    got = probes[1].eval_batch([[0.0, 1.5], [2.0], [0.0, -4.0, 9.0]])
    assert same_floats(got, [1.5, math.nan, -4.0])


def test_keyword_arguments_of_result_methods(probes):
    assert probes[0].eval(x=3.0) == 3.0
    assert probes[0].eval_batch(inputs=[[1.0]]) == [1.0]
    assert probes[0].predict(inputs=[[1.0]]) == [1.0]
    with pytest.raises(TypeError):
        probes[0].eval()
    with pytest.raises(TypeError):
        probes[0].to_latex(1)


def test_renderings_of_variable(probes):
    for k, probe in enumerate(probes):
        assert probe.to_latex() == probe.to_python() == f"v_{{{k}}}"


def test_renderings_show_refined_constants():
    xs = [0.0, 1.0, 2.0, 3.0]
    result = vorn_sr.Searcher(max_complexity=3, beam_width=50).find_function(xs, [x + 2.5 for x in xs])
    assert result.error < 1e-12
    assert "C" in result.formula
    assert "2.5000" in result.to_latex()
    assert "2.5000" in result.to_python()


def test_python_rendering_evaluates_like_the_result(quadratic):
    code = quadratic.to_python()
    xs = np.array([-1.5, 0.25, 1.75])
    env = {"np": np}
    # The rendering names variables v_{i}; substitute a real identifier.
    value = eval(code.replace("v_{0}", "x0"), env, {"x0": xs})
    assert np.allclose(value, xs**2 + xs)


def test_results_outlive_their_searcher():
    searcher = vorn_sr.Searcher(max_complexity=2, beam_width=10)
    results = searcher.find_candidates(PROBE_ROWS, [r[0] * 3.0 for r in PROBE_ROWS])
    last = results[-1]
    del searcher, results
    gc.collect()
    assert isinstance(last.eval([1.0, 2.0, 3.0]), float)
    assert isinstance(last.to_latex(), str)


@pytest.mark.parametrize(
    "tokens, problem",
    [
        ([("var", 0), ("op", "Plus", 2)], "too few operands"),
        ([("var", 0), ("var", 1)], "do not form one formula"),
        ([("op", "Nope", 1)], "unknown operator"),
        ([("real", 1.0)], "unknown token kind"),
    ],
)
def test_results_from_postfix_tokens_are_checked(tokens, problem):
    with pytest.raises(ValueError, match=problem):
        _core._result_from_postfix(tokens, 0.0)


def test_a_result_rebuilt_from_its_postfix_is_the_same():
    x = np.random.default_rng(4).uniform(1, 2, (40, 2))
    result = vorn_sr.Searcher(max_complexity=5, beam_width=50).find_multivariate(x, 1.5 * x[:, 0] / (x[:, 1] + 0.25))
    rebuilt = _core._result_from_postfix(result._postfix(), result.error)
    assert (rebuilt.formula, rebuilt.error) == (result.formula, result.error)
    assert np.asarray(rebuilt.predict(x)).tobytes() == np.asarray(result.predict(x)).tobytes()
