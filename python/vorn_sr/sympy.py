"""Export of search results as SymPy expressions.

``to_sympy(result)`` rebuilds a result's formula operator by operator:
Plus, Times, Subtract and Divide become ``+ * - /``, Neg and Inv ``-a`` and
``1/a``, Square and Cube ``a**2`` and ``a**3``, Exp, Log, Sqrt, Sin, Cos, Tan,
ArcSin, ArcCos and ArcTan SymPy's ``exp``, ``log``, ``sqrt``, ``sin``,
``cos``, ``tan``, ``asin``, ``acos`` and ``atan``, and VORN(a, b) becomes
``exp(a) - log(b)``. Input k is the real symbol ``x<k>`` (or the k-th of
``feature_names``), fitted constants are SymPy Floats holding the fitted
double exactly, and the named constants are SymPy's exact ``0``, ``1``, ``I``,
``pi`` and ``E``.

The value of a formula is the real part of its value in complex arithmetic.
The export says so only where it matters: a formula built from real
constants, the variables and the operators that map reals to reals (Plus,
Times, Subtract, Divide, Neg, Inv, Exp, Sin, Cos, Tan, ArcTan, Square, Cube)
comes back as it is; one that uses Log, Sqrt, ArcSin, ArcCos, VORN or a
non-real constant comes back wrapped in an unevaluated ``re(...)``, unless
SymPy itself proves the expression real (``log(x0**2 + 1)``, say).

Branches. The engine's functions are the principal branches SymPy also
uses: ``log`` with its imaginary part in (-pi, pi], ``sqrt`` with a
non-negative real part, ``asin`` as ``-i log(iz + sqrt(1 - z**2))``, ``acos``
as ``pi/2 - asin``, ``atan`` as ``(i/2)(log(1 - iz) - log(1 + iz))``. ArcSin,
ArcCos and ArcTan agree with SymPy everywhere, on their cuts too
(``asin(2)`` is ``pi/2 - 1.3170i`` in both). Log, Sqrt and the logarithm in
VORN differ on the negative real axis: the engine computes with signed zeros,
as IEEE complex arithmetic does, and at a negative number whose zero
imaginary part is -0 (``Neg(v_{0})`` at v_{0} = 2 is -2 - 0i) it takes the
lower side of the cut, ``log|u| - i*pi`` and ``-i*sqrt(|u|)``, the complex
conjugates of SymPy's ``log|u| + i*pi`` and ``i*sqrt(|u|)``.

The export follows the engine there wherever the sign of that zero does not
depend on the inputs, and writes ``conjugate(log(u))`` or
``conjugate(sqrt(u))`` where it is -0 (both equal SymPy's plain function
wherever u is positive). That covers every subformula that reads no
variable, whose value is known, and every argument built from the variables
with Neg, Plus, Subtract, Exp, Cube and ArcTan and with products and
quotients involving such constants: ``ArcTan(Sqrt(Neg(v_{0})))`` becomes
``re(atan(conjugate(sqrt(-x0))))``, which is -pi/2 at x0 > 1 as in the
engine. (Directly under the final ``re`` a conjugate changes nothing and is
left out.) Where the sign follows the sign of some value (the
engine's ``Inv(x)``, ``Square(x)``, ``Sin(x)`` of a real x carry -0 exactly
where x, x or cos(x) is negative) the export uses SymPy's branch. That changes
the imaginary part of the subformula only, so the value still agrees unless
that imaginary part reaches the real part later: multiplied by another
non-real value, or landing on the cut of a later function, as in
``ArcTan(Sqrt(Inv(v_{0})))`` at -1 < v_{0} < 0, where the engine gives -pi/2
and the export pi/2. Independently of signed zeros, a value that should lie
exactly on a cut but carries a rounding error in the engine (``Tan`` of
``ArcSin(v_{0})`` at |v_{0}| > 1, say) takes the side its rounding error
points to, while SymPy's exact value lies on the cut itself.

Domains. The engine treats a formula as undefined (NaN) wherever a division
by zero, a logarithm of zero or a pole of Tan or ArcTan occurs, and wherever
an intermediate value reaches 1e15 in either part. The SymPy expression
carries no such restriction; on the engine's domain the two agree.

Constants. ``recognize_constant`` describes a number by a formula in its one
variable read at 0, and its answers know it: for them ``to_sympy`` gives that
number exactly, as ``constant_to_sympy`` does for any result:
``to_sympy(Searcher().recognize_constant(math.pi))`` is ``pi``. With every
value known the conversion follows the engine's side of every cut. The
formula itself, as a function of x0, is ``to_sympy`` of the same tokens from
any other search.

SymPy is an optional dependency (``pip install 'vorn_sr[sympy]'``); this
module imports it only when a function is called.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Sequence
from typing import Any, NamedTuple

from vorn_sr._core import SearchResult

__all__ = ["to_sympy", "constant_to_sympy"]

# Operators whose value at real operands is real; anything else may leave the
# real axis and puts the expression under re().
_REAL_OPERATORS = frozenset(
    {"Neg", "Inv", "Plus", "Times", "Subtract", "Divide", "Exp", "Sin", "Cos", "Tan", "ArcTan", "Square", "Cube"}
)
_ARITY = {"VORN": 2, "Plus": 2, "Times": 2, "Subtract": 2, "Divide": 2}
_ARITY.update({name: 1 for name in _REAL_OPERATORS | {"Log", "Sqrt", "ArcSin", "ArcCos"} if name not in _ARITY})

_VALUE_LIMIT = 1e15


def _import_sympy() -> Any:
    try:
        # Absolute import of the real package: this module's own name is
        # vorn_sr.sympy, never the top-level "sympy".
        return importlib.import_module("sympy")
    except ImportError as exc:
        raise ImportError("vorn_sr.sympy needs SymPy: pip install 'vorn_sr[sympy]'") from exc


def _float(sp: Any, value: float) -> Any:
    # Float(x, 17) converts the double's binary value exactly (17 significant
    # digits are 60 bits, more than the double's 53) and prints 17 digits,
    # which is what it takes for every double to read back as itself, so
    # neither the expression nor any code printed from it loses a digit.
    # (Float(x) alone keeps the bits too but prints only 15 digits.)
    if math.isinf(value):
        return sp.oo if value > 0 else -sp.oo
    return sp.Float(value, 17)


def _complex_value(sp: Any, re: float, im: float) -> Any:
    if im == 0.0:
        return _float(sp, re)
    if re == 0.0:
        return _float(sp, im) * sp.I
    return _float(sp, re) + _float(sp, im) * sp.I


def _named_constants(sp: Any) -> dict[str, Any]:
    # The engine's registry names 0 and 1 by their digits; the spelled-out
    # names are accepted too.
    return {"Zero": sp.S.Zero, "0": sp.S.Zero, "One": sp.S.One, "1": sp.S.One, "I": sp.I, "Pi": sp.pi, "E": sp.E}


# ---------------------------------------------------------------------------
# The engine's complex arithmetic on (re, im) pairs of floats, operation for
# operation, so that the sign of every zero comes out as it does there (the
# last bit of a value may differ where CPython's math functions differ from
# the C library's, e.g. hypot). It runs only on subformulas that read no
# variable, to learn which side of a cut the engine's Log and Sqrt take
# there; None stands for "undefined", as do values the engine rejects.

def _limit(z: tuple[float, float] | None) -> tuple[float, float] | None:
    if z is None or not (abs(z[0]) < _VALUE_LIMIT and abs(z[1]) < _VALUE_LIMIT):
        return None
    return z


def _mul(u, v):
    return (u[0] * v[0] - u[1] * v[1], u[1] * v[0] + u[0] * v[1])


def _div(u, v):
    if v[0] == 0.0 and v[1] == 0.0:
        return None
    n = v[0] * v[0] + v[1] * v[1]
    return ((u[0] * v[0] + u[1] * v[1]) / n, (u[1] * v[0] - u[0] * v[1]) / n)


def _ln(u):
    modulus = abs(u[0]) if u[1] == 0.0 else math.hypot(u[0], u[1])
    if modulus == 0.0:
        return None
    return (math.log(modulus), math.atan2(u[1], u[0]))


def _sqrt(u):
    if u[1] == 0.0:
        if math.copysign(1.0, u[0]) > 0:
            return (math.sqrt(u[0]), u[1])
        return (0.0, math.copysign(math.sqrt(-u[0]), u[1]))
    if u[0] == 0.0:
        t = math.sqrt(abs(u[1]) * 0.5)
        return (t, -t) if math.copysign(1.0, u[1]) < 0 else (t, t)
    r, theta = math.hypot(u[0], u[1]), math.atan2(u[1], u[0])
    return (math.sqrt(r) * math.cos(theta * 0.5), math.sqrt(r) * math.sin(theta * 0.5))


def _exp(u):
    try:
        m = math.exp(u[0])
    except OverflowError:
        return None
    if u[1] == 0.0:
        return (m, m * u[1])
    return (m * math.cos(u[1]), m * math.sin(u[1]))


def _sin(z):
    if z[1] == 0.0:
        return (math.sin(z[0]), math.cos(z[0]) * z[1])
    return (math.sin(z[0]) * math.cosh(z[1]), math.cos(z[0]) * math.sinh(z[1]))


def _cos(z):
    if z[1] == 0.0:
        return (math.cos(z[0]), -math.sin(z[0]) * z[1])
    return (math.cos(z[0]) * math.cosh(z[1]), -math.sin(z[0]) * math.sinh(z[1]))


def _square(z):
    return (z[0] * z[0] - z[1] * z[1], z[0] * z[1] + z[0] * z[1])


def _arc_log(z):
    one_minus_zz = ((z[1] * z[1] - z[0] * z[0]) + 1.0, 0.0 - (z[0] * z[1] + z[0] * z[1]))
    iz = _mul((0.0, 1.0), z)
    root = _sqrt(one_minus_zz)
    return _ln((iz[0] + root[0], iz[1] + root[1]))


def _arctan(z):
    w = _mul((0.0, 1.0), z)
    lower, upper = (1.0 - w[0], 0.0 - w[1]), (w[0] + 1.0, w[1] + 0.0)
    la, lb = _ln(lower), _ln(upper)
    if la is None or lb is None:
        return None
    d = (la[0] - lb[0], la[1] - lb[1])
    return (0.0 * d[0] - 0.5 * d[1], 0.5 * d[0] + 0.0 * d[1])


def _apply(name: str, a, b=None):
    """The engine's value of one operator, or None where it is undefined."""
    try:
        if name == "Neg":
            return (-a[0], -a[1])
        if name == "Inv":
            return _div((1.0, 0.0), a)
        if name == "Plus":
            return (a[0] + b[0], a[1] + b[1])
        if name == "Subtract":
            return (a[0] - b[0], a[1] - b[1])
        if name == "Times":
            return _mul(a, b)
        if name == "Divide":
            return _div(a, b)
        if name == "Exp":
            return _exp(a)
        if name == "Log":
            return _ln(a)
        if name == "Sqrt":
            return _sqrt(a)
        if name == "Sin":
            return _sin(a)
        if name == "Cos":
            return _cos(a)
        if name == "Tan":
            c = _cos(a)
            return None if c == (0.0, 0.0) else _div(_sin(a), c)
        if name == "ArcSin":
            lg = _arc_log(a)
            return None if lg is None else _mul((-0.0, -1.0), lg)
        if name == "ArcCos":
            lg = _arc_log(a)
            if lg is None:
                return None
            il = _mul((0.0, 1.0), lg)
            return (1.5707963267948966 + il[0], 0.0 + il[1])
        if name == "ArcTan":
            return _arctan(a)
        if name == "Square":
            return _square(a)
        if name == "Cube":
            return _mul(_square(a), a)
        if name == "VORN":
            e, lg = _exp(a), _ln(b)
            return None if e is None or lg is None else (e[0] - lg[0], e[1] - lg[1])
    except (OverflowError, ValueError, ZeroDivisionError):
        # Where C++ arithmetic gives an infinity or NaN, which the engine
        # then rejects, Python raises.
        return None
    raise AssertionError(name)


# The sign of a zero imaginary part, as +1.0 or -1.0, or None when it is not
# known. Sums and products of zeros follow IEEE rules: +0 + (±0) is +0, -0 + -0
# is -0, and a product's sign is the product of its factors' signs.

def _flip(s: float | None) -> float | None:
    return None if s is None else -s


def _times(s: float | None, t: float | None) -> float | None:
    return None if s is None or t is None else s * t


def _plus(s: float | None, t: float | None) -> float | None:
    if s == 1.0 or t == 1.0:
        return 1.0
    return -1.0 if s == t == -1.0 else None


def _variable_names(feature_names: Any, used: int) -> list[str]:
    if feature_names is None:
        return [f"x{k}" for k in range(used)]
    if isinstance(feature_names, (str, bytes)):
        raise TypeError("feature_names must be a sequence of str, not a single string")
    try:
        names = list(feature_names)
    except TypeError:
        raise TypeError(f"feature_names must be a sequence of str, not {type(feature_names).__name__}") from None
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"feature_names must hold str, got {type(name).__name__}: {name!r}")
    if len(names) < used:
        raise ValueError(f"the formula reads input {used - 1}, so feature_names needs {used} names, not {len(names)}")
    if len(set(names[:used])) != used:
        raise ValueError("feature_names must not repeat a name: two inputs would become one symbol")
    return names[:used]


class _Node(NamedTuple):
    """One subformula during the conversion."""

    expr: Any
    # The engine's value when the subformula reads no variable (or every
    # variable reads 0), else None.
    value: tuple[float, float] | None
    # Real at every real input: only real leaves and operators in
    # _REAL_OPERATORS below it.
    real: bool
    # The sign of the engine's zero imaginary part where the subformula is
    # real, when that sign is the same at every input; else None.
    sign: float | None


def _constant(expr: Any, value: tuple[float, float], real: bool) -> _Node:
    return _Node(expr, value, real, math.copysign(1.0, value[1]) if value[1] == 0.0 else None)


def _static_sign(name: str, a: _Node, b: _Node | None) -> float | None:
    """The zero imaginary part's sign of a real operator at real operands,
    where the engine's arithmetic fixes it whatever the inputs are."""
    re_a = None if a.value is None else math.copysign(1.0, a.value[0])
    re_b = None if b is None or b.value is None else math.copysign(1.0, b.value[0])
    if name == "Neg":
        return _flip(a.sign)
    if name == "Plus":
        return _plus(a.sign, b.sign)
    if name == "Subtract":
        return _plus(a.sign, _flip(b.sign))
    if name in ("Exp", "Cube"):
        # exp(re) * im, and re*im*re + re*re*im: the factors besides im are
        # positive or come in pairs.
        return a.sign
    if name == "ArcTan":
        # Both logarithms have the same modulus, so the imaginary part is
        # 0.5 * (+0) plus a zero: +0 always.
        return 1.0
    if name == "Times":
        return _plus(_times(a.sign, re_b), _times(re_a, b.sign))
    if name == "Divide":
        return _plus(_times(a.sign, re_b), _flip(_times(re_a, b.sign)))
    if name == "Inv":
        # Divide with a = 1 + 0i.
        return _plus(re_a, _flip(a.sign))
    # Square, Sin, Cos, Tan: the sign follows the sign of a real part.
    return None


def _convert(sp: Any, result: Any, feature_names: Any, at_zero: bool) -> Any:
    """The formula of `result` as a SymPy expression.

    With `at_zero` every variable reads 0, and the whole formula is a constant
    whose branches can be followed as the engine takes them.
    """
    if not isinstance(result, SearchResult):
        raise TypeError(f"expected a vorn_sr.SearchResult, got {type(result).__name__}")
    tokens = result._postfix()
    used = 1 + max((token[1] for token in tokens if token[0] == "var"), default=-1)
    names = [] if at_zero else _variable_names(feature_names, used)
    symbols = [sp.Symbol(name, real=True) for name in names]
    named = _named_constants(sp)

    stack: list[_Node] = []
    for token in tokens:
        kind = token[0]
        if kind == "var":
            if at_zero:
                stack.append(_constant(sp.S.Zero, (0.0, 0.0), True))
            else:
                # The engine widens an input x to x + 0i.
                stack.append(_Node(symbols[token[1]], None, True, 1.0))
        elif kind == "param":
            re, im = float(token[1]), float(token[2])
            stack.append(_constant(_complex_value(sp, re, im), (re, im), im == 0.0))
        elif kind == "real":
            value = float(token[1])
            # An integral fixed constant is that integer exactly.
            expr = sp.Integer(int(value)) if value.is_integer() else _float(sp, value)
            stack.append(_constant(expr, (value, 0.0), True))
        elif kind == "const":
            name, re, im = token[1], float(token[2]), float(token[3])
            expr = named.get(name)
            if expr is None:
                expr = _complex_value(sp, re, im)
            stack.append(_constant(expr, (re, im), im == 0.0))
        elif kind == "op":
            name, arity = token[1], token[2]
            if _ARITY.get(name) != arity:
                raise ValueError(f"unknown operator {name!r} of arity {arity} in {result.formula}")
            if len(stack) < arity:
                raise ValueError(f"malformed formula {result.formula}: {name} lacks operands")
            operands = stack[len(stack) - arity:]
            del stack[len(stack) - arity:]
            stack.append(_operator(sp, name, *operands))
        else:
            raise ValueError(f"unknown token {token!r} in {result.formula}")
    if len(stack) != 1:
        raise ValueError(f"malformed formula {result.formula}: {len(stack)} values left")
    top = stack[0]
    if top.real or top.expr.is_extended_real:
        return top.expr
    expr = _without_outer_conjugates(sp, top.expr)
    # A number's real part is worth evaluating; a formula's stays unevaluated,
    # since SymPy would rewrite re(sqrt(x)) into atan2 and Abs.
    return sp.re(expr, evaluate=not expr.free_symbols)


def _without_outer_conjugates(sp: Any, expr: Any) -> Any:
    """`expr` with the conjugates that cannot change its real part removed:
    re(conjugate(z)) is re(z), re is additive, and re(c*z) is c*re(z) for a
    real c."""
    if isinstance(expr, sp.conjugate):
        return _without_outer_conjugates(sp, expr.args[0])
    if expr.is_Add:
        return sp.Add(*(_without_outer_conjugates(sp, term) for term in expr.args))
    if expr.is_Mul:
        factors = list(expr.args)
        nonreal = [k for k, factor in enumerate(factors) if not factor.is_extended_real]
        if len(nonreal) == 1:
            factors[nonreal[0]] = _without_outer_conjugates(sp, factors[nonreal[0]])
            return sp.Mul(*factors)
    return expr


def _operator(sp: Any, name: str, a: _Node, b: _Node | None = None) -> _Node:
    if a.value is not None and (b is None or b.value is not None):
        value = _limit(_apply(name, a.value, None if b is None else b.value))
    else:
        value = None
    real = name in _REAL_OPERATORS and a.real and (b is None or b.real)
    if value is not None and value[1] == 0.0:
        sign = math.copysign(1.0, value[1])
    elif value is None and real:
        sign = _static_sign(name, a, b)
    else:
        sign = None

    def side(function: Any, u: _Node) -> Any:
        # At a negative u with a -0 imaginary part the engine takes the lower
        # side of the cut, the conjugate of SymPy's value; where u is positive
        # the value is real and the conjugate changes nothing.
        return sp.conjugate(function(u.expr)) if u.sign == -1.0 else function(u.expr)

    x = a.expr
    y = None if b is None else b.expr
    # Log, Sqrt and the logarithm in VORN take the engine's side of the cut.
    builders = {
        "Neg": lambda: -x,
        "Inv": lambda: 1 / x,
        "Plus": lambda: x + y,
        "Times": lambda: x * y,
        "Subtract": lambda: x - y,
        "Divide": lambda: x / y,
        "Exp": lambda: sp.exp(x),
        "Log": lambda: side(sp.log, a),
        "Sqrt": lambda: side(sp.sqrt, a),
        "Sin": lambda: sp.sin(x),
        "Cos": lambda: sp.cos(x),
        "Tan": lambda: sp.tan(x),
        "ArcSin": lambda: sp.asin(x),
        "ArcCos": lambda: sp.acos(x),
        "ArcTan": lambda: sp.atan(x),
        "Square": lambda: x**2,
        "Cube": lambda: x**3,
        "VORN": lambda: sp.exp(x) - side(sp.log, b),
    }
    expr = builders[name]()
    return _Node(expr, value, real, sign)


def to_sympy(result: SearchResult, feature_names: Sequence[str] | None = None) -> Any:
    """The formula of `result` as a SymPy expression in real symbols.

    Input k becomes the symbol ``x<k>`` (``sympy.Symbol("x0", real=True)``
    and so on), or ``feature_names[k]`` when names are given; they must be
    strings, distinct, and cover every input the formula reads (ValueError
    or TypeError otherwise). A `result` that is not a SearchResult raises
    TypeError, a missing SymPy ImportError. See the module documentation for
    how complex intermediate values and branch cuts are handled.

    An answer of ``recognize_constant`` stands for one number, the formula
    read with its variable at 0; for it the result is that number, exact and
    simplified (:func:`constant_to_sympy`): ``pi`` for ``math.pi``.
    """
    sp = _import_sympy()
    if isinstance(result, SearchResult) and result._is_constant:
        return constant_to_sympy(result)
    return _convert(sp, result, feature_names, False)


def constant_to_sympy(result: SearchResult) -> Any:
    """The exact number a `recognize_constant` result stands for.

    Every variable reads 0, as in ``recognize_constant``; the value is
    simplified, so ``ArcCos(Neg(Exp(v_{0})))`` gives ``pi``. Fitted constants
    stay Floats.
    """
    sp = _import_sympy()
    return sp.simplify(_convert(sp, result, None, True))
