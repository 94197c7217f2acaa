"""vorn_sr as an SRBench method (https://github.com/cavalab/srbench).

SRBench imports this module and uses:

- ``est``: the scikit-learn regressor it fits on each data set;
- ``model(est, X)``: the fitted formula as a string SymPy parses, written
  over the column names of the training data ``X``;
- ``hyper_params``: the grid its hyperparameter search runs over;
- ``eval_kwargs``: extra arguments for its evaluation script;
- ``complexity(est)``, ``get_population(est)``, ``get_best_solution(est)``:
  the model size and the alternative formulas, for the versions of the
  harness that ask for them.

Settings. The search runs with its defaults (complexity up to 10, a beam of
1000 formulas per level) under a time budget of one hour per fit. SRBench
scales X and y to zero mean and unit variance, which suits the search's
absolute error and its early stop. Even with an empty grid, SRBench's
hyperparameter search fits once per cross-validation fold plus a final refit
(six fits with its five folds), so one hour per fit keeps a data set within
the 8-hour limit of the ground-truth track. A search that runs out of time
keeps the formulas of every level it completed. The model returned is the
knee of the Pareto front (``model_selection="best"``), which favours the
simple closed forms the ground-truth track checks for.
"""

import copy
import keyword

import sympy

from vorn_sr.sklearn import VornRegressor
from vorn_sr.sympy import to_sympy

est = VornRegressor(max_time=3600)

# Nothing to tune: the budget, not a grid, bounds the search.
hyper_params = [{}]

eval_kwargs = {}


def _feature_names(est, X):
    if X is not None and hasattr(X, "columns"):
        names = [str(column) for column in X.columns]
    elif getattr(est, "feature_names_in_", None) is not None:
        names = [str(name) for name in est.feature_names_in_]
    else:
        # No names known: x0, x1, ..., the names SRBench maps to its columns.
        names = [f"x{i}" for i in range(est.n_features_in_)]
    unusable = [name for name in names if not name.isidentifier() or keyword.iskeyword(name)]
    if unusable:
        raise ValueError(f"column names must be Python identifiers to appear in a SymPy string: {unusable}")
    return names


def model(est, X=None):
    """The chosen formula as a SymPy-parsable string over X's column names
    (x0, x1, ... when X has none)."""
    return str(to_sympy(est.result_, feature_names=_feature_names(est, X)))


def complexity(est):
    """The number of nodes of the formula's SymPy tree, as SRBench counts them."""
    return sum(1 for _ in sympy.preorder_traversal(to_sympy(est.result_)))


def get_population(est):
    """Every formula of the Pareto front (at most 100), each as an estimator
    that predicts with it, most accurate first."""
    population = []
    for result in est.pareto_front_[:100]:
        member = copy.copy(est)
        member.result_ = result
        population.append(member)
    return population


def get_best_solution(est):
    return est
