"""A power-law factor split off the target before the default search.

Many laws are a product of whole powers of some columns times a function of
the others: hc*A*(Ts - Tf), q*E/(m*(w0**2 - w**2)), V0*exp(-t/(R*C)). When
the columns vary independently, such a column's exponent shows in a robust
fit of log|y| on log|x| as a whole number, and what the fit leaves over does
not depend on that column. Dividing y by those powers leaves a function of
fewer columns, which the search finds in a fraction of the time the whole
law needs. The monomial is a guess: the estimator gives the search of the
quotient a share of the budget and keeps the ordinary search beside it.
"""

from __future__ import annotations

from fractions import Fraction

import numpy as np

# How far a fitted exponent may sit from a whole number, and how much of the
# leftover's variance a cubic in the column may explain, for the column to
# count as a factor. Both were set on the law benchmark (bench/laws.py):
# looser bounds take in columns that only look like factors.
_EXPONENT_TOLERANCE = 0.1
_LEFTOVER_EXPLAINED = 0.05
_LARGEST_POWER = 4
_FEWEST_ROWS = 20


def _least_absolute(A, t, iterations=30):
    """Coefficients of min sum |A c - t|, by reweighted least squares: robust
    to the rows where y nearly vanishes and log|y| plunges."""
    weights = np.ones(len(t))
    coef = np.zeros(A.shape[1])
    for _ in range(iterations):
        root = np.sqrt(weights)
        coef, *_ = np.linalg.lstsq(A * root[:, None], t * root, rcond=None)
        residual = np.abs(t - A @ coef)
        floor = max(1e-6 * float(np.median(residual)), 1e-12)
        weights = 1.0 / np.maximum(residual, floor)
    return coef


def factor_exponents(X, y):
    """Whole exponents a_i of a monomial prod x_i**a_i that y looks to carry
    as a factor (0 for the other columns), or None when no column qualifies
    or none would be left for the search."""
    n_rows, n = X.shape
    if n < 2 or n_rows < _FEWEST_ROWS or np.any(y == 0):
        return None
    usable = [i for i in range(n) if np.all(X[:, i] != 0) and np.ptp(X[:, i]) > 0]
    if not usable:
        return None
    with np.errstate(all="ignore"):
        logs = np.log(np.abs(X[:, usable]))
        target = np.log(np.abs(y))
    if not (np.all(np.isfinite(logs)) and np.all(np.isfinite(target))):
        return None
    A = np.column_stack([logs, np.ones(n_rows)])
    coef = _least_absolute(A, target)
    leftover = target - A @ coef
    # The rows where y crosses zero are outliers of log|y|; clipped, they
    # cannot decide whether the leftover depends on a column.
    median = float(np.median(leftover))
    spread = 5.0 * float(np.median(np.abs(leftover - median)))
    leftover = np.clip(leftover, median - spread, median + spread)
    variance = float(np.var(leftover))
    exponents = [Fraction(0)] * n
    for k, i in enumerate(usable):
        whole = round(float(coef[k]))
        if whole == 0 or abs(whole) > _LARGEST_POWER or abs(coef[k] - whole) > _EXPONENT_TOLERANCE:
            continue
        z = logs[:, k]
        z = (z - z.mean()) / z.std()
        cubic = np.column_stack([np.ones(n_rows), z, z * z, z * z * z])
        fitted, *_ = np.linalg.lstsq(cubic, leftover, rcond=None)
        explained = 1.0 - float(np.var(leftover - cubic @ fitted)) / variance if variance > 1e-20 else 0.0
        if explained <= _LEFTOVER_EXPLAINED:
            exponents[i] = Fraction(whole)
    if not any(exponents) or all(exponents):
        return None
    return exponents


def reduction(exponents):
    """The factor as the units module's reduction: y = M * f(x_rest), each
    remaining column a group of its own."""
    n = len(exponents)
    rest = [i for i, e in enumerate(exponents) if not e]
    groups = [[Fraction(int(i == j)) for j in range(n)] for i in rest]
    return {"monomial": list(exponents), "groups": groups, "constant_units": None}
