"""Fails when a source folder includes a folder above it.

The folders of src/ form layers, lowest first; a file may include headers of
its own folder and of the folders below it, never of one above, so that each
layer can be understood, tested and changed without the ones built on it.
"""

import pathlib
import re
import sys

LAYERS = ["core", "ops", "eval", "result", "engine", "facade", "python"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/', re.MULTILINE)


def violations(src):
    rank = {name: i for i, name in enumerate(LAYERS)}
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".hpp", ".cpp", ".def", ".h"}:
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in rank:
            found.append(f"{path}: folder {folder!r} is not a known layer")
            continue
        for target in INCLUDE.findall(path.read_text()):
            if target not in rank:
                found.append(f"{path}: includes unknown folder {target!r}")
            elif rank[target] > rank[folder]:
                found.append(f"{path}: {folder} includes {target}, a layer above it")
    return found


if __name__ == "__main__":
    root = pathlib.Path(__file__).resolve().parent.parent
    problems = violations(root / "src")
    print("\n".join(problems) if problems else "layers: every include points down")
    sys.exit(1 if problems else 0)
