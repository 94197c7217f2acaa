"""The main Python module entry point."""

from typing import Dict, Any, Callable, List, Optional, Tuple, Sequence, SupportsFloat, SupportsIndex, Union, final

import numpy.typing as npt

__all__ = [
    "Searcher",
    "SearchResult",
    "VornDimensionError",
    "VornComplexityError",
    "VornRuntimeError",
]

# Anything the interpreter's float conversion accepts: floats, ints, bools,
# NumPy scalars, objects with __float__ or __index__.
_Number = Union[SupportsFloat, SupportsIndex]
# One value per sample: a sequence of numbers or a 1-D array.
_Vector = Union[Sequence[_Number], npt.NDArray[Any]]
# One row per sample: a sequence of rows or a 2-D array.
_Matrix = Union[Sequence[_Vector], npt.NDArray[Any]]

@final
class Searcher:
    """The core VORN-SR search engine exposed to Python."""

    def __new__(
        cls,
        max_complexity: SupportsIndex = 10,
        complexity_penalty: _Number = 0.1,
        beam_width: SupportsIndex = 1000,
        alpha: _Number = 0.0,
        l1_ratio: _Number = 0.5,
    ) -> Searcher: ...
    @property
    def max_complexity(self) -> int: ...
    @property
    def beam_width(self) -> int: ...
    @property
    def complexity_penalty(self) -> float: ...
    @property
    def alpha(self) -> float: ...
    @property
    def l1_ratio(self) -> float: ...
    def find_function(
        self,
        xs: _Vector,
        ys: _Vector,
        alpha: Optional[_Number] = None,
        l1_ratio: Optional[_Number] = None,
    ) -> SearchResult:
        """Finds a univariate function f(x) ≈ y.
        Supports both Python lists and NumPy arrays."""
    def find_multivariate(
        self,
        inputs: _Matrix,
        ys: _Vector,
        alpha: Optional[_Number] = None,
        l1_ratio: Optional[_Number] = None,
    ) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y.
        Inputs should be a 2D array-like structure."""
    def fit(
        self,
        inputs: _Matrix,
        ys: _Vector,
        alpha: Optional[_Number] = None,
        l1_ratio: Optional[_Number] = None,
    ) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
    def find_candidates(
        self,
        inputs: _Matrix,
        ys: _Vector,
        alpha: Optional[_Number] = None,
        l1_ratio: Optional[_Number] = None,
    ) -> List[SearchResult]:
        """Returns the Pareto-front of all candidate formulas found."""
    def recognize_constant(
        self,
        value: _Number,
        alpha: Optional[_Number] = None,
        l1_ratio: Optional[_Number] = None,
    ) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant."""

@final
class SearchResult:
    """A high-performance symbolic regression result.

    Instances come only from the Searcher methods; calling the class raises
    TypeError."""

    @property
    def formula(self) -> str:
        """The discovered mathematical formula as a string."""
    @property
    def error(self) -> float:
        """The residual error (Mean Squared Error) of the formula."""
    @property
    def complexity(self) -> int:
        """The structural complexity of the formula."""
    def to_latex(self) -> str:
        """Returns the formula in LaTeX format for academic reporting."""
    def to_python(self) -> str:
        """Returns the formula in Python/NumPy format for immediate use."""
    def eval(self, x: Union[_Number, _Vector]) -> float:
        """Evaluates the discovered formula for a given input (float or list/array)."""
    def eval_batch(self, inputs: _Matrix) -> List[float]:
        """Evaluates the formula for a batch of inputs (list of lists or 2D array)."""
    def predict(self, inputs: _Matrix) -> List[float]:
        """Alias for eval_batch (Scikit-Learn style)."""
    def __reduce__(self) -> Tuple[Callable[[bytes], SearchResult], Tuple[bytes]]: ...
    # Whether this is an answer of recognize_constant (one number).
    @property
    def _is_constant(self) -> bool: ...
    # Postfix tokens with full-precision constants, for vorn_sr.sympy.
    def _postfix(self) -> Tuple[Tuple[Any, ...], ...]: ...

class VornDimensionError(Exception): ...
class VornComplexityError(Exception): ...
class VornRuntimeError(Exception): ...

# Private entry points of the package's Python modules.
def _search(
    searcher: Searcher,
    inputs: _Matrix,
    ys: _Vector,
    max_time: Optional[_Number] = None,
    on_line: Optional[Callable[[str, str], object]] = None,
    scorer: Optional[object] = None,
    engine: Optional[Dict[str, object]] = None,
    checkpoint: Optional[Callable[[bytes], object]] = None,
    resume: Optional[bytes] = None,
) -> Tuple[List[SearchResult], int, bool]: ...
def _resume_problem(
    searcher: Searcher, state: bytes, n_features: int, engine: Optional[Dict[str, object]] = None
) -> Optional[str]: ...
def _restore_result(data: bytes, /) -> SearchResult: ...
