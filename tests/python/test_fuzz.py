"""Property tests: arbitrary Python data at every entry point gives either a
result or a clear exception, and the conversions agree with a model of their
rules."""

import math
import operator

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vorn_sr
from conftest import (
    DIMENSION_MESSAGE,
    Rejected,
    element,
    model_eval_inputs,
    model_matrix,
    model_number,
    model_vec,
    same_float,
    same_floats,
)

# NumPy 1.x warns when a one-element array is read as a number, which random
# nested data does all the time; the conversion itself is what is tested.
pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array with ndim:DeprecationWarning")

leaves = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(10**20), max_value=10**20),
    st.sampled_from([10**400, -(10**400), True, False, None, "1.5", "", b"\x01", 1j, np.float32(2.5), np.int8(-3)]),
)

nested = st.recursive(
    leaves,
    lambda children: st.one_of(st.lists(children, max_size=5), st.tuples(children, children)),
    max_leaves=24,
)

dtypes = st.one_of(
    hnp.scalar_dtypes(),
    hnp.floating_dtypes(endianness=">"),
    hnp.integer_dtypes(endianness=">"),
    hnp.byte_string_dtypes(max_len=3),
    hnp.unicode_string_dtypes(max_len=3),
)


def _view(array, how):
    if array.ndim == 0 or how == "as is":
        return array
    if how == "transposed":
        return array.T
    if how == "reversed":
        return array[::-1]
    if how == "last axis reversed":
        return array[..., ::-1]
    return array[::2]  # strided


plain_arrays = st.builds(
    _view,
    hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)),
    st.sampled_from(["as is", "transposed", "reversed", "last axis reversed", "strided"]),
)

object_arrays = hnp.arrays(
    np.dtype(object), hnp.array_shapes(min_dims=1, max_dims=2, max_side=3), elements=leaves
)

# Float64 arrays, read directly by the module, in every layout: NaN, inf and
# signed zeros included, with transposed, reversed and strided views.
float64_arrays = st.builds(
    _view,
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=1, max_dims=2, max_side=5),
        elements=st.one_of(st.floats(), st.sampled_from([math.nan, math.inf, -math.inf, -0.0])),
    ),
    st.sampled_from(["as is", "transposed", "reversed", "last axis reversed", "strided"]),
)

data = st.one_of(nested, plain_arrays, object_arrays, float64_arrays, leaves)


def _outcome(call):
    try:
        return ("value", call())
    except Exception as e:  # a BaseException that is not an Exception fails the test
        return ("raised", e)


def _check_rejection(outcome, rejected):
    kind, value = outcome
    assert kind == "raised", f"accepted, expected {rejected.kind.__name__}: {rejected.message}"
    assert type(value) is rejected.kind
    assert value.args == (rejected.message,)


def _probes():
    searcher = vorn_sr.Searcher(max_complexity=1)
    rows = [[0.5, -1.25, 3.0], [2.0, 4.5, -0.75], [-3.5, 1.0, 6.25]]
    return [searcher.find_multivariate(rows, [r[k] for r in rows]) for k in range(3)]


PROBES = _probes()


@given(data)
def test_eval_agrees_with_the_model(x):
    try:
        expected = model_eval_inputs(x)
    except Rejected as r:
        for probe in PROBES:
            _check_rejection(_outcome(lambda: probe.eval(x)), r)
        return
    got = [probe.eval(x) for probe in PROBES]
    assert same_floats(got, [element(expected, k) for k in range(3)])


@given(data)
def test_row_conversion_agrees_with_the_model(x):
    try:
        expected = model_matrix(x)
    except Rejected as r:
        for probe in PROBES:
            _check_rejection(_outcome(lambda: probe.eval_batch(x)), r)
        _check_rejection(_outcome(lambda: PROBES[0].predict(x)), r)
        return
    for k, probe in enumerate(PROBES):
        assert same_floats(probe.eval_batch(x), [element(row, k) for row in expected])
    assert same_floats(PROBES[0].predict(x), PROBES[0].eval_batch(x))


TINY = vorn_sr.Searcher(max_complexity=2, beam_width=4)

options = st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True), st.sampled_from([0, 1, "0.5", [0.1]]))


def _expect_search(outcome, lengths, expect_list=False, max_complexity=2):
    """A search on converted data: Dimension for bad lengths, else a result
    or NoFormula."""
    kind, value = outcome
    n_rows, n_targets = lengths
    if n_rows != n_targets or n_rows == 0:
        assert kind == "raised" and type(value) is vorn_sr.VornDimensionError
        assert value.args == (DIMENSION_MESSAGE,)
        return
    if kind == "raised":
        assert type(value) is vorn_sr.VornComplexityError, repr(value)
        assert value.args == ("No formula found up to complexity 2",)
        return
    results = value if expect_list else [value]
    assert results and all(type(r) is vorn_sr.SearchResult for r in results)
    for r in results:
        assert isinstance(r.formula, str) and 1 <= r.complexity <= max_complexity
        assert not math.isnan(r.error)
        repr(r), r.to_latex(), r.to_python()


def _argument_failure(name, value):
    """The model of binding one float argument: None when it converts, else
    the expected exception type and message prefix. Only a TypeError gets the
    argument's name; any other error (OverflowError) passes unchanged."""
    try:
        model_number(value)
    except TypeError:
        return TypeError, f"argument '{name}': "
    except Exception as e:
        return type(e), ""
    return None


def _options_failure(alpha, l1_ratio):
    for name, value in (("alpha", alpha), ("l1_ratio", l1_ratio)):
        if value is not None:
            failure = _argument_failure(name, value)
            if failure:
                return failure
    return None


def _check_argument_error(outcome, failure):
    kind, value = outcome
    assert kind == "raised" and type(value) is failure[0], outcome
    assert str(value).startswith(failure[1])


@given(data, data, options, options)
def test_find_function_never_crashes(xs, ys, alpha, l1_ratio):
    outcome = _outcome(lambda: TINY.find_function(xs, ys, alpha=alpha, l1_ratio=l1_ratio))
    failure = _options_failure(alpha, l1_ratio)
    if failure:
        _check_argument_error(outcome, failure)
        return
    try:
        lengths = (len(model_vec(xs)), len(model_vec(ys)))
    except Rejected as r:
        _check_rejection(outcome, r)
        return
    _expect_search(outcome, lengths)


@given(data, data, options, st.sampled_from(["find_multivariate", "fit", "find_candidates"]))
def test_row_searches_never_crash(inputs, ys, alpha, method):
    outcome = _outcome(lambda: getattr(TINY, method)(inputs, ys, alpha=alpha))
    failure = _options_failure(alpha, None)
    if failure:
        _check_argument_error(outcome, failure)
        return
    try:
        rows = model_matrix(inputs)
        targets = model_vec(ys)
    except Rejected as r:
        _check_rejection(outcome, r)
        return
    _expect_search(outcome, (len(rows), len(targets)), expect_list=method == "find_candidates")


@given(data, options)
def test_recognize_constant_never_crashes(value, l1_ratio):
    outcome = _outcome(lambda: TINY.recognize_constant(value, l1_ratio=l1_ratio))
    failure = _argument_failure("value", value) or _options_failure(None, l1_ratio)
    if failure:
        _check_argument_error(outcome, failure)
        return
    # A closed form may join two formulas of up to max_complexity tokens.
    _expect_search(outcome, (1, 1), max_complexity=2 * 2 + 1)


sizes = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([None, 2.0, "3", True, np.int16(7), np.float64(1.0)]),
)
reals = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-(2**70), 2**70), st.sampled_from([None, "0.1", np.float32(0.25), [1.0]]))


def _model_size(value):
    index = operator.index(value)  # TypeError for non-integers
    if not 0 <= index < 2**64:
        raise OverflowError
    return index


@given(sizes, reals, sizes, reals, reals)
def test_constructor_never_crashes(max_complexity, complexity_penalty, beam_width, alpha, l1_ratio):
    args = {
        "max_complexity": max_complexity,
        "complexity_penalty": complexity_penalty,
        "beam_width": beam_width,
        "alpha": alpha,
        "l1_ratio": l1_ratio,
    }
    outcome = _outcome(lambda: vorn_sr.Searcher(**args))
    expected = {}
    for name, value in args.items():
        converter = _model_size if name in ("max_complexity", "beam_width") else model_number
        try:
            expected[name] = converter(value)
        except Exception as e:
            prefix = f"argument '{name}': " if type(e) is TypeError else ""
            _check_argument_error(outcome, (type(e), prefix))
            return
    kind, searcher = outcome
    assert kind == "value", searcher
    for name, value in expected.items():
        if name in ("max_complexity", "beam_width"):
            assert getattr(searcher, name) == value
        else:
            assert same_float(getattr(searcher, name), value)
