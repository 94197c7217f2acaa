"""Quickstart: recover a formula from sampled data with vorn_sr.

Samples y = x**2 + x at 50 points, asks the searcher for a closed form, and
prints the formula it found, its error and its LaTeX and Python forms, then
the Pareto front of formulas (the best error for each complexity).

The search writes its progress log to standard output as it goes.
"""

import numpy as np

import vorn_sr


def main():
    x = np.linspace(-3.0, 3.0, 50)
    y = x**2 + x

    searcher = vorn_sr.Searcher(max_complexity=6)
    result = searcher.find_function(x, y)

    print()
    print(f"formula:    {result.formula}")
    print(f"error:      {result.error:.3e} (mean squared error)")
    print(f"complexity: {result.complexity}")
    print(f"LaTeX:      {result.to_latex()}")
    print(f"Python:     {result.to_python()}")
    print(f"at x = 1.5: {result.eval(1.5):.6f} (exact: {1.5**2 + 1.5:.6f})")

    # The whole front of an exhaustive search, most accurate first; a smaller
    # beam keeps it quick.
    front = vorn_sr.Searcher(max_complexity=5, beam_width=200).find_candidates(
        [[v] for v in x], y
    )
    print()
    print("Pareto front (complexity, error, formula):")
    for candidate in front:
        print(f"  {candidate.complexity:>3}  {candidate.error:10.3e}  {candidate.formula}")


if __name__ == "__main__":
    main()
