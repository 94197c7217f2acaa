"""The main Python module entry point."""

# The engine lives in the extension module vorn_sr._core; this package
# re-exports its five public names unchanged (their classes already report
# themselves as vorn_sr.Searcher and so on) and keeps the ecosystem helpers
# (vorn_sr.sklearn, vorn_sr.sympy) beside it, imported only on request.
import sys

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

# One package object per process, like the extension itself: importing again
# after `del sys.modules["vorn_sr"]` hands out the first one (the import
# system returns whatever sys.modules holds once this file has run).
_extension = sys.modules["vorn_sr._core"]
if getattr(_extension, "_package", None) is None:
    _extension._package = sys.modules[__name__]
else:
    sys.modules[__name__] = _extension._package

# Only the five names are public attributes; the extension stays reachable
# through `import vorn_sr._core`.
del sys, _extension
globals().pop("_core", None)
