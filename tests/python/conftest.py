"""Shared helpers for the vorn_sr tests.

Much of the module is observed through "probe" results: a search over data
whose target is exactly one input column finds that column's bare variable
v_{k} at level 1. Evaluating such a result returns element k of whatever the
input conversion produced, so probes make the converted vectors visible from
Python without any test-only hook in the module.
"""

import math
import operator
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import vorn_sr

settings.register_profile(
    "vorn",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=120,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.load_profile("vorn")

# No column is constant or equal to another, so only v_{k} fits column k.
PROBE_ROWS = [
    [0.5, -1.25, 3.0],
    [2.0, 4.5, -0.75],
    [-3.5, 1.0, 6.25],
    [1.5, -2.0, 0.25],
]

VEC_MESSAGE = "Input must be a 1D list or NumPy array of floats"
MATRIX_MESSAGE = "Input must be a 2D list or 2D NumPy array of floats"
EVAL_MESSAGE = "Input must be a float or a 1D list/array"
NOT_CONTIGUOUS_MESSAGE = "The given array is not contiguous"
DIMENSION_MESSAGE = "Inputs and target vector must be non-empty and equal length."


def _make_probes():
    searcher = vorn_sr.Searcher(max_complexity=1)
    probes = []
    for k in range(3):
        result = searcher.find_multivariate(PROBE_ROWS, [row[k] for row in PROBE_ROWS])
        assert result.formula == f"v_{{{k}}}", result
        probes.append(result)
    return probes


@pytest.fixture(scope="session")
def probes():
    """Results whose formulas are v_{0}, v_{1} and v_{2}."""
    return _make_probes()


def same_float(a, b):
    """Equal as doubles: NaN matches NaN, and the sign of zero counts."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def same_floats(xs, ys):
    return len(xs) == len(ys) and all(same_float(a, b) for a, b in zip(xs, ys))


def element(values, k):
    return values[k] if k < len(values) else math.nan


# ---------------------------------------------------------------------------
# A Python model of the input conversion rules, for differential tests.


class Rejected(Exception):
    def __init__(self, kind, message):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def model_number(x):
    """The interpreter's float conversion (not float(): that also parses text)."""
    if isinstance(x, float):
        return float(x)
    kind = type(x)
    to_float = getattr(kind, "__float__", None)
    if to_float is not None:
        value = to_float(x)
        if not isinstance(value, float):
            raise TypeError("__float__ returned non-float")
        return float(value)
    if getattr(kind, "__index__", None) is not None:
        return float(operator.index(x))
    raise TypeError("not a number")


def _is_sequence(x):
    return not isinstance(x, dict) and getattr(type(x), "__getitem__", None) is not None


def _sequence_numbers(x):
    if isinstance(x, str) or not _is_sequence(x):
        raise TypeError("not a sequence")
    return [model_number(item) for item in iter(x)]


def _double_array(x, ndim):
    return isinstance(x, np.ndarray) and x.ndim == ndim and x.dtype == np.dtype(np.float64)


def model_vec(x):
    if _double_array(x, 1):
        if not (x.flags.c_contiguous or x.flags.f_contiguous):
            raise Rejected(TypeError, NOT_CONTIGUOUS_MESSAGE)
        return [float(v) for v in x]
    try:
        return _sequence_numbers(x)
    except Exception:
        raise Rejected(ValueError, VEC_MESSAGE) from None


def model_matrix(x):
    if _double_array(x, 2):
        return [[float(v) for v in row] for row in x]
    try:
        if isinstance(x, str) or not _is_sequence(x):
            raise TypeError("not a sequence")
        return [_sequence_numbers(item) for item in iter(x)]
    except Exception:
        raise Rejected(ValueError, MATRIX_MESSAGE) from None


def model_eval_inputs(x):
    if not (isinstance(x, np.ndarray) and x.ndim > 0):
        try:
            return [model_number(x)]
        except Exception:
            pass
    try:
        return model_vec(x)
    except Rejected:
        raise Rejected(ValueError, EVAL_MESSAGE) from None
