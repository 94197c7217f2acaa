"""Laws that are sparse rational functions of monomials, found by linear algebra.

Many laws are a ratio of two short sums of monomials: m*(vx**2 + vy**2)/2 +
m*g*h, (m1*r1 + m2*r2)/(m1 + m2), (T1 - T2)/(L1/k1 + L2/k2), (u + v)/(1 +
u*v/c**2). Such a law is a linear relation between columns that are known
before any search:

    y*p0 + sum_i b_i * y*p_i = sum_j a_j * q_j

with p and q monomials of the features. With p0 fixed (the anchor), the
coefficients are a sparse least-squares problem over a dictionary of
candidate columns. Pruning a fit over all of them (or, for large
dictionaries, forward selection with a small beam) finds the few terms of a
true law, and an exact fit on a couple of hundred rows cannot happen by
chance. Units, when given, keep only the terms with the anchor's units,
which shrinks the dictionary by orders of magnitude.

The search over formulas needs ten to fifty tokens for these laws; this
finds them in milliseconds or not at all, and the estimator then runs its
search as usual.
"""

from __future__ import annotations

import functools
import itertools
import math
import time
from fractions import Fraction

import numpy as np

_POWERS = (-2, -1, 1, 2)
# Most factors in one term of the numerator, and in one of the denominator.
_TERM_SUPPORT = 4
_ANCHOR_SUPPORT = 2
_MOST_TERMS = 7
_BEAM = 3
# Anchors tried (those with terms of their units), simplest first: a fixed
# count keeps a fit without a time budget deterministic.
_MOST_ANCHORS = 128
# Rows the relation is looked for on, the most monomials enumerated, and
# the most whose values are computed (the simplest; _ROWS * _MOST_VALUES
# doubles at most).
_ROWS = 400
_MOST_VECTORS = 100000
_MOST_VALUES = 40000
# Dictionaries past this size are cut to their simplest columns.
_LARGEST_DICTIONARY = 4000
# Dictionaries up to this many columns are pruned from the full fit down.
_BACKWARD_COLUMNS = 150
# A relation holds when what it leaves is this small against the anchor: a
# true law leaves rounding (1e-29 and below), while a long sum of monomials
# that only approximates a smooth function (a Taylor series of sin over a
# narrow range) leaves 1e-24 and more. More terms than this are taken for
# such an approximation too.
_EXACT_RESIDUAL = 1e-25


@functools.lru_cache(maxsize=16)
def exponent_vectors(n, support):
    """Integer exponent vectors over n columns with at most `support` nonzero
    entries from _POWERS, simplest first (the zero vector first). Shared
    between calls: read only."""
    blocks = [np.zeros((1, n), dtype=np.int64)]
    for k in range(1, min(support, n) + 1):
        powers = np.array(list(itertools.product(_POWERS, repeat=k)), dtype=np.int64)
        for columns in itertools.combinations(range(n), k):
            block = np.zeros((len(powers), n), dtype=np.int64)
            block[:, list(columns)] = powers
            blocks.append(block)
    vectors = np.concatenate(blocks)
    vectors = vectors[np.lexsort((np.abs(vectors).sum(axis=1), (vectors != 0).sum(axis=1)))]
    vectors.flags.writeable = False
    return vectors


def _dimension_matrix(x_dims, y_dims):
    """Integer matrices of the features' and y's units (rows: base dimensions),
    scaled to whole numbers so that comparing units is exact."""
    names = sorted(set().union(y_dims, *x_dims))
    scale = math.lcm(1, *(e.denominator for d in [*x_dims, y_dims] for e in d.values()))
    D = np.array([[int(d.get(name, Fraction(0)) * scale) for d in x_dims] for name in names], dtype=np.int64)
    b = np.array([int(y_dims.get(name, Fraction(0)) * scale) for name in names], dtype=np.int64)
    return D.reshape(len(names), len(x_dims)), b


def _monomials(X, vectors):
    """Columns prod x_i**v_i, one per vector; NaN where a value is not finite."""
    with np.errstate(all="ignore"):
        logs_ok = np.all(X != 0, axis=0)
        out = np.ones((X.shape[0], len(vectors)))
        for i in range(X.shape[1]):
            powers = vectors[:, i]
            for p in np.unique(powers):
                if p == 0:
                    continue
                if p < 0 and not logs_ok[i]:
                    out[:, powers == p] = np.nan
                else:
                    out[:, powers == p] *= (X[:, i] ** float(p))[:, None]
    return out


def _normalized(D):
    """Column norms, which columns are nonzero (a monomial of a column of
    zeros is no term), and the columns scaled to unit length (zero ones
    left zero)."""
    norms = np.linalg.norm(D, axis=0)
    usable = norms > 0
    return norms, usable, np.where(usable, D / np.where(usable, norms, 1.0), 0.0)


def _greedy(D, target, deadline):
    """Sparse coefficients c with D[:, S] c = target to rounding, by forward
    selection with a beam; (support, coefficients) or None. Each step adds
    the columns that would leave the least after a refit (order-recursive
    matching pursuit), which tells apart the correlated columns of a
    monomial dictionary far better than correlation with the residual."""
    norms, _, Dn = _normalized(D)
    goal = float(target @ target)
    if goal == 0.0:
        return None
    beam = [()]
    seen = set()
    for _ in range(_MOST_TERMS):
        grown = []
        for support in beam:
            if support:
                Q, _ = np.linalg.qr(Dn[:, list(support)])
                rest = Dn - Q @ (Q.T @ Dn)
                residual = target - Q @ (Q.T @ target)
            else:
                rest, residual = Dn, target
            length = np.linalg.norm(rest, axis=0)
            scores = np.where(length > 1e-9, np.abs(residual @ rest) / np.maximum(length, 1e-300), 0.0)
            scores[list(support)] = 0.0
            for j in np.argsort(scores)[::-1][:_BEAM]:
                if scores[j] <= 0:
                    break
                key = tuple(sorted((*support, int(j))))
                if key in seen:
                    continue
                seen.add(key)
                leftover = float(residual @ residual) - float(scores[j]) ** 2
                grown.append((leftover, key))
        if not grown or time.perf_counter() > deadline:
            return None
        grown.sort(key=lambda g: g[0])
        for _, key in grown[:_BEAM]:
            coef, *_ = np.linalg.lstsq(Dn[:, list(key)], target, rcond=None)
            left = target - Dn[:, list(key)] @ coef
            if float(left @ left) <= _EXACT_RESIDUAL * goal:
                return _pruned(Dn, target, key, goal, norms)
        beam = [key for _, key in grown[:_BEAM]]
    return None


def _backward(D, target, deadline):
    """The same as _greedy for a dictionary of few columns: the fit over all
    of them, then columns taken out one at a time, the one whose loss the
    fit feels least first, while the relation still holds. Forward steps go
    astray when the columns are nearly collinear (powers of two ratios); a
    fit that starts from everything cannot miss a term."""
    norms, usable, Dn = _normalized(D)
    goal = float(target @ target)
    if goal == 0.0:
        return None

    def exact(support):
        coef, *_ = np.linalg.lstsq(Dn[:, support], target, rcond=None)
        left = target - Dn[:, support] @ coef
        return float(left @ left) <= _EXACT_RESIDUAL * goal, coef

    support = np.flatnonzero(usable).tolist()
    if not support:
        return None
    holds, coef = exact(support)
    if not holds:
        return None
    while len(support) > 1 and time.perf_counter() <= deadline:
        A = Dn[:, support]
        inverse = np.linalg.pinv(A.T @ A)
        coef = inverse @ (A.T @ target)
        order = np.argsort(coef**2 / np.maximum(np.diag(inverse), 1e-300))
        # Half of the columns at once while that holds, then fewer: a few
        # fits instead of one per column.
        count = max(1, len(support) // 2)
        while count >= 1:
            dropped = set(order[:count].tolist())
            trial = [c for j, c in enumerate(support) if j not in dropped]
            if exact(trial)[0]:
                support = trial
                break
            count //= 2
        else:
            break
    return _pruned(Dn, target, support, goal, norms)


def _pruned(Dn, target, key, goal, norms):
    """The support without the columns the relation holds without (greedy
    steps that a later column made redundant), and its coefficients."""
    key = list(key)
    for j in sorted(key, reverse=True):
        trial = [k for k in key if k != j]
        if not trial:
            continue
        coef, *_ = np.linalg.lstsq(Dn[:, trial], target, rcond=None)
        left = target - Dn[:, trial] @ coef
        if float(left @ left) <= _EXACT_RESIDUAL * goal:
            key = trial
    coef, *_ = np.linalg.lstsq(Dn[:, key], target, rcond=None)
    if len(key) > _MOST_TERMS + 3:
        return None
    return tuple(key), coef / norms[key]


def _vector_count(n, support):
    return sum(math.comb(n, k) * len(_POWERS) ** k for k in range(min(support, n) + 1))


def find(X, y, units=None, seconds=None, term_support=None):
    """(numerator, denominator) of an exact sparse rational law of y, each a
    list of (coefficient, exponent vector) with the anchor's coefficient 1 in
    the denominator, or None. `units` is (x_dims, y_dims) to keep only terms
    whose units agree; `term_support`, the most factors per term of the
    numerator (default 4 with units, 3 without). The caller checks the law
    on all rows: this looks at a few hundred of them."""
    deadline = math.inf if seconds is None else time.perf_counter() + seconds
    if X.shape[0] < 4 * _MOST_TERMS or not np.all(np.isfinite(y)):
        return None
    if X.shape[0] > _ROWS:
        rows = np.linspace(0, X.shape[0] - 1, _ROWS).astype(np.intp)
        X, y = X[rows], y[rows]
    n = X.shape[1]
    # Fewer factors per term where the columns are many, so that the
    # dictionary stays within memory; none fit, nothing to look for.
    support = term_support or (_TERM_SUPPORT if units is not None else 3)
    most = _MOST_VECTORS if units is not None else _MOST_VALUES
    while support > 0 and _vector_count(n, support) > most:
        support -= 1
    if support == 0 or _vector_count(n, _ANCHOR_SUPPORT) > _MOST_VECTORS:
        return None
    terms = exponent_vectors(n, support)
    # Terms of the denominator; without units only the simplest of them
    # anchor a relation, since each anchor costs a pass over a large
    # dictionary.
    anchors = exponent_vectors(n, _ANCHOR_SUPPORT)
    anchoring = (anchors != 0).sum(axis=1) <= (_ANCHOR_SUPPORT if units is not None else 1)
    if units is not None:
        Dm, b = _dimension_matrix(*units)
        q_units = terms @ Dm.T
        a_units = anchors @ Dm.T + b
        # Only the terms with some anchor's units can enter a relation.
        wanted = {tuple(u) for u in a_units[anchoring]}
        terms = terms[[tuple(u) in wanted for u in q_units]]
    terms = terms[:_MOST_VALUES]
    if units is not None:
        q_units = terms @ Dm.T
    q_values = _monomials(X, terms)
    a_values = _monomials(X, anchors)
    finite_q = np.all(np.isfinite(q_values), axis=0)
    finite_a = np.all(np.isfinite(a_values), axis=0) & np.all(np.isfinite(a_values * y[:, None]), axis=0)
    distinct = [len(np.unique(X[:, i])) for i in range(n)]
    tried = 0
    for k, anchor in enumerate(anchors):
        if time.perf_counter() > deadline:
            return None
        if not (finite_a[k] and anchoring[k]):
            continue
        q_keep = finite_q.copy()
        p_keep = finite_a.copy()
        p_keep[k] = False
        if units is not None:
            q_keep &= np.all(q_units == a_units[k], axis=1)
            p_keep &= np.all(a_units == a_units[k], axis=1)
        # Terms of both sides, simplest first: the first ones are pruned
        # from their full fit, then all of them go through forward selection.
        q_index = np.flatnonzero(q_keep)
        p_index = np.flatnonzero(p_keep)
        if len(q_index) == 0:
            continue
        tried += 1
        if tried > _MOST_ANCHORS:
            return None
        vectors = np.concatenate([terms[q_index], anchors[p_index]])
        order = np.lexsort((np.abs(vectors).sum(axis=1), (vectors != 0).sum(axis=1)))[:_LARGEST_DICTIONARY]
        on_left = order >= len(q_index)
        dictionary = np.column_stack([q_values[:, q_index], -a_values[:, p_index] * y[:, None]])[:, order]
        target = a_values[:, k] * y
        found = _backward(dictionary[:, :min(_BACKWARD_COLUMNS, X.shape[0] - 4 * _MOST_TERMS)], target, deadline)
        if found is None and dictionary.shape[1] > _BACKWARD_COLUMNS:
            found = _greedy(dictionary, target, deadline)
        if found is None:
            continue
        support, coef = found
        numerator = [(float(c), vectors[order[j]]) for j, c in zip(support, coef) if not on_left[j]]
        denominator = [(1.0, anchor)] + [(float(c), vectors[order[j]]) for j, c in zip(support, coef) if on_left[j]]
        if numerator and not _interpolates(numerator + denominator, distinct):
            return _cancelled(numerator, denominator)
    return None


def _interpolates(terms, distinct):
    """Whether the relation has as many free coefficients as some column it
    varies in has values: then any function of that column fits it exactly
    (sin(n) for n in 1, 2, 3 is (a + b*n)/(1 + c*n) there), and the fit
    says nothing of the law."""
    vectors = np.array([v for _, v in terms])
    free = len(terms) - 1
    return any(len(set(vectors[:, i].tolist())) > 1 and free >= distinct[i] for i in range(vectors.shape[1]))


def _cancelled(numerator, denominator):
    """The relation divided by the monomial common to all its terms that
    leaves the smallest exponents (per column, their lower median)."""
    vectors = np.array([v for _, v in numerator + denominator])
    shift = np.sort(vectors, axis=0)[(len(vectors) - 1) // 2]
    return [(c, v - shift) for c, v in numerator], [(c, v - shift) for c, v in denominator]


def _sum_tokens(terms):
    from vorn_sr.units import monomial_tokens

    tokens = []
    for n, (c, v) in enumerate(terms):
        monomial = monomial_tokens([Fraction(int(e)) for e in v])
        if monomial is None:
            tokens.append(("param", c, 0.0))
        elif c == 1.0:
            tokens += monomial
        else:
            tokens += monomial + [("param", c, 0.0), ("op", "Times", 2)]
        if n:
            tokens.append(("op", "Plus", 2))
    return tokens


def tokens(law):
    """Postfix tokens of a law from find(): the sum of its numerator terms
    over the anchor when the denominator is the anchor alone, else the
    quotient of the two sums."""
    numerator, denominator = law
    if len(denominator) == 1:
        anchor = denominator[0][1]
        return _sum_tokens([(c, v - anchor) for c, v in numerator])
    return _sum_tokens(numerator) + _sum_tokens(denominator) + [("op", "Divide", 2)]


def snapped(law):
    """The law with each coefficient that lies within 1e-9 of a fraction of
    small denominator made that fraction (1/2 rather than 0.4999999999998)."""

    def snap(c):
        simple = Fraction(c).limit_denominator(12)
        return float(simple) if abs(float(simple) - c) <= 1e-9 * abs(c) else c

    numerator, denominator = law
    return [(snap(c), v) for c, v in numerator], [(snap(c), v) for c, v in denominator]


def exact_law(X, y, exact, dimensions=None, seconds=None, groups=None, roots=True):
    """The exact sparse rational law of y as a result over X whose error is
    at most `exact`, or None. With dimensions (x_dims, y_dims) its units are
    consistent; with `groups` (exponent vectors of dimensionless groups) their
    sines and cosines may enter as columns too (g*(sin(theta) -
    mu*cos(theta)), the law of cosines); with `roots`, y**2 is tried when y
    keeps one sign (a magnitude, a wavenumber). `seconds` bounds the look."""
    from vorn_sr import units

    views = [(X, dimensions, None)]
    if groups:
        values = [units._monomial_values(X, g) for g in groups]
        waves = np.column_stack([f(v) for v in values for f in (np.sin, np.cos)])
        views.append((np.column_stack([X, waves]), (dimensions[0] + [{}] * waves.shape[1], dimensions[1]), groups))
    powers = [1]
    if roots and (np.all(y > 0) or np.all(y < 0)):
        powers.append(2)
    attempts = [(view, power) for view in views for power in powers]
    started = time.perf_counter()
    for done, ((columns, dims, waved), power) in enumerate(attempts):
        budget = None
        if seconds is not None:
            # y over the columns themselves gets two thirds of the time, the
            # other attempts equal parts of what is left.
            left = max(seconds - (time.perf_counter() - started), 0.0)
            budget = left * (2 / 3 if done == 0 and len(attempts) > 1 else 1 / (len(attempts) - done))
        # Three factors a term where the waves join: the dictionary of all
        # dimensionless products of four would be ten times larger.
        found = find(columns, y**power, _raised(dims, power), seconds=budget,
                     term_support=None if waved is None else 3)
        if found is None:
            continue
        for candidate in (snapped(found), found):
            postfix = tokens(candidate)
            if waved is not None:
                postfix = _waves_rewritten(postfix, X.shape[1], waved)
            if power == 2:
                postfix = postfix + [("op", "Sqrt", 1)] + ([("op", "Neg", 1)] if y[0] < 0 else [])
            result = units._scored(postfix, X, y)
            if result is not None and result.error <= exact:
                return result
    return None


def _raised(dimensions, power):
    if dimensions is None:
        return None
    x_dims, y_dims = dimensions
    return x_dims, {name: e * power for name, e in y_dims.items()}


def _waves_rewritten(postfix, n, groups):
    """Tokens over the columns and the groups' sines and cosines (columns n,
    n+1 for the first group, ...) as tokens over the columns alone."""
    from vorn_sr.units import monomial_tokens

    out = []
    for token in postfix:
        if token[0] == "var" and token[1] >= n:
            group, wave = divmod(token[1] - n, 2)
            out += monomial_tokens(groups[group]) + [("op", ("Sin", "Cos")[wave], 1)]
        else:
            out.append(token)
    return out
