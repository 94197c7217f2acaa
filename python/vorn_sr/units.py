"""Units for VornRegressor.fit: unit strings, the dimensionless reduction and
formulas reassembled over the original features.

A unit string becomes a vector of exact rational exponents over pint's base
dimensions. When y's units are a product of powers of the features' units,
y = M(x) * f(P_1(x), ..., P_k(x)) for any dimensionally consistent law with
dimensionless constants (Buckingham's theorem), where M is a monomial with
y's units and the P_j a basis of dimensionless monomials. The search then
looks for f over the P_j alone: fewer variables, and every formula it can
return is consistent by construction. The results are rewritten as
M * f(P(x)) over the original columns.

Needs pint (``pip install 'vorn_sr[units]'``), imported on first use.
"""

from __future__ import annotations

import itertools
import math
from fractions import Fraction

import numpy as np

import vorn_sr._core as _core

# Subsets of columns examined when looking for the simplest groups; past it
# the plain elimination basis is used.
_MAX_SUBSETS = 20000

_registry = None


def _unit_registry():
    global _registry
    if _registry is None:
        try:
            import pint
        except ImportError as exc:
            raise ImportError("units need pint: pip install 'vorn_sr[units]'") from exc
        _registry = pint.UnitRegistry()
    return _registry


def parse_unit(text, what):
    """{base dimension: Fraction} of a unit string ({} when dimensionless)."""
    if not isinstance(text, str):
        raise ValueError(f"units of {what} must be a string that pint parses, got {text!r}")
    stripped = text.strip()
    if stripped in ("", "dimensionless"):
        return {}
    registry = _unit_registry()
    try:
        quantity = registry.parse_expression(stripped)
        # A bare number such as "1" comes back as a number: dimensionless.
        dimensionality = getattr(quantity, "dimensionality", {})
    except Exception as exc:  # pint raises many types for a bad string
        raise ValueError(f"units of {what}: pint cannot parse {text!r} ({type(exc).__name__}: {exc})") from None
    exponents = {}
    for name, power in dict(dimensionality).items():
        exact = Fraction(power).limit_denominator(1000)
        if abs(float(exact) - float(power)) > 1e-9:
            raise ValueError(f"units of {what}: exponent {power} of {name} in {text!r} is not a simple fraction")
        if exact:
            exponents[name.strip("[]")] = exact
    return exponents


def column_units(X_units, y_units, n_features, names):
    """The exponent dicts of every column and of y, with every bad input a
    ValueError naming the column or the string."""
    if (X_units is None) != (y_units is None):
        given, missing = ("X_units", "y_units") if y_units is None else ("y_units", "X_units")
        raise ValueError(f"{given} was given without {missing}; units need both (or neither)")
    if isinstance(X_units, dict):
        if names is None:
            raise ValueError("X_units is a dict, which needs X with column names (a DataFrame); "
                             "give a sequence of one unit string per column instead")
        unknown = [key for key in X_units if key not in set(names)]
        if unknown:
            raise ValueError(f"X_units names column {unknown[0]!r}, which X does not have")
        absent = [name for name in names if name not in X_units]
        if absent:
            raise ValueError(f"X_units has no units for column {absent[0]!r}")
        strings = [X_units[name] for name in names]
    else:
        if isinstance(X_units, str) or not hasattr(X_units, "__len__"):
            raise ValueError(f"X_units must be a sequence of unit strings, one per column, or a dict; got {X_units!r}")
        strings = list(X_units)
        if len(strings) != n_features:
            raise ValueError(f"X_units has {len(strings)} units for {n_features} columns of X")
    labels = [repr(name) for name in names] if names is not None else [str(i) for i in range(n_features)]
    x_dims = [parse_unit(text, f"column {label}") for text, label in zip(strings, labels)]
    y_dims = parse_unit(y_units, "y")
    return [s.strip() if isinstance(s, str) else s for s in strings], x_dims, y_dims


# -- exact linear algebra over the rationals ---------------------------------


def _rref(rows, n):
    """Reduced row echelon form of rows (lists of Fraction of length n) and
    the pivot columns."""
    rows = [list(row) for row in rows]
    pivots = []
    r = 0
    for c in range(n):
        pivot = next((i for i in range(r, len(rows)) if rows[i][c] != 0), None)
        if pivot is None:
            continue
        rows[r], rows[pivot] = rows[pivot], rows[r]
        lead = rows[r][c]
        rows[r] = [v / lead for v in rows[r]]
        for i in range(len(rows)):
            if i != r and rows[i][c] != 0:
                factor = rows[i][c]
                rows[i] = [a - factor * b for a, b in zip(rows[i], rows[r])]
        pivots.append(c)
        r += 1
        if r == len(rows):
            break
    return rows[:r], pivots


def _nullspace(rows, n):
    reduced, pivots = _rref(rows, n)
    basis = []
    for free in (c for c in range(n) if c not in pivots):
        v = [Fraction(0)] * n
        v[free] = Fraction(1)
        for row, p in zip(reduced, pivots):
            v[p] = -row[free]
        basis.append(v)
    return basis


def _solve(rows, b, n):
    """One solution a of rows @ a = b (free unknowns 0), or None."""
    augmented = [list(row) + [bi] for row, bi in zip(rows, b)]
    reduced, pivots = _rref(augmented, n + 1)
    if n in pivots:
        return None
    a = [Fraction(0)] * n
    for row, p in zip(reduced, pivots):
        a[p] = row[n]
    return a


def _rank(vectors, n):
    return len(_rref(vectors, n)[1]) if vectors else 0


def _integral(v):
    """v scaled to coprime integers, the sign making most exponents positive."""
    scale = math.lcm(*(x.denominator for x in v))
    ints = [int(x * scale) for x in v]
    g = math.gcd(*ints)
    ints = [x // g for x in ints]
    positive = sum(x > 0 for x in ints)
    negative = sum(x < 0 for x in ints)
    first = next(x for x in ints if x)
    if negative > positive or (negative == positive and first < 0):
        ints = [-x for x in ints]
    return [Fraction(x) for x in ints]


def _simplicity(v):
    # Whole exponents first (a fractional power of the monomial puts roots
    # into every formula: I**(1/4) rather than L for a length), then fewer
    # columns, then smaller exponents.
    support = [x for x in v if x]
    return (max((x.denominator for x in support), default=1), len(support),
            max((abs(x) for x in support), default=0), sum(abs(x) for x in support))


def _subsets(n, largest):
    count = sum(math.comb(n, k) for k in range(1, min(largest, n) + 1))
    if count > _MAX_SUBSETS:
        return None
    return itertools.chain.from_iterable(itertools.combinations(range(n), k) for k in range(1, min(largest, n) + 1))


def dimensionless_groups(matrix, n):
    """A basis of dimensionless monomials (integer exponent vectors), the
    simplest first: the circuits (minimal dependent column sets) of the
    dimension matrix, taken greedily by simplicity, which yields a basis of
    least total weight."""
    basis = _nullspace(matrix, n)
    if not basis:
        return []
    rank = n - len(basis)
    subsets = _subsets(n, rank + 1)
    if subsets is None:
        return [_integral(v) for v in basis]
    candidates = []
    for subset in subsets:
        sub = [[row[c] for c in subset] for row in matrix]
        null = _nullspace(sub, len(subset))
        if len(null) == 1 and all(null[0]):
            v = [Fraction(0)] * n
            for c, x in zip(subset, null[0]):
                v[c] = x
            candidates.append(_integral(v))
    candidates.sort(key=_simplicity)
    chosen = []
    for v in candidates:
        if _rank(chosen + [v], n) > len(chosen):
            chosen.append(v)
            if len(chosen) == len(basis):
                break
    return chosen


def target_monomial(matrix, b, n):
    """The simplest exponent vector a with matrix @ a = b, or None."""
    if not any(b):
        return [Fraction(0)] * n
    particular = _solve(matrix, b, n)
    if particular is None:
        return None
    rank = _rank(matrix, n)
    subsets = _subsets(n, rank)
    if subsets is None:
        return particular
    best = None
    for subset in subsets:
        sub = [[row[c] for c in subset] for row in matrix]
        if _rank([list(col) for col in zip(*sub)], len(matrix)) < len(subset):
            continue  # not independent: its solutions are not unique
        a = _solve(sub, b, len(subset))
        if a is None:
            continue
        v = [Fraction(0)] * n
        for c, x in zip(subset, a):
            v[c] = x
        if best is None or _simplicity(v) < _simplicity(best):
            best = v
    return best if best is not None else particular


def missing_dimensions(matrix, b, dims, n):
    """The fewest base dimensions that, left out, make b reachable."""
    for k in range(1, len(dims) + 1):
        for dropped in itertools.combinations(range(len(dims)), k):
            keep = [i for i in range(len(dims)) if i not in dropped]
            if _solve([matrix[i] for i in keep], [b[i] for i in keep], n) is not None:
                return [dims[i] for i in dropped]
    return list(dims)


def format_exponents(exponents):
    """{dimension: Fraction} as text, e.g. "[length]**3 / [mass] / [time]**2"."""
    if not exponents:
        return "dimensionless"
    parts = []
    for name, e in sorted(exponents.items(), key=lambda item: (item[1] < 0, item[0])):
        power = abs(e)
        text = f"[{name}]" if power == 1 else f"[{name}]**{power}" if power.denominator == 1 else f"[{name}]**({power})"
        parts.append(("/ " if e < 0 else "* ") + text)
    text = " ".join(parts)
    return "1 " + text if text.startswith("/") else text[2:]


# -- the reduction -----------------------------------------------------------


def plan(x_dims, y_dims, X, y, dimensionless_constants, labels):
    """The reduction for these units and data: a dict of plain values (it is
    pickled with the estimator). ValueError when it cannot be made."""
    n = len(x_dims)
    dims = sorted(set().union(y_dims, *x_dims))
    matrix = [[d.get(name, Fraction(0)) for d in x_dims] for name in dims]
    b = [y_dims.get(name, Fraction(0)) for name in dims]
    groups = dimensionless_groups(matrix, n)
    monomial = target_monomial(matrix, b, n)
    constant_units = None
    if monomial is None:
        missing = missing_dimensions(matrix, b, dims, n)
        if dimensionless_constants:
            raise ValueError(
                f"the units of y cannot be formed from the features' units with dimensionless constants: "
                f"no product of powers of the features supplies {', '.join(f'[{m}]' for m in missing)}. "
                f"If a dimensional constant (such as G) is missing from the data, "
                f"dimensionless_constants=False lets a fitted constant carry the missing units"
            )
        monomial = _fitted_monomial(X, y)
        carried = dict(y_dims)
        for d, a in zip(x_dims, monomial):
            for name, e in d.items():
                carried[name] = carried.get(name, Fraction(0)) - a * e
        constant_units = format_exponents({k: v for k, v in carried.items() if v})
    reduction = {
        "monomial": monomial,
        "groups": groups,
        "constant_units": constant_units,
    }
    check_domain(reduction, X, labels)
    return reduction


def _fitted_monomial(X, y):
    """Exponents of the power law that log|y| on log|x| suggests, for a
    constant that carries y's other units."""
    n = X.shape[1]
    usable = [i for i in range(n) if np.all(X[:, i] != 0) and np.all(np.isfinite(np.log(np.abs(X[:, i]))))]
    exponents = [Fraction(0)] * n
    if not usable or np.any(y == 0):
        return exponents
    A = np.column_stack([np.log(np.abs(X[:, usable])), np.ones(X.shape[0])])
    coef, *_ = np.linalg.lstsq(A, np.log(np.abs(y)), rcond=None)
    for i, c in zip(usable, coef[:-1]):
        exponents[i] = _likely_exponent(float(c), positive=bool(np.all(X[:, i] > 0)))
    return exponents


def _likely_exponent(c, positive):
    """The simplest exponent near a fitted c: whole, or on a positive column
    a half or a third (Manning's R**(2/3)) when one lies within 0.05."""
    if not positive:
        return Fraction(round(c))
    for denominator in (1, 2, 3):
        k = round(c * denominator)
        if abs(c - k / denominator) <= 0.05:
            return Fraction(k, denominator)
    return Fraction(round(2 * c), 2)


def _needs(reduction):
    """Per column: (needs nonzero values, needs positive values)."""
    vectors = [reduction["monomial"], *reduction["groups"]]
    n = len(reduction["monomial"])
    nonzero = [any(v[i] < 0 for v in vectors) for i in range(n)]
    positive = [any(v[i].denominator != 1 for v in vectors) for i in range(n)]
    return nonzero, positive


def check_domain(reduction, X, labels):
    """ValueError naming the first column whose values the reduction's powers
    cannot take (a fractional power of a non-positive value, a negative power
    of zero): such rows would give NaN or infinite predictions."""
    nonzero, positive = _needs(reduction)
    for i, label in enumerate(labels):
        column = X[:, i]
        if positive[i] and np.any(column <= 0):
            raise ValueError(
                f"column {label} has values <= 0, but its units enter the formula through a fractional "
                f"power; units need positive values there"
            )
        if nonzero[i] and np.any(column == 0):
            raise ValueError(
                f"column {label} has zeros, but its units enter the formula through a negative power; "
                f"units need nonzero values there"
            )


def _monomial_values(X, exponents):
    out = np.ones(X.shape[0])
    for i, e in enumerate(exponents):
        if e:
            out = out * (X[:, i] ** float(e))
    return out


def transform(reduction, X, y):
    """(columns of the groups, target of the search, scale) for the search."""
    Z = np.column_stack([_monomial_values(X, g) for g in reduction["groups"]]) if reduction["groups"] else None
    t = y / _monomial_values(X, reduction["monomial"])
    scale = 1.0
    if reduction["constant_units"] is not None:
        # The constant that carries the units, drawn out so f is of order 1.
        rms = float(np.sqrt(np.mean(t * t)))
        scale = rms if math.isfinite(rms) and rms > 0 else 1.0
    return Z, t / scale, scale


# -- results over the original features ---------------------------------------


def _integer_power(base, k):
    """Postfix tokens of base**k for a whole k >= 1."""
    if k == 1:
        return list(base)
    if k == 2:
        return base + [("op", "Square", 1)]
    if k == 3:
        return base + [("op", "Cube", 1)]
    if k % 2 == 0:
        return _integer_power(base, k // 2) + [("op", "Square", 1)]
    return _integer_power(base, k - 1) + base + [("op", "Times", 2)]


def _product(factors):
    tokens = []
    for n, factor in enumerate(factors):
        tokens += factor
        if n:
            tokens.append(("op", "Times", 2))
    return tokens


def monomial_tokens(exponents):
    """Postfix tokens of prod x_i**a_i with Times, Divide, Square, Cube, Sqrt
    and Inv; None for the empty monomial. The half powers share one Sqrt
    (sqrt(L/g), not sqrt(L)/sqrt(g)); their columns are positive, so that
    is exact. Other fractions, rare in physics, go through Exp and Log."""
    up, down = [], []
    halves = [2 * e if e.denominator == 2 else Fraction(0) for e in exponents]
    for i, e in enumerate(exponents):
        if e.denominator == 1 and e:
            (up if e > 0 else down).append(_integer_power([("var", i)], abs(e.numerator)))
        elif e.denominator > 2:
            up.append([("var", i), ("op", "Log", 1), ("param", float(e), 0.0), ("op", "Times", 2), ("op", "Exp", 1)])
    if any(halves):
        up.append(monomial_tokens(halves) + [("op", "Sqrt", 1)])
    if not up and not down:
        return None
    if not down:
        return _product(up)
    if not up:
        return _product(down) + [("op", "Inv", 1)]
    return _product(up) + _product(down) + [("op", "Divide", 2)]


def _assemble(f_tokens, reduction, scale):
    group_tokens = [monomial_tokens(g) for g in reduction["groups"]]
    tokens = []
    for token in f_tokens:
        if token[0] == "var":
            tokens += group_tokens[token[1]]
        elif token[0] in ("param", "op"):
            tokens.append(token)
        else:
            raise ValueError(f"cannot rewrite token {token!r} of a search result")
    m = monomial_tokens(reduction["monomial"])
    if m is not None:
        tokens += m + [("op", "Times", 2)]
    if reduction["constant_units"] is not None:
        tokens += [("param", scale, 0.0), ("op", "Times", 2)]
    return tokens


def _scored(tokens, X, y):
    """The result of these tokens with its error on (X, y), or None when it
    does not give a finite value on every row."""
    try:
        draft = _core._result_from_postfix(tokens, 0.0)
    except ValueError:  # a constant the bytes cannot hold (not finite)
        return None
    prediction = np.asarray(draft.predict(X), dtype=np.float64)
    if not np.all(np.isfinite(prediction)):
        return None
    error = float(np.mean((prediction - y) ** 2))
    if not math.isfinite(error):
        return None
    return _core._result_from_postfix(tokens, error)


def reassemble(reduction, front, scale, X, y):
    """The front of the search over the groups as results over the original
    columns, errors measured on (X, y), lowest error first. Entries that
    overflow on the data are left out; an entry is kept only if no simpler
    one is at least as accurate."""
    results = []
    for result in front:
        rebuilt = _scored(_assemble(result._postfix(), reduction, scale), X, y)
        if rebuilt is not None:
            results.append(rebuilt)
    return pareto_front(results)


def pareto_front(results):
    """The results each more accurate than every simpler one (NaN errors
    left out), lowest error first."""
    ordered = sorted((r for r in results if not math.isnan(r.error)), key=lambda r: (r.complexity, r.error))
    kept, best = [], math.inf
    for r in ordered:
        if r.error < best:
            kept.append(r)
            best = r.error
    kept.sort(key=lambda r: (r.error, r.complexity))
    return kept


def constant_fit(reduction, X, y):
    """y = C * M (no dimensionless group): the least-squares C, as a front.
    C carries the missing units when constants may have units."""
    m = _monomial_values(X, reduction["monomial"])
    c = float(np.dot(y, m) / np.dot(m, m))
    tokens = [("param", c, 0.0)]
    rest = monomial_tokens(reduction["monomial"])
    if rest is not None:
        tokens = rest + tokens + [("op", "Times", 2)]
    result = _scored(tokens, X, y)
    if result is None:
        raise ValueError("the target's monomial overflows on the data")
    return [result]


def describe(reduction, names):
    """The monomial and groups as text over the feature names, for users."""

    def power(name, e):
        return name if e == 1 else f"{name}**{e}" if e.denominator == 1 else f"{name}**({e})"

    def text(exponents):
        up = [power(name, e) for name, e in zip(names, exponents) if e > 0]
        down = [power(name, -e) for name, e in zip(names, exponents) if e < 0]
        top = "*".join(up) or "1"
        if not down:
            return top
        return f"{top}/{down[0]}" if len(down) == 1 else f"{top}/({'*'.join(down)})"

    return text(reduction["monomial"]), [text(g) for g in reduction["groups"]]
