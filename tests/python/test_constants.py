"""recognize_constant: textbook constants come back as exact closed forms,
numbers without one fall back to a fitted constant, and every number gets
its answer in a few seconds."""

import cmath
import math
import time

import pytest

from vorn_sr import Searcher, VornComplexityError

sp = pytest.importorskip("sympy")
from vorn_sr.sympy import constant_to_sympy  # noqa: E402  (needs SymPy)

# The whole call is budgeted to 4.5 s; the bounds leave room for a busy machine.
FALLBACK_SECONDS = 8.0


def recognize(value):
    start = time.monotonic()
    result = Searcher().recognize_constant(value)
    return result, time.monotonic() - start


def fitted(result):
    return any(token[0] == "param" for token in result._postfix())


UNARY = {
    "Neg": lambda a: -a, "Inv": lambda a: 1 / a, "Exp": cmath.exp, "Log": cmath.log, "Sqrt": cmath.sqrt,
    "Sin": cmath.sin, "Cos": cmath.cos, "Tan": cmath.tan, "ArcSin": cmath.asin, "ArcCos": cmath.acos,
    "ArcTan": cmath.atan, "Square": lambda a: a * a, "Cube": lambda a: a * a * a,
}
BINARY = {
    "VORN": lambda a, b: cmath.exp(a) - cmath.log(b), "Plus": lambda a, b: a + b,
    "Times": lambda a, b: a * b, "Subtract": lambda a, b: a - b, "Divide": lambda a, b: a / b,
}


def complex_value(result):
    """The closed form's complex value with its variable at 0."""
    stack = []
    for token in result._postfix():
        if token[0] == "var":
            stack.append(0j)
        elif token[2] == 1:
            stack.append(UNARY[token[1]](stack.pop()))
        else:
            b, a = stack.pop(), stack.pop()
            stack.append(BINARY[token[1]](a, b))
    return stack[0]


@pytest.mark.parametrize(
    "exact",
    [sp.sqrt(3), sp.log(3), sp.GoldenRatio, sp.Rational(22, 7), sp.sqrt(2) + sp.sqrt(3), sp.log(sp.pi)],
    ids=["sqrt3", "ln3", "golden", "22/7", "sqrt2+sqrt3", "ln_pi"],
)
def test_textbook_constants_come_back_exactly(exact):
    result, seconds = recognize(float(sp.N(exact, 30)))
    assert not fitted(result), result.formula
    difference = sp.N(constant_to_sympy(result) - exact, 60)
    assert abs(difference) < sp.Float(10) ** -40, result.formula
    # Real, not merely with a matching real part (ln pi + i pi/2 is no answer).
    assert abs(complex_value(result).imag) < 1e-12, result.formula
    assert seconds < FALLBACK_SECONDS


@pytest.mark.parametrize(
    "value",
    [0.5772156649015329, 0.915965594177219, 1.2020569031595942, 1.2345678],
    ids=["euler_gamma", "catalan", "zeta3", "1.2345678"],
)
def test_numbers_without_a_closed_form_fall_back_in_time(value):
    result, seconds = recognize(value)
    assert fitted(result), result.formula
    assert result.error <= 1e-10
    assert seconds < FALLBACK_SECONDS


@pytest.mark.parametrize(
    "value",
    [5e-324, 0.0, -0.0, -2.5, 1e300, 2.0**60, 2.0**53 + 2],
    ids=["subnormal", "zero", "negative_zero", "negative", "1e300", "2^60", "above_2^53"],
)
def test_awkward_numbers_are_answered_in_time(value):
    start = time.monotonic()
    try:
        result = Searcher().recognize_constant(value)
    except VornComplexityError as e:
        assert str(e) == "No formula found up to complexity 10"
    else:
        if abs(value) < 1e15:  # beyond, no formula's value can be represented
            assert result.eval(0.0) == pytest.approx(value, rel=1e-9, abs=1e-12), result.formula
    assert time.monotonic() - start < FALLBACK_SECONDS
