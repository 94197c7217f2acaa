"""Closed forms of textbook constants: vorn_sr's recognize_constant against
mpmath's identify, each judged exact or not by SymPy at 40 digits.

    PYTHONPATH=<build dir> python3 bench/constants.py [--only NAME ...]

Needs SymPy and mpmath (mpmath is a comparison only, never a dependency of
vorn_sr). For every constant it prints each tool's formula, whether that
formula is the constant exactly, and the time; then per tool the exact count
over the textbook constants, the false claims (a formula that is not the
constant, counted over every row, the numbers without a known closed form
included) and the maximal and mean time.
"""

import argparse
import contextlib
import math
import os
import sys
import time

import mpmath
import sympy as sp

import vorn_sr

DIGITS = 40

# (name, SymPy value); rows marked False have no known closed form, and any
# formula claimed for them is false.
TEXTBOOK = [
    ("sqrt(2)", sp.sqrt(2)),
    ("sqrt(3)", sp.sqrt(3)),
    ("sqrt(5)", sp.sqrt(5)),
    ("golden ratio", sp.GoldenRatio),
    ("ln 2", sp.log(2)),
    ("ln 3", sp.log(3)),
    ("ln 10", sp.log(10)),
    ("pi", sp.pi),
    ("e", sp.E),
    ("pi^2", sp.pi**2),
    ("sqrt(pi)", sp.sqrt(sp.pi)),
    ("1/pi", 1 / sp.pi),
    ("e^pi", sp.exp(sp.pi)),
    ("pi^e", sp.pi**sp.E),
    ("sin 1", sp.sin(1)),
    ("cos 1", sp.cos(1)),
    ("tan 1", sp.tan(1)),
    ("atan 2", sp.atan(2)),
    ("ln pi", sp.log(sp.pi)),
    ("pi+e", sp.pi + sp.E),
    ("2^(1/3)", sp.cbrt(2)),
    ("22/7", sp.Rational(22, 7)),
    ("sqrt(2)+sqrt(3)", sp.sqrt(2) + sp.sqrt(3)),
    ("1/e", sp.exp(-1)),
    ("pi/2", sp.pi / 2),
    ("e^2", sp.E**2),
    ("2/3", sp.Rational(2, 3)),
    ("pi^2/6", sp.pi**2 / 6),
    ("log10(2)", sp.log(2) / sp.log(10)),
    ("sqrt(2)/2", sp.sqrt(2) / 2),
    ("e/3", sp.E / 3),
    ("1+sqrt(3)", 1 + sp.sqrt(3)),
    ("cos(pi/5)", sp.cos(sp.pi / 5)),
    ("ln 2 + ln 3", sp.log(2) + sp.log(3)),
]
WITHOUT_CLOSED_FORM = [
    ("Euler gamma", sp.EulerGamma),
    ("Catalan", sp.Catalan),
    ("zeta(3)", sp.zeta(3)),
    ("1.2345678", sp.Rational(12345678, 10**7)),
    ("Glaisher A", sp.S("1.2824271291006226368753425688697917277677")),
    ("Khinchin K", sp.S("2.6854520010653064453097148354817956938203")),
]

MPMATH_NAMES = {"pi": sp.pi, "e": sp.E, "log": sp.log, "sqrt": sp.sqrt, "exp": sp.exp, "phi": sp.GoldenRatio}


def is_exact(expr, truth):
    """Whether `expr` is the number `truth`, to DIGITS significant digits,
    with no imaginary part."""
    value = sp.N(expr, DIGITS + 5)
    target = sp.N(truth, DIGITS + 5)
    re, im = value.as_real_imag()
    bound = sp.Float(10, DIGITS + 5) ** (-DIGITS) * max(1, abs(target))
    return bool(abs(re - target) <= bound and abs(im) <= bound)


# ---------------------------------------------------------------- vorn_sr side


def _postfix_to_sympy(tokens):
    """The formula's SymPy value with its one variable at 0, from the postfix
    tokens (used when vorn_sr.sympy cannot be imported)."""
    binary = {
        "VORN": lambda a, b: sp.exp(a) - sp.log(b),
        "Plus": lambda a, b: a + b,
        "Times": lambda a, b: a * b,
        "Subtract": lambda a, b: a - b,
        "Divide": lambda a, b: a / b,
    }
    unary = {
        "Neg": lambda a: -a, "Inv": lambda a: 1 / a, "Exp": sp.exp, "Log": sp.log, "Sqrt": sp.sqrt,
        "Sin": sp.sin, "Cos": sp.cos, "Tan": sp.tan, "ArcSin": sp.asin, "ArcCos": sp.acos,
        "ArcTan": sp.atan, "Square": lambda a: a**2, "Cube": lambda a: a**3,
    }
    stack = []
    for token in tokens:
        kind = token[0]
        if kind == "var":
            stack.append(sp.Integer(0))
        elif kind == "param":
            stack.append(sp.Float(token[1], 17) + sp.I * sp.Float(token[2], 17))
        elif kind == "real":
            stack.append(sp.Float(token[1], 17))
        elif kind == "const":
            stack.append(sp.Float(token[2], 17) + sp.I * sp.Float(token[3], 17))
        else:
            name, arity = token[1], token[2]
            if arity == 2:
                b, a = stack.pop(), stack.pop()
                stack.append(binary[name](a, b))
            else:
                stack.append(unary[name](stack.pop()))
    return stack[0]


def vorn_expression(result):
    try:
        from vorn_sr.sympy import constant_to_sympy
    except ImportError:
        return _postfix_to_sympy(result._postfix())
    return constant_to_sympy(result)


@contextlib.contextmanager
def quiet_stdout():
    """The engine writes its progress to file descriptor 1 itself."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def run_vorn(value):
    start = time.perf_counter()
    with quiet_stdout():
        result = vorn_sr.Searcher().recognize_constant(value)
    seconds = time.perf_counter() - start
    fitted = any(token[0] == "param" for token in result._postfix())
    return result.formula, None if fitted else vorn_expression(result), seconds


def run_mpmath(value):
    start = time.perf_counter()
    found = mpmath.identify(value)
    seconds = time.perf_counter() - start
    if found is None:
        return "None", None, seconds
    return found, sp.sympify(found, locals=MPMATH_NAMES), seconds


# ------------------------------------------------------------------- the table


def verdict(expr, truth, has_closed_form):
    """'exact', 'FALSE' (a formula that is not the number) or 'no claim'. A
    number without a known closed form has no exact formula: matching its
    float (a rational, say) is a false claim too."""
    if expr is None:
        return "no claim"
    return "exact" if has_closed_form and is_exact(expr, truth) else "FALSE"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", help="run only the rows with these names")
    args = parser.parse_args()
    rows = [(n, v, True) for n, v in TEXTBOOK] + [(n, v, False) for n, v in WITHOUT_CLOSED_FORM]
    if args.only:
        rows = [row for row in rows if row[0] in args.only]

    tools = {"vorn_sr": run_vorn, "mpmath.identify": run_mpmath}
    tally = {tool: {"exact": 0, "false": 0, "times": []} for tool in tools}
    textbook = sum(1 for row in rows if row[2])
    for tool, run in tools.items():
        print(f"== {tool}")
        print(f"{'constant':<30} {'verdict':<9} {'seconds':>8}  formula")
        for name, truth, has_closed_form in rows:
            formula, expr, seconds = run(float(sp.N(truth, 30)))
            outcome = verdict(expr, truth, has_closed_form)
            t = tally[tool]
            t["times"].append(seconds)
            t["exact"] += outcome == "exact"
            t["false"] += outcome == "FALSE"
            marker = "" if has_closed_form else " (no closed form)"
            print(f"{name + marker:<30} {outcome:<9} {seconds:8.3f}  {formula}", flush=True)
        print()
    for tool, t in tally.items():
        times = t["times"]
        print(
            f"{tool:<16} exact {t['exact']}/{textbook}  false claims {t['false']}/{len(rows)}  "
            f"max {max(times):.3f} s  mean {sum(times) / len(times):.3f} s"
        )


if __name__ == "__main__":
    main()
