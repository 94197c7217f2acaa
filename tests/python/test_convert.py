"""Input conversion: every accepted form, every rejection with its message.

Vectors are observed through `eval` on the v_{k} probes, rows through
`eval_batch`; the search entry points show the rejections.
"""

import array
import fractions
import math

import numpy as np
import pytest

import vorn_sr
from conftest import (
    EVAL_MESSAGE,
    MATRIX_MESSAGE,
    NOT_CONTIGUOUS_MESSAGE,
    VEC_MESSAGE,
    element,
    same_floats,
)


class Indexable:
    """Offers only an integer conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class LyingLength(list):
    """A list whose __len__ is absurd; the length only sizes the vector."""

    def __len__(self):
        return 2**62


def _strided_double():
    return np.arange(10.0)[::2]


def _read_only():
    values = np.array([2.0, 3.0])
    values.flags.writeable = False
    return values


def _big_endian():
    return np.array([1.5, -2.0, 3.25], dtype=">f8")


# (id, object, expected vector)
ACCEPTED_VECTORS = [
    ("list of floats", [1.5, -2.0, 3.25], [1.5, -2.0, 3.25]),
    ("ints, floats and bools", [1, 2.5, True], [1.0, 2.5, 1.0]),
    ("tuple", (1.0, 2.0), [1.0, 2.0]),
    ("range", range(3), [0.0, 1.0, 2.0]),
    ("array.array", array.array("d", [0.25, 0.5]), [0.25, 0.5]),
    ("fractions and __float__", [fractions.Fraction(1, 4), Floatable(-0.5)], [0.25, -0.5]),
    ("__index__ only", [Indexable(7), Indexable(-3)], [7.0, -3.0]),
    ("numpy scalars", [np.float32(0.5), np.int64(4), np.bool_(True)], [0.5, 4.0, 1.0]),
    ("nan and inf", [math.nan, math.inf, -math.inf], [math.nan, math.inf, -math.inf]),
    ("signed zero", [-0.0, 0.0], [-0.0, 0.0]),
    ("float64 array", np.array([1.5, -2.0, 3.25]), [1.5, -2.0, 3.25]),
    ("float32 array", np.array([1.5, -2.0], dtype=np.float32), [1.5, -2.0]),
    ("int array", np.array([3, -4, 5]), [3.0, -4.0, 5.0]),
    ("bool array", np.array([True, False]), [1.0, 0.0]),
    ("strided int array (element by element)", np.arange(10)[::2], [0.0, 2.0, 4.0, 6.0, 8.0]),
    ("big-endian float64 array", _big_endian(), [1.5, -2.0, 3.25]),
    ("read-only float64 array", _read_only(), [2.0, 3.0]),
    ("single-element strided view", np.arange(10.0)[3:4:2], [3.0]),
    ("list with absurd __len__", LyingLength([1.0, 2.0]), [1.0, 2.0]),
]


@pytest.mark.parametrize(
    "value, expected", [case[1:] for case in ACCEPTED_VECTORS], ids=[c[0] for c in ACCEPTED_VECTORS]
)
def test_vector_forms_convert_element_by_element(probes, value, expected):
    got = [probe.eval(value) for probe in probes]
    assert same_floats(got, [element(expected, k) for k in range(3)])


def test_fortran_ordered_and_unaligned_double_vectors_are_read_directly(probes):
    raw = np.zeros(8 * 4 + 1, dtype=np.uint8)[1:].view(np.float64)  # unaligned
    raw[:] = [4.0, -1.0, 0.5, 9.0]
    assert not raw.flags.aligned
    assert [p.eval(raw) for p in probes] == [4.0, -1.0, 0.5]


@pytest.mark.parametrize(
    "xs",
    [
        pytest.param("12", id="str"),
        pytest.param((x for x in [1.0]), id="generator"),
        pytest.param({1.0, 2.0}, id="set"),
        pytest.param({0: 1.0}, id="dict"),
        pytest.param(None, id="None"),
        pytest.param(5.0, id="bare float"),
        pytest.param([1.0, "2"], id="str element"),
        pytest.param([1.0, None], id="None element"),
        pytest.param([[1.0, 2.0]], id="nested list"),
        pytest.param([1.0, 1j], id="complex element"),
        pytest.param(np.array([[1.0, 2.0], [3.0, 4.0]]), id="2-D float64 array"),
        pytest.param(np.array(1.5), id="0-d array"),
        pytest.param(np.array(["1.5", "2.5"]), id="string array"),
    ],
)
@pytest.mark.parametrize("position", ["xs", "ys"])
def test_vector_rejections(xs, position):
    searcher = vorn_sr.Searcher(max_complexity=1)
    args = (xs, [1.0]) if position == "xs" else ([1.0], xs)
    with pytest.raises(ValueError) as info:
        searcher.find_function(*args)
    assert type(info.value) is ValueError
    assert info.value.args == (VEC_MESSAGE,)
    # The underlying failure is replaced, not chained.
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_non_contiguous_double_vector_is_a_type_error():
    with pytest.raises(TypeError) as info:
        vorn_sr.Searcher(max_complexity=1).find_function(_strided_double(), [1.0] * 5)
    assert info.value.args == (NOT_CONTIGUOUS_MESSAGE,)
    # Reversed views are not contiguous either.
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        vorn_sr.Searcher(max_complexity=1).find_function([1.0, 2.0], np.array([1.0, 2.0])[::-1])


def test_same_values_as_int_array_with_step_are_accepted():
    result = vorn_sr.Searcher(max_complexity=1).find_function(np.arange(10)[::2], [0, 2, 4, 6, 8])
    assert result.formula == "v_{0}"


def test_data_check_runs_before_length_check():
    with pytest.raises(ValueError, match=f"^{VEC_MESSAGE}$"):
        vorn_sr.Searcher(max_complexity=1).find_function("xyz", [1.0])


# (id, object, expected rows)
_grid = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0], [10.0, 11.0, 12.0]])

ACCEPTED_MATRICES = [
    ("list of lists", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    ("ragged rows", [[1, 2], [3]], [[1.0, 2.0], [3.0]]),
    ("tuple of tuples", ((1.0,), (2.0, True)), [[1.0], [2.0, 1.0]]),
    ("list of 1-D arrays", [np.array([1.0, 2.0]), np.arange(3)], [[1.0, 2.0], [0.0, 1.0, 2.0]]),
    ("list of strided double arrays", [np.arange(6.0)[::2]], [[0.0, 2.0, 4.0]]),
    ("empty list", [], []),
    ("empty rows", [[], []], [[], []]),
    ("C-ordered array", _grid, _grid.tolist()),
    ("transposed (Fortran) array", _grid[:3].T, _grid[:3].T.tolist()),
    ("explicit Fortran copy", np.asfortranarray(_grid), _grid.tolist()),
    ("reversed rows", _grid[::-1], _grid[::-1].tolist()),
    ("reversed columns", _grid[:, ::-1], _grid[:, ::-1].tolist()),
    ("both reversed", _grid[::-1, ::-1], _grid[::-1, ::-1].tolist()),
    ("strided rows and columns", _grid[::2, ::2], _grid[::2, ::2].tolist()),
    ("single column view", _grid[:, 1:2], _grid[:, 1:2].tolist()),
    ("0x3 array", np.zeros((0, 3)), []),
    ("3x0 array", np.zeros((3, 0)), [[], [], []]),
    ("int array", np.array([[1, 2], [3, 4]]), [[1.0, 2.0], [3.0, 4.0]]),
    ("float32 array", np.array([[0.5, 1.5]], dtype=np.float32), [[0.5, 1.5]]),
    ("big-endian array", np.array([[0.5, -1.5]], dtype=">f8"), [[0.5, -1.5]]),
    ("nan and inf", [[math.nan, math.inf], [-math.inf, -0.0]], [[math.nan, math.inf], [-math.inf, -0.0]]),
]


@pytest.mark.parametrize(
    "value, expected",
    [case[1:] for case in ACCEPTED_MATRICES],
    ids=[c[0] for c in ACCEPTED_MATRICES],
)
def test_matrix_forms_convert_row_by_row(probes, value, expected):
    for k, probe in enumerate(probes):
        got = probe.eval_batch(value)
        assert isinstance(got, list)
        assert same_floats(got, [element(row, k) for row in expected]), k


@pytest.mark.parametrize(
    "inputs",
    [
        pytest.param([1.0, 2.0], id="flat list"),
        pytest.param(np.array([1.0, 2.0]), id="1-D array"),
        pytest.param("ab", id="str"),
        pytest.param(["ab"], id="str row"),
        pytest.param([[1.0, "x"]], id="str element"),
        pytest.param([None], id="None row"),
        pytest.param([[None]], id="None element"),
        pytest.param(([1.0] for _ in range(2)), id="generator"),
        pytest.param([{1.0}], id="set row"),
        pytest.param([[[1.0]]], id="three levels"),
        pytest.param(np.zeros((2, 2, 2)), id="3-D array"),
        pytest.param(3.0, id="bare float"),
    ],
)
@pytest.mark.parametrize("entry", ["find_multivariate", "fit", "find_candidates", "eval_batch", "predict"])
def test_matrix_rejections(probes, inputs, entry):
    if entry in ("eval_batch", "predict"):
        call = lambda: getattr(probes[0], entry)(inputs)  # noqa: E731
    else:
        searcher = vorn_sr.Searcher(max_complexity=1)
        call = lambda: getattr(searcher, entry)(inputs, [1.0, 2.0])  # noqa: E731
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == (MATRIX_MESSAGE,)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_targets_of_a_multivariate_search_use_the_vector_rules():
    searcher = vorn_sr.Searcher(max_complexity=1)
    with pytest.raises(ValueError, match=f"^{VEC_MESSAGE}$"):
        searcher.find_multivariate([[1.0], [2.0]], [[1.0], [2.0]])
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS_MESSAGE}$"):
        searcher.fit([[1.0], [2.0]], np.arange(4.0)[::2])


def test_conversion_copies_the_array(probes):
    data = np.array([[1.0, 2.0, 3.0]])
    first = probes[2].eval_batch(data)
    data[0, 2] = -7.0
    assert first == [3.0]
    assert probes[2].eval_batch(data) == [-7.0]


class Emptying:
    """Converts to `value` and empties the list `owner` on the way."""

    def __init__(self, value):
        self.value = value
        self.owner = None

    def __float__(self):
        self.owner.clear()
        return self.value


def _row_emptied_while_read():
    item = Emptying(2.0)
    rows = [[1.0, item, 3.0], [4.0, 5.0]]
    item.owner = rows[0]
    return rows


def _rows_emptied_while_read():
    item = Emptying(2.0)
    rows = [[1.0], [item], [3.0]]
    item.owner = rows
    return rows


# A list that shrinks while it is read ends where its iterator would end.
@pytest.mark.parametrize(
    "make, expected",
    [
        pytest.param(_row_emptied_while_read, [[1.0, 2.0], [4.0, 5.0]], id="row"),
        pytest.param(_rows_emptied_while_read, [[1.0], [2.0]], id="outer list"),
    ],
)
def test_lists_emptied_while_read(probes, make, expected):
    for k, probe in enumerate(probes[:2]):
        assert same_floats(probe.eval_batch(make()), [element(row, k) for row in expected]), k


# eval: a number first, then the vector rules.
@pytest.mark.parametrize(
    "x, expected",
    [
        pytest.param(2, [2.0], id="int"),
        pytest.param(2.0, [2.0], id="float"),
        pytest.param(True, [1.0], id="bool"),
        pytest.param(np.float32(2.0), [2.0], id="numpy scalar"),
        pytest.param(np.array(2.0), [2.0], id="0-d array"),
        pytest.param(Indexable(2), [2.0], id="__index__"),
        pytest.param([2.0], [2.0], id="list"),
        pytest.param(np.array([2.0]), [2.0], id="1-element array"),
        pytest.param((2.0, -1.0, 0.5), [2.0, -1.0, 0.5], id="tuple"),
        pytest.param(np.array([2, -1, 3]), [2.0, -1.0, 3.0], id="int array"),
        pytest.param([], [], id="empty list"),
    ],
)
def test_eval_input_forms(probes, x, expected):
    got = [probe.eval(x) for probe in probes]
    assert same_floats(got, [element(expected, k) for k in range(3)])


@pytest.mark.parametrize(
    "x",
    [
        pytest.param("2", id="str"),
        pytest.param(None, id="None"),
        pytest.param([[2.0]], id="nested list"),
        pytest.param({"a": 1.0}, id="dict"),
        pytest.param(["2"], id="list of str"),
        # The vector rule's own TypeError is replaced here as well.
        pytest.param(np.arange(6.0)[::2], id="non-contiguous double array"),
    ],
)
def test_eval_rejections(probes, x):
    with pytest.raises(ValueError) as info:
        probes[0].eval(x)
    assert info.value.args == (EVAL_MESSAGE,)
    assert info.value.__cause__ is None and info.value.__context__ is None
