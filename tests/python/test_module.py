"""The module's Python surface: attributes, docstrings, signatures, argument
binding, properties and the exception classes."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_sr
from vorn_sr import Searcher, SearchResult

PUBLIC = ["Searcher", "SearchResult", "VornDimensionError", "VornComplexityError", "VornRuntimeError"]


def test_module_docstring_and_public_names():
    assert vorn_sr.__doc__ == "The main Python module entry point."
    assert vorn_sr.__all__ == PUBLIC
    # Submodules (vorn_sr.sklearn, ...) appear as attributes once imported.
    names = [n for n in vars(vorn_sr) if not n.startswith("__") and not inspect.ismodule(getattr(vorn_sr, n))]
    assert names == PUBLIC


SEARCH_TAIL = "alpha=None, l1_ratio=None)"

# (object, __text_signature__, __doc__)
DOC_TABLE = [
    (
        Searcher,
        "(max_complexity=10, complexity_penalty=0.1, beam_width=1000, alpha=0.0, l1_ratio=0.5)",
        "The core VORN-SR search engine exposed to Python.",
    ),
    (
        Searcher.find_function,
        "($self, xs, ys, " + SEARCH_TAIL,
        "Finds a univariate function f(x) \u2248 y.\nSupports both Python lists and NumPy arrays.",
    ),
    (
        Searcher.find_multivariate,
        "($self, inputs, ys, " + SEARCH_TAIL,
        "Finds a multivariate function f(x0, x1, ...) \u2248 y.\nInputs should be a 2D array-like structure.",
    ),
    (
        Searcher.fit,
        "($self, inputs, ys, " + SEARCH_TAIL,
        "Alias for find_multivariate (Scikit-Learn style).",
    ),
    (
        Searcher.find_candidates,
        "($self, inputs, ys, " + SEARCH_TAIL,
        "Returns the Pareto-front of all candidate formulas found.",
    ),
    (
        Searcher.recognize_constant,
        "($self, value, " + SEARCH_TAIL,
        "Identifies a closed-form expression for a scalar constant.",
    ),
    (SearchResult, None, "A high-performance symbolic regression result."),
    (
        SearchResult.to_latex,
        "($self)",
        "Returns the formula in LaTeX format for academic reporting.",
    ),
    (
        SearchResult.to_python,
        "($self)",
        "Returns the formula in Python/NumPy format for immediate use.",
    ),
    (
        SearchResult.eval,
        "($self, x)",
        "Evaluates the discovered formula for a given input (float or list/array).",
    ),
    (
        SearchResult.eval_batch,
        "($self, inputs)",
        "Evaluates the formula for a batch of inputs (list of lists or 2D array).",
    ),
    (
        SearchResult.predict,
        "($self, inputs)",
        "Alias for eval_batch (Scikit-Learn style).",
    ),
]


@pytest.mark.parametrize("obj, signature, doc", DOC_TABLE, ids=[d[0].__qualname__ for d in DOC_TABLE])
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize("obj, signature", [d[:2] for d in DOC_TABLE if d[1]], ids=[d[0].__qualname__ for d in DOC_TABLE if d[1]])
def test_inspect_signature(obj, signature):
    # $self marks the bound instance, which inspect shows as positional-only.
    assert str(inspect.signature(obj)) == signature.replace("$self", "self, /")
    for param in list(inspect.signature(obj).parameters.values())[obj is not Searcher :]:
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_bound_method_signature_drops_self():
    assert str(inspect.signature(Searcher().find_function)) == "(xs, ys, alpha=None, l1_ratio=None)"


@pytest.mark.parametrize(
    "name, doc",
    [
        ("formula", "The discovered mathematical formula as a string."),
        ("error", "The residual error (Mean Squared Error) of the formula."),
        ("complexity", "The structural complexity of the formula."),
    ],
)
def test_result_property_docstrings(name, doc):
    assert getattr(SearchResult, name).__doc__ == doc


@pytest.mark.parametrize("name", ["max_complexity", "beam_width", "complexity_penalty", "alpha", "l1_ratio"])
def test_searcher_properties_have_no_docstring_and_are_read_only(name):
    assert getattr(Searcher, name).__doc__ is None
    searcher = Searcher()
    with pytest.raises(AttributeError):
        setattr(searcher, name, 1)
    with pytest.raises(AttributeError):
        searcher.some_new_attribute = 1


def test_defaults():
    s = Searcher()
    values = (s.max_complexity, s.beam_width, s.complexity_penalty, s.alpha, s.l1_ratio)
    assert values == (10, 1000, 0.1, 0.0, 0.5)
    assert [type(v) for v in values] == [int, int, float, float, float]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((3, 0.2, 50, 0.1, 0.7), {}, (3, 50, 0.2, 0.1, 0.7)),
        ((), {"l1_ratio": 0.9, "beam_width": 7}, (10, 7, 0.1, 0.0, 0.9)),
        ((4,), {"alpha": 2}, (4, 1000, 0.1, 2.0, 0.5)),
        ((np.int64(5), np.float32(0.5)), {"beam_width": True}, (5, 1, 0.5, 0.0, 0.5)),
        ((0,), {"beam_width": 0, "complexity_penalty": -1.0}, (0, 0, -1.0, 0.0, 0.5)),
        ((2**64 - 1,), {"alpha": float("nan")}, (2**64 - 1, 1000, 0.1, float("nan"), 0.5)),
        ((), {"l1_ratio": float("inf"), "complexity_penalty": 10**20}, (10, 1000, 1e20, 0.0, float("inf"))),
    ],
)
def test_constructor_values_are_kept_unvalidated(args, kwargs, expected):
    s = Searcher(*args, **kwargs)
    got = (s.max_complexity, s.beam_width, s.complexity_penalty, s.alpha, s.l1_ratio)
    assert repr(got) == repr(expected)  # repr so that NaN compares equal
    assert [type(v) for v in got] == [int, int, float, float, float]


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"alpha": "x"}, "alpha"),
        ({"l1_ratio": None}, "l1_ratio"),
        ({"complexity_penalty": [0.1]}, "complexity_penalty"),
        ({"max_complexity": 2.5}, "max_complexity"),
        ({"max_complexity": "3"}, "max_complexity"),
        ({"beam_width": None}, "beam_width"),
        ({"beam_width": np.float64(3.0)}, "beam_width"),
    ],
)
def test_constructor_conversion_type_errors_name_the_argument(kwargs, name):
    with pytest.raises(TypeError) as info:
        Searcher(**kwargs)
    message = str(info.value)
    assert message.startswith(f"argument '{name}': ")
    assert len(message) > len(f"argument '{name}': ")


@pytest.mark.parametrize(
    "kwargs",
    [{"max_complexity": -1}, {"beam_width": -5}, {"max_complexity": 2**64}, {"beam_width": -(2**70)}],
)
def test_negative_or_huge_sizes_raise_overflow_error_unprefixed(kwargs):
    with pytest.raises(OverflowError) as info:
        Searcher(**kwargs)
    assert not str(info.value).startswith("argument")


def test_negative_size_by_position():
    with pytest.raises(OverflowError):
        Searcher(-1)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: Searcher(1, 2, 3, 4, 5, 6), id="too many positional"),
        pytest.param(lambda: Searcher(depth=3), id="unknown keyword"),
        pytest.param(lambda: Searcher(3, max_complexity=3), id="given twice"),
        pytest.param(lambda: Searcher().find_function([1.0]), id="missing ys"),
        pytest.param(lambda: Searcher().find_function([1.0], [1.0], 0.1, 0.2, 0.3), id="too many"),
        pytest.param(lambda: Searcher().find_function(xs=[1.0], ys=[1.0], beta=1), id="bad keyword"),
        pytest.param(lambda: Searcher().fit([[1.0]], [1.0], inputs=[[1.0]]), id="fit twice"),
        pytest.param(lambda: Searcher().recognize_constant(), id="missing value"),
    ],
)
def test_binding_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "method, args",
    [
        ("find_function", ([1.0, 2.0], [1.0, 2.0])),
        ("find_multivariate", ([[1.0], [2.0]], [1.0, 2.0])),
        ("fit", ([[1.0], [2.0]], [1.0, 2.0])),
        ("find_candidates", ([[1.0], [2.0]], [1.0, 2.0])),
        ("recognize_constant", (1.5,)),
    ],
)
@pytest.mark.parametrize("option, bad", [("alpha", "0.5"), ("l1_ratio", [0.5]), ("alpha", 1j)])
def test_per_call_options_name_the_argument(method, args, option, bad):
    with pytest.raises(TypeError) as info:
        getattr(Searcher(max_complexity=1), method)(*args, **{option: bad})
    assert str(info.value).startswith(f"argument '{option}': ")


def test_options_are_converted_before_data():
    s = Searcher(max_complexity=1)
    with pytest.raises(TypeError, match="^argument 'l1_ratio': "):
        s.find_function("not data", [1.0], l1_ratio="x")
    with pytest.raises(TypeError, match="^argument 'alpha': "):
        s.fit("not data", "nor this", alpha="x", l1_ratio="y")


def test_recognize_constant_converts_value_first():
    with pytest.raises(TypeError, match="^argument 'value': "):
        Searcher().recognize_constant("pi", alpha="x")
    with pytest.raises(TypeError, match="^argument 'value': "):
        Searcher().recognize_constant([1.0])


def test_search_result_has_no_constructor():
    with pytest.raises(TypeError) as info:
        SearchResult()
    assert str(info.value) == "No constructor defined for SearchResult"
    with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
        SearchResult("v_{0}", 0.0, 1)


EXCEPTIONS = ["VornRuntimeError", "VornDimensionError", "VornComplexityError"]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_classes(name):
    cls = getattr(vorn_sr, name)
    assert cls.__bases__ == (Exception,)
    assert cls.__doc__ is None
    assert f"{cls.__module__}.{cls.__qualname__}" == f"vorn_sr.{name}"
    assert cls("message").args == ("message",)


def test_exception_classes_are_distinct():
    classes = {getattr(vorn_sr, name) for name in EXCEPTIONS}
    assert len(classes) == 3
    assert not any(issubclass(a, b) for a in classes for b in classes if a is not b)


def _run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_importing_again_gives_the_same_module():
    out = _run(
        """
        import sys
        import vorn_sr
        first = vorn_sr
        del sys.modules["vorn_sr"]
        import vorn_sr
        assert vorn_sr is first, "a second module object"
        assert vorn_sr.Searcher is first.Searcher
        print("ok")
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def _subinterpreter_runner():
    try:
        import _testcapi  # noqa: F401

        return "import _testcapi; _testcapi.run_in_subinterp(code)"
    except ImportError:
        pass
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(name)
        except ImportError:
            continue
        return f"import {name} as m; i = m.create(); m.run_string(i, code); m.destroy(i)"
    return None


def test_import_in_a_sub_interpreter_fails_with_import_error(tmp_path):
    runner = _subinterpreter_runner()
    if runner is None:
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    report = tmp_path / "report.txt"
    module_dir = str(__import__("os").path.dirname(vorn_sr.__file__))
    sub_code = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {module_dir!r})
        try:
            import vorn_sr
            outcome = "imported"
        except ImportError as e:
            outcome = "ImportError: " + str(e)
        except BaseException as e:
            outcome = "other: " + type(e).__name__
        with open({str(report)!r}, "w") as f:
            f.write(outcome)
        """
    )
    out = _run(
        f"""
        import vorn_sr  # the main interpreter has it loaded
        code = {sub_code!r}
        {runner}
        print(vorn_sr.Searcher().max_complexity)
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "10"
    assert report.read_text().startswith("ImportError: ")


def test_without_numpy_conversion_is_an_internal_fault():
    out = _run(
        """
        import sys
        sys.modules["numpy"] = None  # makes every import of numpy fail
        import vorn_sr
        s = vorn_sr.Searcher(max_complexity=1)
        assert s.max_complexity == 1
        try:
            s.find_function([1.0, 2.0], [1.0, 2.0])
        except Exception as e:
            print("ordinary exception", type(e).__name__, e)
        except BaseException as e:
            print("fault", type(e).__module__ + "." + type(e).__qualname__, "|", e)
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("fault vorn_sr."), out.stdout
    assert "NumPy" in out.stdout
