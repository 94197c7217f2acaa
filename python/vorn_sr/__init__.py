"""The main Python module entry point."""

# The engine lives in the extension module vorn_sr._core; this package
# re-exports its five public names unchanged (their classes already report
# themselves as vorn_sr.Searcher and so on) and keeps the ecosystem helpers
# (vorn_sr.sklearn, vorn_sr.sympy) beside it, imported only on request.
from vorn_sr._core import (
    Searcher,
    SearchResult,
    VornDimensionError,
    VornComplexityError,
    VornRuntimeError,
)

__all__ = [
    "Searcher",
    "SearchResult",
    "VornDimensionError",
    "VornComplexityError",
    "VornRuntimeError",
]

# Only the five names are public attributes; the extension stays reachable
# as vorn_sr._core through sys.modules and explicit imports.
del _core  # noqa: F821 - bound by the import system when the submodule loads
