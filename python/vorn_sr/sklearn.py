"""A scikit-learn estimator around the vorn_sr search.

    from vorn_sr.sklearn import VornRegressor

    est = VornRegressor(max_complexity=6, max_time=60).fit(X, y)
    est.predict(X_new), est.sympy(), est.equations_

VornRegressor plugs the search into scikit-learn's tooling (pipelines,
grid search, cross-validation, cloning, pickling). It needs scikit-learn;
pandas is optional (it only changes the type of ``equations_``) and SymPy is
needed for ``sympy()``, ``latex()`` and the ``sympy`` column of
``equations_``.
"""

from __future__ import annotations

import math
import numbers
import os
import re
import sys
import time

import numpy as np

try:
    from sklearn.base import BaseEstimator, RegressorMixin
    from sklearn.utils.validation import check_is_fitted
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError("vorn_sr.sklearn needs scikit-learn: pip install 'vorn_sr[sklearn]'") from exc

try:
    from sklearn.utils.validation import validate_data as _validate_data
except ImportError:  # scikit-learn < 1.6 validates through a private method

    def _validate_data(estimator, /, X="no_validation", y="no_validation", **check_params):
        return estimator._validate_data(X, y, **check_params)


import vorn_sr
import vorn_sr._core as _core
from vorn_sr import _checkpoint, _factoring, _relations

__all__ = ["VornRegressor"]

# Bumped whenever the pickled state changes shape; __setstate__ refuses
# states written by a newer vorn_sr instead of misreading them.
_PICKLE_VERSION = 2
_PICKLE_VERSION_KEY = "_vorn_pickle_version"

_MODEL_SELECTIONS = ("best", "accuracy")

# The operators a search can use, by op id of the built-in table: ids stay
# the table's whatever subset is chosen, so formulas, texts and pickles keep
# their meaning.
_OPERATOR_IDS = {
    "VORN": 5, "Neg": 6, "Inv": 7, "Plus": 8, "Times": 9, "Subtract": 10, "Divide": 11,
    "Exp": 12, "Log": 13, "Sqrt": 14, "Sin": 15, "Cos": 16, "Tan": 17, "ArcSin": 18,
    "ArcCos": 19, "ArcTan": 20, "Square": 21, "Cube": 22,
}  # fmt: skip
_OPERATOR_ALIASES = {"+": "Plus", "-": "Subtract", "*": "Times", "/": "Divide"}
_OPERATOR_BY_FOLDED_NAME = {name.casefold(): name for name in _OPERATOR_IDS}

# The engine settings of each strategy; None is the level search itself.
_STRATEGIES = {
    "levels": None,
    "deepening": {
        "fit": "levenberg_marquardt",
        "relative_exit_threshold": 1e-20,
        "scaled_ranking": True,
        "power_laws": True,
        "constant_free_round": True,
        "deepening_rounds": 4,
        "first_round_beam": 30,
    },
}
_DEFAULT_STRATEGY = "deepening"

# The share of max_time the default strategy gives the search of y over a
# power-law factor it looks to carry, before the search of y itself.
_FACTOR_SHARE = 0.3
# A factored search as exact as the deepening search's own exit threshold
# makes the search of y itself unnecessary.
_FACTOR_EXACT = _STRATEGIES["deepening"]["relative_exit_threshold"]
# Reassembling y = M * f needs these operators for M.
_FACTOR_OPERATORS = ("Times", "Divide", "Inv", "Square", "Cube")
# The share of max_time the default strategy gives the look for an exact
# sparse rational law of monomials before any search (without a budget it
# looks through a fixed number of anchors); found, it is the answer. It is
# written with these operators.
_RELATION_SHARE = 0.1
_RELATION_OPERATORS = ("Plus", "Times", "Divide", "Inv", "Square", "Cube")

# Mean squared errors at or below this fraction of mean(y**2) are rounding
# noise (a relative error of 1e-14 per row, a hundred ulps): the knee rule
# treats them all as exact fits, so that among exact fits the simplest wins
# instead of whichever happened to round a little better.
_EXACT_RELATIVE_MSE = 1e-28

_VARIABLE = re.compile(r"v_\{(\d+)\}")


class VornRegressor(RegressorMixin, BaseEstimator):
    """Symbolic regression as a scikit-learn regressor.

    ``fit`` runs the vorn_sr search (:class:`vorn_sr.Searcher`) over the rows
    of ``X`` and keeps the whole Pareto front of formulas it found (the lowest
    error for each complexity); ``model_selection`` picks the formula that
    ``predict`` uses.

    Parameters
    ----------
    max_complexity, complexity_penalty, beam_width, alpha, l1_ratio
        Passed to :class:`vorn_sr.Searcher` unchanged; same defaults.
    max_time : float or None, default=None
        A wall-clock budget for the search in seconds; None searches every
        level up to ``max_complexity``. When the budget runs out the level in
        progress is dropped and the front of the finished levels is kept
        (``budget_exhausted_`` tells). If not even level 2 finished in time,
        ``fit`` raises :class:`vorn_sr.VornComplexityError`.
    model_selection : {"best", "accuracy"}, default="best"
        "accuracy" takes the lowest-error formula (what
        ``Searcher.find_multivariate`` returns). "best" takes the knee of the
        front, as PySR does: sorted by complexity, each formula after the
        first scores ``-(log(err_i) - log(err_prev)) / (c_i - c_prev)``, the
        drop in log error per unit of complexity it buys, the simplest formula
        scores 0, and the highest score among the formulas whose error is
        within 1.5 times the lowest wins. Errors at or below ``1e-28 * mean(y**2)``
        (rounding noise) count as equal, so an exact fit makes a huge drop and
        the simplest exact fit is chosen.
    verbose : int, default=0
        0 prints nothing; 1 prints the search's start and per-level lines; 2
        also prints the live progress bar. Lines go to ``sys.stdout`` (so they
        appear in notebooks).
    client : dask.distributed.Client or None, default=None
        Score each level's candidates on this client's Dask cluster (needs
        ``pip install 'vorn_sr[dask]'``). Generation, retention and the final
        selection stay in this process; the data go to the workers once per
        fit and each retained level once. The fitted attributes are
        bit for bit those of the same fit without a client. ``max_time`` and
        Ctrl-C cancel the outstanding work. Not pickled: a loaded estimator
        has ``client=None``.
    dimensionless_constants : bool, default=True
        With units: whether constants are pure numbers. When y's units cannot
        be formed from the features' (a dimensional constant such as G is
        absent from the data), fit raises ValueError under True; under False
        the formula is ``M * f(groups) * C`` where the constant C carries the
        units that M, a power law of the features fitted to the data, lacks.

    strategy : {"deepening", "levels"}, default="deepening"
        How the search runs. "levels" is :class:`vorn_sr.Searcher`'s level
        search exactly. "deepening" first looks for an exact ratio of sums
        of monomials by linear algebra (found, it is the answer and no
        search runs), then fits constants by Levenberg–Marquardt, ranks
        formulas by their error after the best scale and offset, tries
        power laws and a power-law factor first, and runs rounds of widening
        beams that reach deep levels early; it stops at an error of 1e-20
        times mean(y**2). Its formulas may be up to 4 tokens longer than
        ``max_complexity`` (a fitted scale and offset), and power laws,
        factors and ratios of sums longer still.
    operators : list of str or None, default=None
        The operators the search may apply; None means all 18. Names as the
        formula text writes them ("Plus", "Sqrt", "VORN", ...) in any case,
        or "+", "-", "*", "/".
    checkpoint : str, path-like or None, default=None
        A file that ``fit`` writes the search's state to after every
        finished level, atomically (a crash mid-write leaves the previous
        state). If the file exists when ``fit`` starts and was written for
        the same data, settings, strategy and vorn_sr version, the search
        continues after its last finished level, with the result of a fit
        that never stopped; a file written for anything else is refused with
        a ValueError saying what differs. ``max_time``, ``verbose``,
        ``client`` and ``model_selection`` may differ, and so may
        ``max_complexity`` while the saved state is one the new search
        passes through too. Give each fit its own file: folds of a
        cross-validation fit other data.
    warm_start : bool, default=False
        When True, a second ``fit`` on the same data with the same settings
        continues the previous search (stopped by ``max_time``, or with a
        larger ``max_complexity``) instead of starting over, with the result
        of one fit under the final settings. Otherwise it starts afresh. The
        state is kept in memory only, not pickled.

    Attributes
    ----------
    result_ : vorn_sr.SearchResult
        The chosen formula.
    pareto_front_ : list of vorn_sr.SearchResult
        The front, lowest error first.
    equations_ : pandas.DataFrame or list of dict
        One row per front entry, in the order of ``pareto_front_``, with
        columns ``complexity``, ``error``, ``formula`` (variables named after
        the features) and ``sympy`` (None when SymPy is not installed). A
        list of dicts when pandas is not installed. Built on first access.
    units_ : dict or None
        None without units. With units: ``X_units`` and ``y_units`` as given,
        ``monomial`` (the product of powers of the features with y's units,
        as text over the feature names), ``groups`` (the dimensionless
        groups the search ran over, as text), ``constant_units`` (None, or
        the units the formula's last constant carries when
        ``dimensionless_constants=False`` had to be used) and ``reduction``
        (the exact exponents).
    budget_exhausted_ : bool
        Whether ``max_time`` ended the search.
    levels_finished_ : int
        The highest complexity level the search completed.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when ``X`` had string column names (a pandas DataFrame). The
        names replace ``v_{i}`` in ``sympy()``, ``latex()`` and
        ``equations_``.
    """

    def __init__(
        self,
        max_complexity=10,
        complexity_penalty=0.1,
        beam_width=1000,
        alpha=0.0,
        l1_ratio=0.5,
        max_time=None,
        model_selection="best",
        verbose=0,
        client=None,
        strategy=_DEFAULT_STRATEGY,
        operators=None,
        dimensionless_constants=True,
        checkpoint=None,
        warm_start=False,
    ):
        self.max_complexity = max_complexity
        self.complexity_penalty = complexity_penalty
        self.beam_width = beam_width
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.max_time = max_time
        self.model_selection = model_selection
        self.verbose = verbose
        self.client = client
        self.strategy = strategy
        self.operators = operators
        self.dimensionless_constants = dimensionless_constants
        self.checkpoint = checkpoint
        self.warm_start = warm_start

    # -- fitting -----------------------------------------------------------

    def fit(self, X, y, X_units=None, y_units=None):
        """Search for formulas y ≈ f(X) and keep the chosen one.

        X is an array-like of shape (n_samples, n_features) (a NumPy array, a
        list of rows or a pandas DataFrame), y of shape (n_samples,). Returns
        self.

        X_units (one unit string per column, or a dict keyed by column name
        for a DataFrame) and y_units (one string) are units pint parses, such
        as "kg*m/s**2", "J" or "1/s"; "" is dimensionless. With them the
        search runs over dimensionless groups of the features and every
        returned formula is dimensionally consistent (needs
        ``pip install 'vorn_sr[units]'``).
        """
        max_time = self._checked_max_time()
        on_line = _line_printer(self._checked_verbose())
        if self.model_selection not in _MODEL_SELECTIONS:
            raise ValueError(
                f"model_selection must be one of {_MODEL_SELECTIONS}, got {self.model_selection!r}"
            )
        engine = _engine_settings(self.strategy, self.operators)

        scorer = None
        if self.client is not None:
            from vorn_sr import _dask

            _dask.check_client(self.client)
            scorer = _dask.DaskScorer(self.client)

        X, y = _validate_data(self, X, y, dtype=np.float64, y_numeric=True, multi_output=False)
        X = np.ascontiguousarray(X, dtype=np.float64)
        y = np.ascontiguousarray(y, dtype=np.float64)

        units_plan = dimensions = None
        if X_units is not None or y_units is not None:
            units_plan, dimensions = self._units_plan(X, y, X_units, y_units)

        searcher = vorn_sr.Searcher(
            max_complexity=self.max_complexity,
            complexity_penalty=self.complexity_penalty,
            beam_width=self.beam_width,
            alpha=self.alpha,
            l1_ratio=self.l1_ratio,
        )
        # What a checkpoint must match: everything that shapes the search,
        # not the budget, the output or where the scoring runs. The engine
        # itself judges max_complexity, which may grow.
        head = _checkpoint.header(
            self.strategy,
            {
                "complexity_penalty": float(self.complexity_penalty),
                "beam_width": int(self.beam_width),
                "alpha": float(self.alpha),
                "l1_ratio": float(self.l1_ratio),
                "operators": _operator_names((engine or {}).get("operator_mask")),
                "X_units": None if units_plan is None else list(units_plan["X_units"]),
                "y_units": None if units_plan is None else units_plan["y_units"],
                "dimensionless_constants": bool(self.dimensionless_constants),
            },
            _checkpoint.data_digest(X, y),
        )
        relation = None
        if self.strategy == "deepening" and _operators_allow(engine, _RELATION_OPERATORS) and (
            units_plan is None or units_plan["constant_units"] is None
        ):
            started = time.perf_counter()
            groups = None if units_plan is None else units_plan["reduction"]["groups"]
            relation = _exact_relation(X, y, dimensions, max_time, engine, groups)
            if max_time is not None:
                # The search after it keeps to the budget that is left.
                max_time = max(max_time - (time.perf_counter() - started), 1e-3)
        if relation is not None:
            # An exact law of this kind is the answer; the engine never ran.
            front, levels_finished, budget_exhausted = [relation], 0, False
            if on_line is not None:
                on_line("start", "Found an exact rational law of monomials; no search needed\n")
        elif units_plan is None:
            front, levels_finished, budget_exhausted = self._plain_search(searcher, X, y, max_time, on_line, scorer,
                                                                          engine, head)
        else:
            from vorn_sr import units

            reduction = units_plan["reduction"]
            Z, t, scale = units.transform(reduction, X, y)
            if Z is None:
                # No dimensionless group: the law is a constant times the monomial.
                front, levels_finished, budget_exhausted = units.constant_fit(reduction, X, y), 0, False
            else:
                results, levels_finished, budget_exhausted = self._search(
                    searcher, np.ascontiguousarray(Z), np.ascontiguousarray(t), max_time, on_line, scorer,
                    engine, head
                )
                front = units.reassemble(reduction, list(results), scale, X, y)
                if not front:
                    raise ValueError("no formula of the search over the dimensionless groups is finite on the data")

        if self.model_selection == "accuracy":
            chosen = 0
        else:
            chosen = _knee_index(front, _EXACT_RELATIVE_MSE * float(np.mean(y * y)))
        self.pareto_front_ = front
        self.result_ = front[chosen]
        self.units_ = units_plan
        self.levels_finished_ = int(levels_finished)
        self.budget_exhausted_ = bool(budget_exhausted)
        # Built on first use: SymPy's import alone can take a second, which
        # does not belong inside a fit with a time budget.
        self._equations = None
        return self

    def _plain_search(self, searcher, X, y, max_time, on_line, scorer, engine, head):
        """The search of y over X: (front, levels finished, budget exhausted).
        The default strategy first searches y over a power-law factor it
        looks to carry, for a share of the budget, and keeps that front
        beside the other."""
        from vorn_sr import units

        factored = []
        remaining = max_time
        exponents = None
        if self.strategy == "deepening" and _operators_allow(engine, _FACTOR_OPERATORS):
            exponents = _factoring.factor_exponents(X, y)
        if exponents is not None:
            started = time.perf_counter()
            reduction = _factoring.reduction(exponents)
            Z, t, _ = units.transform(reduction, X, y)
            if on_line is not None:
                names = self._feature_names() or [f"x{i}" for i in range(X.shape[1])]
                monomial, rest = units.describe(reduction, names)
                on_line("start", f"Searching y/({monomial}) over {', '.join(rest)} first\n")
            results, levels, exhausted = _core._search(
                searcher, np.ascontiguousarray(Z), np.ascontiguousarray(t),
                max_time=None if max_time is None else _FACTOR_SHARE * max_time, on_line=on_line, scorer=scorer,
                engine=engine,
            )
            factored = units.reassemble(reduction, list(results), 1.0, X, y)
            if factored and factored[0].error <= _FACTOR_EXACT * float(np.mean(y * y)):
                return factored, levels, exhausted
            if max_time is not None:
                remaining = max(max_time - (time.perf_counter() - started), 1e-3)
        results, levels_finished, budget_exhausted = self._search(searcher, X, y, remaining, on_line, scorer,
                                                                  engine, head)
        front = units.pareto_front(list(results) + factored) if factored else list(results)
        return front, levels_finished, budget_exhausted

    def _search(self, searcher, X, y, max_time, on_line, scorer, engine, head):
        """The engine's search, continued from a checkpoint file or a warm
        start when one belongs to it, with the state saved after each level."""
        path = None if self.checkpoint is None else os.fspath(self.checkpoint)
        resume = None
        if path is not None:
            blob = _checkpoint.read(path)
            if blob is not None:
                saved, state = _checkpoint.decode(blob, path)
                problems = _checkpoint.differences(saved, head)
                if not problems:
                    try:
                        problem = _core._resume_problem(searcher, state, X.shape[1], engine)
                    except ValueError as error:
                        raise ValueError(f"The checkpoint {path!r} is unreadable: {error}") from None
                    problems = [] if problem is None else [problem]
                if problems:
                    raise ValueError(
                        f"The checkpoint {path!r} does not belong to this fit: " + "; ".join(problems)
                        + ". Delete it or choose another checkpoint path to start a new search."
                    )
                resume = state
        previous = getattr(self, "_search_state", None)
        if resume is None and self.warm_start and previous is not None:
            saved, state = previous
            if not _checkpoint.differences(saved, head) and (
                _core._resume_problem(searcher, state, X.shape[1], engine) is None
            ):
                resume = state
        # The state this fit starts from stays continuable until it saves a newer one.
        self._search_state = None if resume is None else (head, resume)

        def save(state):
            # Kept as it comes, so that a fit cut short by Ctrl-C or an error
            # can still be continued with warm_start.
            self._search_state = (head, state)
            if path is not None:
                _checkpoint.write_atomic(path, _checkpoint.encode(head, state))

        return _core._search(
            searcher, X, y, max_time=max_time, on_line=on_line, scorer=scorer, engine=engine, checkpoint=save,
            resume=resume,
        )

    def _units_plan(self, X, y, X_units, y_units):
        from vorn_sr import units

        names = self._feature_names()
        strings, x_dims, y_dims = units.column_units(X_units, y_units, X.shape[1], names)
        labels = [repr(name) for name in names] if names is not None else [str(i) for i in range(X.shape[1])]
        reduction = units.plan(x_dims, y_dims, X, y, bool(self.dimensionless_constants), labels)
        monomial, groups = units.describe(reduction, names or [f"x{i}" for i in range(X.shape[1])])
        plan = {
            "X_units": strings,
            "y_units": y_units.strip(),
            "reduction": reduction,
            "monomial": monomial,
            "groups": groups,
            "constant_units": reduction["constant_units"],
        }
        return plan, (x_dims, y_dims)

    def _checked_max_time(self):
        max_time = self.max_time
        if max_time is None:
            return None
        if isinstance(max_time, bool) or not isinstance(max_time, numbers.Real):
            raise ValueError(f"max_time must be None or a number of seconds, got {max_time!r}")
        max_time = float(max_time)
        if not (math.isfinite(max_time) and max_time > 0.0):
            raise ValueError(
                f"max_time must be a positive finite number of seconds (or None for no limit), "
                f"got {self.max_time!r}"
            )
        return max_time

    def _checked_verbose(self):
        verbose = self.verbose
        if not isinstance(verbose, numbers.Integral) or verbose < 0:
            raise ValueError(f"verbose must be an integer >= 0, got {verbose!r}")
        return int(verbose)

    # -- using the fit -----------------------------------------------------

    def predict(self, X):
        """The chosen formula evaluated at each row of X, as float64."""
        check_is_fitted(self, "result_")
        X = _validate_data(self, X, reset=False, dtype=np.float64)
        if getattr(self, "units_", None) is not None:
            from vorn_sr import units

            names = self._feature_names()
            labels = [repr(name) for name in names] if names is not None else [str(i) for i in range(X.shape[1])]
            units.check_domain(self.units_["reduction"], X, labels)
        return np.asarray(self.result_.predict(np.ascontiguousarray(X)), dtype=np.float64)

    def sympy(self, index=None):
        """The chosen formula (or ``pareto_front_[index]``) as a SymPy expression,
        over symbols named after the features when they have names."""
        from vorn_sr.sympy import to_sympy

        return to_sympy(self._pick(index), feature_names=self._feature_names())

    def latex(self, index=None):
        """LaTeX of :meth:`sympy` (feature names, full-precision constants)."""
        import sympy

        return sympy.latex(self.sympy(index))

    def _pick(self, index):
        check_is_fitted(self, "result_")
        return self.result_ if index is None else self.pareto_front_[index]

    def _feature_names(self):
        names = getattr(self, "feature_names_in_", None)
        return None if names is None else [str(name) for name in names]

    @property
    def equations_(self):
        check_is_fitted(self, "result_")
        if self._equations is None:
            self._equations = self._equations_table(self.pareto_front_)
        return self._equations

    def _equations_table(self, front):
        names = self._feature_names()
        try:
            import sympy  # noqa: F401 - only whether it is there
        except ImportError:  # SymPy is optional; the column is left empty
            to_sympy = None
        else:
            from vorn_sr.sympy import to_sympy
        rows = [
            {
                "complexity": result.complexity,
                "error": result.error,
                "formula": _named_formula(result.formula, names),
                "sympy": None if to_sympy is None else to_sympy(result, feature_names=names),
            }
            for result in front
        ]
        try:
            import pandas
        except ImportError:
            return rows
        return pandas.DataFrame(rows, columns=["complexity", "error", "formula", "sympy"])

    # -- scikit-learn plumbing ---------------------------------------------

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        tags.target_tags.single_output = True
        tags.target_tags.multi_output = False
        # Without a time budget the search is deterministic; with one, how far
        # it gets depends on the machine's speed.
        tags.non_deterministic = self.max_time is not None
        return tags

    def _more_tags(self):  # the tag interface of scikit-learn < 1.6
        return {
            "allow_nan": False,
            "multioutput": False,
            "non_deterministic": self.max_time is not None,
        }

    def __sklearn_clone__(self):
        # A client is a live connection: clones share it rather than copy it
        # (a deep copy of its sockets fails).
        from sklearn.base import clone

        params = self.get_params(deep=False)
        client = params.pop("client", None)
        return type(self)(**{name: clone(value, safe=False) for name, value in params.items()}, client=client)

    def __getstate__(self):
        state = dict(super().__getstate__())
        # A client is a live connection: it does not travel with the model.
        if state.get("client") is not None:
            state["client"] = None
        # The warm-start state is a cache of the search, megabytes at deep
        # levels: a loaded estimator starts its next fit afresh.
        state.pop("_search_state", None)
        state[_PICKLE_VERSION_KEY] = _PICKLE_VERSION
        return state

    def __setstate__(self, state):
        state = dict(state)
        version = state.pop(_PICKLE_VERSION_KEY, _PICKLE_VERSION)
        if not isinstance(version, int) or version > _PICKLE_VERSION:
            raise ValueError(
                f"This VornRegressor was pickled in format version {version!r}, but this "
                f"vorn_sr reads formats up to version {_PICKLE_VERSION}; upgrade vorn_sr to load it."
            )
        # Estimators pickled before strategies existed searched with the level
        # search: a refit of one keeps doing so.
        state.setdefault("strategy", "levels")
        state.setdefault("operators", None)
        state.setdefault("checkpoint", None)
        state.setdefault("warm_start", False)
        super().__setstate__(state)


def _operator_mask(operators):
    """The bit mask of op ids for a list of operator names (None: all)."""
    if operators is None:
        return None
    valid = ", ".join([*_OPERATOR_IDS, *_OPERATOR_ALIASES])
    if isinstance(operators, str) or not hasattr(operators, "__iter__"):
        raise ValueError(f"operators must be None or a list of operator names ({valid}), got {operators!r}")
    mask = 0
    for name in operators:
        canonical = None
        if isinstance(name, str):
            canonical = _OPERATOR_ALIASES.get(name.strip()) or _OPERATOR_BY_FOLDED_NAME.get(name.strip().casefold())
        if canonical is None:
            raise ValueError(f"unknown operator {name!r} in operators; valid names are {valid}")
        mask |= 1 << _OPERATOR_IDS[canonical]
    if mask == 0:
        raise ValueError(f"operators must name at least one operator; valid names are {valid}")
    return mask


def _operator_names(mask):
    """The names of the operators in an op-id mask, in table order (None: all)."""
    if mask is None:
        return None
    return [name for name, op_id in _OPERATOR_IDS.items() if mask >> op_id & 1]


def _engine_settings(strategy, operators):
    """The engine settings dict for _core._search (None: the level search)."""
    if not isinstance(strategy, str) or strategy not in _STRATEGIES:
        raise ValueError(f"strategy must be one of {tuple(_STRATEGIES)}, got {strategy!r}")
    settings = dict(_STRATEGIES[strategy] or {})
    mask = _operator_mask(operators)
    if mask is not None:
        settings["operator_mask"] = mask
    return settings or None


def _operators_allow(engine, names):
    mask = (engine or {}).get("operator_mask")
    return mask is None or all(mask >> _OPERATOR_IDS[name] & 1 for name in names)


def _exact_relation(X, y, dimensions, max_time, engine, groups=None):
    """The rational look with what the operators allow it to write."""
    return _relations.exact_law(
        X, y, _FACTOR_EXACT * float(np.mean(y * y)), dimensions=dimensions,
        seconds=None if max_time is None else _RELATION_SHARE * max_time,
        groups=groups if _operators_allow(engine, ("Sin", "Cos")) else None,
        roots=_operators_allow(engine, ("Sqrt", "Neg")),
    )


def _knee_index(front, exact_error):
    """Index in ``front`` of the formula with the steepest drop in log error per
    unit of complexity among those within 1.5 times the lowest error (see
    VornRegressor's model_selection)."""
    floor = max(exact_error, sys.float_info.min)
    # A NaN error has no place on the error scale; such entries are left out.
    order = sorted(
        (i for i, result in enumerate(front) if not math.isnan(result.error)),
        key=lambda i: (front[i].complexity, front[i].error),
    )
    if not order:
        return 0
    # Only formulas nearly as accurate as the best are eligible: a steep early
    # drop must not win over a fit that is far better.
    limit = 1.5 * max(min(front[i].error for i in order), floor)
    best, best_score = None, -math.inf
    for position, current in enumerate(order):
        score = 0.0
        if position > 0:
            previous = order[position - 1]
            steps = front[current].complexity - front[previous].complexity
            if steps > 0:
                drop = math.log(max(front[previous].error, floor)) - math.log(max(front[current].error, floor))
                score = drop / steps
        if max(front[current].error, floor) <= limit and score > best_score:
            best, best_score = current, score
    return best


def _named_formula(formula, names):
    if names is None:
        return formula
    return _VARIABLE.sub(lambda m: names[int(m.group(1))], formula)


def _line_printer(verbose):
    """The on_line callback for the search: None (silent) for verbose 0."""
    if verbose == 0:
        return None
    kinds = ("start", "level") if verbose == 1 else ("start", "level", "progress", "end")

    def on_line(kind, text):
        if kind in kinds:
            # sys.stdout looked up on every line, so redirections made after
            # fit started (notebooks, capture) are honoured.
            print(text, end="", file=sys.stdout, flush=True)

    return on_line
