"""Fails when a compile command of a build tree could change arithmetic results.

Every formula value must agree to the last bit (signed zeros, NaN tests,
branch cuts), so each C++ compile line must turn floating-point contraction
off and must not ask for any of the value-changing optimisations.

Usage: check_build_flags.py BUILD_DIR   (a configured Ninja build tree)
"""

import shlex
import subprocess
import sys

REQUIRED = ["-ffp-contract=off"]
FORBIDDEN = [
    "-ffast-math",
    "-Ofast",
    "-funsafe-math-optimizations",
    "-fassociative-math",
    "-freciprocal-math",
    "-ffinite-math-only",
    "-fno-signed-zeros",
    "-fno-trapping-math",
    "-fcx-limited-range",
    "-ffp-contract=fast",
    "-march=native",
]


def compile_commands(build_dir):
    out = subprocess.run(["ninja", "-C", build_dir, "-t", "commands"], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        words = shlex.split(line)
        if "-c" in words and any(w.endswith((".cpp", ".cc", ".cxx")) for w in words):
            yield words


def problems(build_dir):
    found, count = [], 0
    for words in compile_commands(build_dir):
        count += 1
        source = next(w for w in reversed(words) if w.endswith((".cpp", ".cc", ".cxx")))
        for flag in REQUIRED:
            if flag not in words:
                found.append(f"{source}: missing {flag}")
        for flag in FORBIDDEN:
            if flag in words:
                found.append(f"{source}: has {flag}")
    if count == 0:
        found.append(f"{build_dir}: no compile commands found")
    return found, count


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found, count = problems(sys.argv[1])
    print("\n".join(found) if found else f"build flags: {count} compile lines keep the arithmetic exact")
    sys.exit(1 if found else 0)
