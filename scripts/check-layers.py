#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Fails when a source folder includes a folder above it.

The folders under src/ form layers, lowest first: a file may include its own folder and any folder
listed before it, never one listed after it. This list is the one place that order is kept.
"""
import pathlib
import re
import sys

LAYERS = ["core", "http", "server", "cloud", "uplink", "relay", "bridge", "remote", "dock", "webview", "module"]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.MULTILINE)


def violations(src: pathlib.Path):
    rank = {name: index for index, name in enumerate(LAYERS)}
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".hpp", ".cpp", ".c"}:
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in rank:
            yield f"{path}: folder '{folder}' has no place in the layer order"
            continue
        for match in INCLUDE.finditer(path.read_text(encoding="utf-8")):
            target = match.group(1)
            if target not in rank:
                continue
            if rank[target] > rank[folder]:
                line = path.read_text(encoding="utf-8").count("\n", 0, match.start()) + 1
                yield f"{path}:{line}: {folder}/ includes {target}/, which is above it"


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1] / "src")
    found = list(violations(src))
    for problem in found:
        print(problem)
    print("layers: " + " < ".join(LAYERS) + (f": {len(found)} wrong includes" if found else ": clean"))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
